// SPDX-License-Identifier: Apache-2.0
// vexbench: the run as one frozen value. The command line fills the settings;
// once they have passed CheckSettings, BuildConfig reads them a last time into
// a BenchConfig, with everything the run would otherwise work out as it goes
// (the -r/-w/-c defaults, -b's plain opens, the length of a sampling run)
// already resolved. Every step after the parse takes it by const reference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"

struct BenchConfig {
  std::vector<std::string> devices;  // the device paths, in command-line order
  int threads[kThreadCols] = {};     // workers of each table column, 0: column left out
  uint64_t size_mib = 0;             // tested size (--size=)
  uint64_t size_sectors = 0;         // the same, 512-byte sectors
  int seconds = 0;                   // the window (--tm=), or the sampling run's length
  int blk_min = 0;                   // first block size of the grid, bytes
  int blk_max = 0;                   // upper bound of the grid, bytes
  int fixed_blk_k = 0;               // mode 12's transfer, KiB (--blksz=)
  int offset = 0;                    // --off=: sectors in the fill, bytes in mode 12
  int dupe = 0;                      // --dupe=: keys per 4 KiB, 0: none
  int comp = 0;                      // --comp=: zero bytes per sector / 5
  int mode = kModeTables;            // --test=
  int coll = 0;                      // --coll=: the collision rule
  int direct = 0;                    // O_DIRECT, or 0 with -b
  uint64_t sample_window_bytes = 0;  // the area the sampling modes cycle over
  bool fill = false;                 // -c, or implied
  bool read_table = false;           // -r, or implied
  bool write_table = false;          // -w, or implied
  bool open_wt = false;              // the devices are opened for writing
  bool quick = false;                // -q: no stamps, no checks
  bool zero_buf = false;             // -z
  bool half_zero = false;            // -h: 256 random bytes, 256 zero bytes
  bool fixed_seed = false;           // -e
  bool urandom = false;              // -u
  bool lat = false;                  // --lat
  std::string json_file;             // --json=, empty: none
  int queue_depth = 1;               // --qd=
  std::vector<int> mix_shares;       // --mix=, read shares in per cent
  uint64_t rate = 0;                 // --rate=: transfers per second of a cell, 0: no limit
  uint64_t start_at_ms = 0;          // --start-at=, or kNoStartAt

  // The largest worker count of the columns.
  int MaxThreads() const;
  // The file descriptors (and buffers) the set-up gives: one per worker of
  // the widest column, and in the sampling modes one per device path.
  int Descriptors() const;
  // The path of descriptor i: its own, or (none, or an empty name) the first
  // device's.
  const std::string &PathOf(int i) const;
  bool Sampling() const { return IsSamplingMode(mode); }
  // The buffer of every worker: the largest block, at least one fill transfer.
  int BufBytes() const { return blk_max > kSeqXfer ? blk_max : kSeqXfer; }
};

// The -r/-w/-c defaults of the tables: none of the three given (and no
// --mix=) means all three. open_wt: the devices are opened for writing.
struct RunFlags {
  bool read, write, fill, open_wt;
};

// The frozen run, from the settings (after CheckSettings).
BenchConfig BuildConfig();
