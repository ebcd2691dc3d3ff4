// SPDX-License-Identifier: Apache-2.0
// vexbench: the frozen run, built from the settings once they are checked.
#include "config.h"


namespace {

// The window of a sampling run: 10, 120 or 1800 seconds; --tm= otherwise.
int RunSeconds(int mode, int tm) {
  switch (mode) {
    case kModeReadSample10:
    case kModeWriteSample10: return 10;
    case kModeReadSample120:
    case kModeWriteSample120: return 120;
    case kModeReadSample1800:
    case kModeWriteSample1800: return 1800;
    default: return tm;
  }
}

}  // namespace

int BenchConfig::MaxThreads() const {
  int m = 0;
  for (int t : threads)
    if (t > m) m = t;
  return m;
}

int BenchConfig::Descriptors() const {
  const int m = MaxThreads();
  const int n = static_cast<int>(devices.size());
  // The sampling modes run one worker per device path: every path has a
  // descriptor of its own, also beyond the largest worker count.
  return Sampling() && n > m ? n : m;
}

const std::string &BenchConfig::PathOf(int i) const {
  static const std::string kNone;
  const auto k = static_cast<size_t>(i);
  if (k < devices.size() && (k == 0 || !devices[k].empty())) return devices[k];
  return devices.empty() ? kNone : devices.front();
}

BenchConfig BuildConfig() {
  BenchConfig c;
  for (int i = 0; i < DeviceCnt; i++) c.devices.emplace_back(Devices[i]);
  for (int i = 0; i < kThreadCols; i++) c.threads[i] = ThreadLst[i];
  c.size_mib = DevSizeMiB;
  c.size_sectors = DevSizeMiB * 1048576 / kSectorSize;
  c.seconds = RunSeconds(TestNum, TestTime);
  c.blk_min = SzMin;
  c.blk_max = SzMax;
  c.fixed_blk_k = TestSz;
  c.offset = TestOff;
  c.dupe = DupeMod;
  c.comp = CompRatio;
  c.mode = TestNum;
  c.coll = CollRule;
  c.direct = b_opt ? 0 : o_direct;
  c.sample_window_bytes = DevSizeBytes;
  // Outside the tables the flags stay as given.
  const RunFlags f = TestNum == kModeTables ? ResolveRunFlags()
                                            : RunFlags{r_opt != 0, w_opt != 0, c_opt != 0,
                                                       IsWriteSampling(TestNum)};
  c.fill = f.fill;
  c.read_table = f.read;
  c.write_table = f.write;
  c.open_wt = f.open_wt;
  c.quick = q_opt != 0;
  c.zero_buf = z_opt != 0;
  c.half_zero = h_opt != 0;
  c.fixed_seed = e_opt != 0;
  c.urandom = u_opt != 0;
  c.lat = lat_opt != 0;
  c.json_file = JsonFile;
  c.queue_depth = QueueDepth;
  c.mix_shares = MixShares;
  c.rate = RateIops;
  c.start_at_ms = StartAtMs;
  return c;
}
