// The order of a vexbench run: arguments, checks, signals, then one run mode.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "bench.h"
#include "fatal.h"

namespace {

char ThBuf[kThreadCols][32];  // column labels of the result tables

void RunTable(int rw) {
  std::printf(rw ? "Write Tests:\n" : "Read Tests:\n");
  std::printf("\n");
  PrintHeader();
  // CheckSettings keeps SzMax at most INT_MAX / 2, so the doubling ends.
  for (int BlkSz = SzMin; BlkSz <= SzMax; BlkSz *= 2) {
    std::printf("%5s ", PrettyK(BlkSz).c_str());
    std::fflush(stdout);
    for (int i = 0; i < kThreadCols; i++)
      if (ThreadLst[i] != 0) Test(ThreadLst[i], BlkSz, rw);
    std::printf("\n");
    std::fflush(stdout);
  }
}

void Sampling(int OpenWt) {
  AllocBufs(OpenWt);
  Test(DeviceCnt, 0, OpenWt);
}

}  // namespace

void PrintHeader() {
  std::printf("%5s ", "Block");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", ThBuf[i]);
  std::printf("\n");
  std::printf("%5s ", "Size");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", "IOPS    BW   ");
  std::printf("\n");
  std::printf("%5s ", "");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", "");
  std::printf("\n");
}

void NormalRun() {
  int OpenWt = ResolveRunFlags();
  AllocBufs(OpenWt);
  std::printf("\n");
  if (c_opt) Clear();
  std::printf("\n");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0)
      std::snprintf(ThBuf[i], sizeof ThBuf[i], "%d thread%c   ", ThreadLst[i],
                    ThreadLst[i] == 1 ? ' ' : 's');
  if (r_opt) RunTable(0);
  if (w_opt) {
    std::printf("\n");
    RunTable(1);
  }
  std::printf("\n");
}

void DevList() {
  for (int i = 0; i < DeviceCnt; i++) {
    int fd = open(Devices[i], O_RDWR | O_EXCL | o_direct);
    if (fd < 0) continue;
    std::printf("%s\n", Devices[i]);
    close(fd);
  }
}

int RunBench(int argc, char **argv) {
  if (!ParseArgs(argc, argv)) return 0;
  CheckSettings();
  if (Devices[0][0] == '\0') usage(0);
  if (b_opt) o_direct = 0;
  InstallSignals();
  ctl.DevSizeSectors = DevSizeMiB * 1048576 / kSectorSize;

  switch (TestNum) {
    case kModeTables: NormalRun(); break;
    case kModeReadSample10: TestTime = 10; Sampling(0); break;
    case kModeReadSample120: TestTime = 120; Sampling(0); break;
    case kModeReadSample1800: TestTime = 1800; Sampling(0); break;
    case kModeWriteSample10: TestTime = 10; Sampling(1); break;
    case kModeWriteSample120: TestTime = 120; Sampling(1); break;
    case kModeWriteSample1800: TestTime = 1800; Sampling(1); break;
    case kModeClear18G: x10_clear(); break;
    case kModeClear16G: x11_clear(); break;
    case kModeRandWrite16G: x12_test(); break;
    case kModeDevList: DevList(); break;
    default: break;
  }
  std::fflush(stdout);
  // Every line is out; a worker that met a transfer error or a stamp mismatch
  // makes the run fail so that a script can tell.
  if (RunErr) FatalQuiet();
  return 0;
}
