// SPDX-License-Identifier: Apache-2.0
// The one definition of every setting.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bench.h"

char Devices[kMaxThreads][kMaxPath];
int DeviceCnt;
int ThreadLst[kThreadCols];
uint64_t DevSizeMiB;
int TestTime;
int SzMin;
int SzMax;
int TestSz;
int TestOff;
int DupeMod;
int CompRatio;
int TestNum;
int CollRule;
int o_direct;
uint64_t DevSizeBytes;

int b_opt, c_opt, e_opt, f_opt, h_opt, p_opt, q_opt, r_opt, u_opt, w_opt, z_opt;
char UnknownLetter;
std::string UnknownLetterWord;
int lat_opt;
std::string JsonFile;
int QueueDepth;
std::vector<int> MixShares;
uint64_t RateIops;
uint64_t StartAtMs = kNoStartAt;

pid_t (*ForkFn)() = fork;
ssize_t (*PipeReadFn)(int fd, void *buf, size_t len) = read;

namespace {

// Applies the defaults; the tables in cmdline.cpp document them with the options.
void ApplyDefaults() {
  std::memset(Devices, 0, sizeof Devices);
  DeviceCnt = 0;
  static constexpr int kDefThreads[kThreadCols] = {1, 10, 40, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(ThreadLst, kDefThreads, sizeof ThreadLst);
  DevSizeMiB = 4096;
  TestTime = 10;
  SzMin = 512;
  SzMax = 4194304;
  TestSz = 512;
  TestOff = 0;
  DupeMod = 0;
  CompRatio = 0;
  TestNum = 0;
  CollRule = 0;
  o_direct = O_DIRECT;
  DevSizeBytes = 8388608;
  b_opt = c_opt = e_opt = f_opt = h_opt = p_opt = q_opt = r_opt = u_opt = w_opt = z_opt = 0;
  UnknownLetter = 0;
  UnknownLetterWord.clear();
  lat_opt = 0;
  JsonFile.clear();
  QueueDepth = 1;
  MixShares.clear();
  RateIops = 0;
  StartAtMs = kNoStartAt;
  SigFlg1 = 0;
  SigFlg2 = 0;
  SigFlg3 = 0;
}

// Gives the settings their defaults before main() runs.
struct DefaultsAtStart {
  DefaultsAtStart() { ApplyDefaults(); }
} defaults_at_start;

}  // namespace

void ResetSettings() { ApplyDefaults(); }
