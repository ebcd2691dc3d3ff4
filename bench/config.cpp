// SPDX-License-Identifier: Apache-2.0
// vexbench: the frozen run, built from the settings once they are checked.
#include "config.h"

#include <algorithm>
#include <iterator>


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
  // Outside the tables the flags stay as given.
  const RunFlags f = TestNum == kModeTables ? ResolveRunFlags()
                                            : RunFlags{r_opt != 0, w_opt != 0, c_opt != 0,
                                                       IsWriteSampling(TestNum)};
  BenchConfig c{.devices = {Devices, Devices + DeviceCnt},
                .threads = {},
                .size_mib = DevSizeMiB,
                .size_sectors = DevSizeMiB * 1048576 / kSectorSize,
                .seconds = RunSeconds(TestNum, TestTime),
                .blk_min = SzMin,
                .blk_max = SzMax,
                .fixed_blk_k = TestSz,
                .offset = TestOff,
                .dupe = DupeMod,
                .comp = CompRatio,
                .mode = TestNum,
                .coll = CollRule,
                .direct = b_opt ? 0 : o_direct,
                .sample_window_bytes = DevSizeBytes,
                .fill = f.fill,
                .read_table = f.read,
                .write_table = f.write,
                .open_wt = f.open_wt,
                .quick = q_opt != 0,
                .zero_buf = z_opt != 0,
                .half_zero = h_opt != 0,
                .fixed_seed = e_opt != 0,
                .urandom = u_opt != 0,
                .lat = lat_opt != 0,
                .json_file = JsonFile,
                .queue_depth = QueueDepth,
                .mix_shares = MixShares,
                .rate = RateIops,
                .start_at_ms = StartAtMs};
  std::copy(std::begin(ThreadLst), std::end(ThreadLst), std::begin(c.threads));
  return c;
}
