// SPDX-License-Identifier: Apache-2.0
// vexbench: settings, the rig of a run, the shared result array and the
// operations of the benchmark program.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "latency.h"
#include "results.h"

// ---------------------------------------------------------------- constants

constexpr int kSectorSize = 512;           // bytes
constexpr int kMaxThreads = 200;           // workers per measurement, device paths
constexpr int kMaxPath = 256;              // bytes of a device path, NUL included
constexpr int kThreadCols = 10;            // columns of a result table
constexpr int kMaxSamples = 4096;          // samples per worker in the sampling modes
constexpr int kSeqXfer = 1048576;          // bytes per transfer of the fill and the sampling
constexpr int kFixedBufSz = 268435456;     // zero buffer of modes 10 to 12, bytes
constexpr int kMaxCompRatio = 100;         // --comp= limit: 12 + 100 * 5 = 512
constexpr int kMaxTestSzK = kFixedBufSz / 1024;  // --blksz= limit, KiB
constexpr uint64_t kNoStartAt = UINT64_MAX;      // --start-at= not given

// Signals with which the parent drives the workers of a measurement.
constexpr int kSigStart = 61;  // sets SigFlg1: the window opens, transfers count
constexpr int kSigStop = 62;   // sets SigFlg2: the window closes
constexpr int kSigEnd = 63;    // sets SigFlg3: the worker loops end

// Run modes (--test=, TestNum).
constexpr int kModeTables = 0;           // the read and write tables
constexpr int kModeReadSample10 = 1;     // sequential sampling: reads, 10 s of 1 s samples
constexpr int kModeReadSample120 = 2;    // reads, 120 s of 1 s samples
constexpr int kModeReadSample1800 = 3;   // reads, 1800 s of 5 s samples
constexpr int kModeWriteSample10 = 4;    // writes, as mode 1
constexpr int kModeWriteSample120 = 5;   // writes, as mode 2
constexpr int kModeWriteSample1800 = 6;  // writes, as mode 3
constexpr int kModeClear18G = 10;        // x10_clear: zero-fill from 18 GiB on
constexpr int kModeClear16G = 11;        // x11_clear: zero-fill of the first 16 GiB
constexpr int kModeRandWrite16G = 12;    // x12_test: random writes over 16 GiB
constexpr int kModeDevList = 100000;     // DevList: the devices that are free

// Modes 1 to 6: one worker per device, samples in the result array.
constexpr bool IsSamplingMode(int t) { return t >= kModeReadSample10 && t <= kModeWriteSample1800; }
// Modes 4 to 6 write.
constexpr bool IsWriteSampling(int t) {
  return t >= kModeWriteSample10 && t <= kModeWriteSample1800;
}
// Modes 3 and 6 take 5-second samples.
constexpr int SampleSeconds(int t) {
  return t == kModeReadSample1800 || t == kModeWriteSample1800 ? 5 : 1;
}

// ---------------------------------------------------------------- records

// Shared result array: row i holds the samples of worker i.
struct _CTL_RES {
  int ResArray[kMaxThreads][kMaxSamples];
};
static_assert(sizeof(_CTL_RES) == 3276800);

struct _CTL_EXT;  // cellmem.h

// The random source of a run: std::rand, seeded from "/dev/urandom" (or
// with a fixed seed, -e), or "/dev/urandom" itself for every value (-u).
struct RandSource {
  int fd = -1;              // "/dev/urandom", -1: not open
  bool urandom = false;     // -u
  bool fixed_seed = false;  // -e
  uint32_t Next() const;
};

// What the set-up gives a run: a descriptor and two buffers per worker, the
// random source and the shared result memory. The workers get their copy
// through the fork.
struct Rig {
  int fh[kMaxThreads];           // descriptor of the device of worker i, -1: none
  char *RdBuf[kMaxThreads];      // read buffer of worker i (4096-aligned)
  char *WtBuf[kMaxThreads];      // write buffer of worker i (4096-aligned)
  int64_t PosEnd[kMaxThreads];   // largest offset descriptor i can be positioned at
  RandSource rnd;
  bool open_err = false;         // a device could not be opened: the run does not pass
  int ResArray_id = -1;          // System V identifier of the result array, -1: none
  _CTL_RES *ResArray = nullptr;  // the attached result array
  _CTL_EXT *ext = nullptr;       // the part after it (cellmem.h)
  std::vector<std::shared_ptr<void>> allocs;  // the buffers' allocations
  Rig();
};

// The workers of the measurement running now, 0: none, and the result
// array's segment, -1: none. The handlers of the ending and stopping signals
// can reach nothing else, so these stay process-wide.
struct LiveWorkers {
  pid_t pid[kMaxThreads];
  int shm_id;
};
extern LiveWorkers Live;

// One measurement: a table cell, or the one run of a sampling mode.
struct CellSpec {
  int threads;         // workers
  int blk;             // bytes per transfer (0: the sampling modes' own)
  int rw;              // 0 read, 1 write, 2 mixed
  int read_share = 0;  // mixed: per cent of the transfers that read
  int index = 0;       // the cell's number in the run (--start-at=)
};

struct BenchConfig;  // config.h

// ---------------------------------------------------------------- settings

extern char Devices[kMaxThreads][kMaxPath];
extern int DeviceCnt;
extern int ThreadLst[kThreadCols];
extern uint64_t DevSizeMiB;  // tested size, MiB (--size=)
extern int TestTime;       // seconds
extern int SzMin;          // first block size of the grid, bytes
extern int SzMax;          // upper bound of the grid, bytes
extern int TestSz;         // KiB (mode 12)
extern int TestOff;        // one setting, two units: sectors in the fill, bytes in mode 12
extern int DupeMod;
extern int CompRatio;
extern int TestNum;
extern int CollRule;
extern int o_direct;
extern uint64_t DevSizeBytes;  // window of the sampling modes, bytes (no option)

extern int b_opt, c_opt, e_opt, f_opt, h_opt, p_opt, q_opt, r_opt, u_opt, w_opt, z_opt;
// The first flag letter the scan did not know, 0: none, and the word it was
// in. A run that writes refuses it (a typo must not turn -r into a fill).
extern char UnknownLetter;
extern std::string UnknownLetterWord;
extern int lat_opt;            // --lat: latency percentiles of every table cell
extern std::string JsonFile;   // --json=FILE: the results document, empty: none
extern int QueueDepth;         // --qd=: transfers each worker keeps in flight (above 1: io_uring)
extern std::vector<int> MixShares;  // --mix=P[,P...]: read shares in per cent, empty: no mixed table
extern uint64_t RateIops;      // --rate=N: transfers per second of a cell, 0: no limit
extern uint64_t StartAtMs;     // --start-at=T: ms since 1970-01-01 UTC, or kNoStartAt

// ---------------------------------------------------------------- run_context.cpp

// Set by the handlers of signals 61 to 63 (a handler can reach nothing else,
// so they stay process-wide); cleared by each measurement.
extern volatile sig_atomic_t SigFlg1;  // signal 61: start counting
extern volatile sig_atomic_t SigFlg2;  // signal 62: stop counting
extern volatile sig_atomic_t SigFlg3;  // signal 63: end the loop

// Test seams: the fork and the read of a worker record from the pipe.
extern pid_t (*ForkFn)();
extern ssize_t (*PipeReadFn)(int fd, void *buf, size_t len);

// Reapplies every default (unit tests scan several command lines in one
// process).
void ResetSettings();

// ---------------------------------------------------------------- cmdline.cpp

extern const char kUsageText[];
// The lines --help adds to the usage text.
extern const char kHelpExtra[];
void usage(int ExitFlg);
// Scans argv[1..argc-1] into the settings. At a "--help" or "--version" word
// it prints the help or the version, stops and returns false: nothing is to run.
bool ParseArgs(int argc, const char *const *argv);
// Refuses settings the run chosen by TestNum cannot use, before any device is
// touched. Resolves the -r/-w/-c defaults of the normal run first.
void CheckSettings();
// Normal run: the flags with their defaults resolved (config.h).
struct RunFlags ResolveRunFlags();

// ---------------------------------------------------------------- setup.cpp

// Opens every worker's device (printing the ones that fail), fills the
// write buffers and creates the shared result memory.
Rig AllocBufs(const BenchConfig &cfg);
// Opens a device path with flags without waiting (a FIFO would block) and
// refuses anything that is neither a block device nor a regular file; -1 with
// errno when the open fails.
int OpenDevice(const char *path, int flags);
// A zeroed 4096-aligned buffer of sz bytes; keep holds its allocation.
char *Alloc4K(int sz, std::vector<std::shared_ptr<void>> &keep);
void FillWtBuf(const BenchConfig &cfg, const RandSource &rnd, char *buf, int sz);
// The random source of cfg, seeding std::rand (old: the source to replace).
RandSource InitRand(const BenchConfig &cfg, const RandSource &old = RandSource{});
uint64_t get_ms();
std::string PrettyK(int n);
// Signals 61 to 63, and SIGTERM, SIGINT and SIGHUP, which end the workers too.
void InstallSignals();
void SleepMs(uint64_t ms);

// ---------------------------------------------------------------- cell.cpp, worker_sync.cpp, table.cpp

struct WorkerResult {
  uint64_t count;       // completed transfers in the window (samples in modes 1 to 6)
  uint64_t err;         // non-zero: the worker met an error and reports 0
  uint64_t worker = 0;  // its index
  uint64_t io_errors = 0;  // transfers that failed (short, failed, or a stamp that did not match)
  uint64_t reads = 0;      // mixed cells: how many of count were reads
};

// One worker's view of its measurement: what it reads (the run, the rig, the
// cell) and what it keeps (its random source, its reseeds, a position that
// could not be reached).
struct WorkerEnv {
  const BenchConfig &cfg;
  const Rig &rig;
  const CellSpec &cell;
  int w;                    // the worker
  int seed_w;               // its number in the seeds: w in a worker, -1 in the parent
  RandSource rnd;
  uint64_t reseeds = 0;     // how often it reseeded (-e: part of the seed)
  bool pos_err = false;     // Seek met a positioning error
  uint32_t Rand() const { return rnd.Next(); }
};
void ReseedRand(WorkerEnv &env);

// One table cell (or one sampling run): the window, the count of every
// worker and their sum, and with --lat the merged latency figures. A cell
// that was not measured has no worker counts. Prints nothing.
CellResult Test(const BenchConfig &cfg, const Rig &rig, const CellSpec &cell);
uint64_t Seek(WorkerEnv &env, int BlkSz);
int TestN(const WorkerEnv &env, int XferSz, char *buf, int SampleTime, int *row);
void PrettyRate(int64_t n, char *buf);  // buf: at least 32 bytes
// The table cell of one measurement; false when the window has no length.
bool FormatCell(uint64_t total, int BlkSz, int64_t elapsed_ms, std::string &cell);
void StampBlock(char *buf, int BlkSz, uint64_t sector, uint64_t &seq);
// Verifies the sector numbers of a block read at sector; prints the first
// difference and returns false.
bool CheckBlock(const char *buf, int BlkSz, uint64_t sector);
void PutKeys(const WorkerEnv &env, char *buf, int BlkSz);
// lat: the histogram of the counted transfers (--lat), or none.
WorkerResult RunWorkerLoop(WorkerEnv &env, LatHist *lat = nullptr);
// The largest offset lseek accepts on fd (a block device's size; for a
// regular file, the largest its file system allows). fd keeps its position.
int64_t PositionLimit(int fd);

// ---------------------------------------------------------------- fill.cpp

class FillReporter;  // report.h
// The fill before the tables, through descriptor 0 and its write buffer;
// rep prints its lines.
void Clear(const BenchConfig &cfg, const Rig &rig, const FillReporter &rep);
// MiB per second of a fill; 0 when no time has passed.
uint64_t FillRate(uint64_t mib, uint64_t elapsed_ms);
// The "%lld MB/sec" figure of modes 10 to 12; 0 when no time has passed.
long long KbPerMs(long long kib, long long elapsed_ms);
void x10_clear(const BenchConfig &cfg, const FillReporter &rep);
void x11_clear(const BenchConfig &cfg, const FillReporter &rep);
void x12_test(const BenchConfig &cfg, const FillReporter &rep);

// ---------------------------------------------------------------- run.cpp

void DevList(const BenchConfig &cfg);
int RunBench(int argc, char **argv);
