// SPDX-License-Identifier: Apache-2.0
// The check command's words: --json beside the existing options (which match
// by prefix), and the positional device, first and count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

// One word per row of the option table (both forms of "quick") and what it
// sets; only the --json words set v_Json. Each row stores through one
// pointer, so a word can change another setting only by matching another
// row, which the v_Json check here and ScanArgs.AddedNamesArePrefixesOfNoOtherName
// (no name a prefix of another) catch.
TEST(CheckCommandLine, JsonLeavesEveryExistingOptionAsItParsed) {
  const struct {
    const char *word;
    bool (*set)();
  } cases[] = {
      {"-q", [] { return v_QuickFlg == 1; }},
      {"--quick", [] { return v_QuickFlg == 1; }},
      {"--offset0=8589934592", [] { return v_Offset0 == 8589934592u; }},
      {"--wtblksz=0x100", [] { return v_WtBlkSz == 256; }},
      {"--wtblkstripe=3", [] { return v_WtBlkStripeCnt == 3; }},
      {"--wtsegsz=64", [] { return v_WtSegSz == 64; }},
      {"--devsz=1024", [] { return v_DevSz == 1024; }},
      {"--free=80", [] { return v_Free == 80; }},
      {"--ver=11", [] { return v_Ver == 11; }},
      {"--big=1", [] { return v_BigFlg == 1; }},
      {"--vm=1", [] { return v_VmFlg == 1; }},
      {"--vm2comp", [] { return v_Vm2CompFlg == 1 && v_Vm2Flg == 0; }},
      {"--vm2", [] { return v_Vm2Flg == 1 && v_Vm2CompFlg == 0; }},
      {"--dedupe=200", [] { return v_DeDupe == 200; }},
      {"--comp=300", [] { return v_Comp == 300 && v_CompBytes == 0 && v_CompMax == 0; }},
      {"--compbytes=128", [] { return v_CompBytes == 128 && v_Comp == 0; }},
      {"--compmax=8", [] { return v_CompMax == 8 && v_Comp == 0; }},
      {"--bits=7", [] { return v_Bits == 7; }},
      {"--metadupecnt=3", [] { return v_MetaDupeCnt == 3; }},
      {"--ecc5", [] { return v_EccRaid5 == 1 && v_HashFlg == 1 && v_EccRaid6 == 0; }},
      {"--ecc6", [] { return v_EccRaid6 == 1 && v_HashFlg == 1 && v_EccRaid5 == 0; }},
      {"--eccstripe=8", [] { return v_EccWidth == 8 && v_EccRaid5 == 0; }},
      {"--eccwidths=64", [] { return v_EccDepth == 64 && v_EccRaid5 == 0; }},
      {"--ecc", [] { return v_EccRaid5 == 1 && v_HashFlg == 1; }},
      {"--tmpdir=/var/tmp", [] { return v_TmpDir == "/var/tmp"; }},
      {"--svwbcnt=5", [] { return v_SvWbCnt == 5; }},
      {"--svwccnt=6", [] { return v_SvScCnt == 6 && v_SvWbCnt == 0; }},
      {"--hashtp=3", [] { return v_HashTp == 3 && v_HashFlg == 0; }},
      {"--hash", [] { return v_HashFlg == 1; }},
      {"--summarymeta", [] { return v_SummaryMeta == 1; }},
      {"--migrate", [] { return v_Migrate_Flg == 1; }},
      {"--m_linoff0=9", [] { return v_Migrate_LinOff0 == 9; }},
      {"--m_linoff1=10", [] { return v_Migrate_LinOff1 == 10; }},
      {"--m_linblks=11", [] { return v_Migrate_LinBlks == 11; }},
      {"--hdroff=8", [] { return v_HdrOff == 8; }},
      {"--autovm", [] { return v_AutoVm == 1; }},
      {"--json", [] { return true; }},
      {"--jsonl", [] { return true; }},  // a flag matches as a prefix, like every flag
      {"--log=/dev/sdc", [] { return v_ImageLog == "/dev/sdc"; }},
  };
  for (const auto &c : cases) {
    RunResult r = RunLine({"dev-rd", c.word});
    EXPECT_EQ(r.status, 0) << c.word << r.out;
    EXPECT_TRUE(c.set()) << c.word;
    EXPECT_EQ(v_Json, std::string(c.word).starts_with("--json") ? 1u : 0u) << c.word;
  }
  // A word that only begins like --json is still refused.
  RunResult r = RunLine({"dev-rd", "--jso"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("--jso\n") + kMaintUsage);
}

TEST(CheckCommandLine, DeviceFirstAndCount) {
  RunLine({"dev-rd", "check"});  // a command word after the command is a path
  EXPECT_EQ(v_DevList, std::vector<std::string>{"check"});

  RunResult r = RunLine({"check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kMaintCheckUsage);

  r = RunLine({"--json", "check", "/no/such/dev", "0x10", "8589934592"});
  EXPECT_EQ(v_DevName, "/no/such/dev");
  EXPECT_EQ(v_CheckFirst, 16u);
  EXPECT_EQ(v_CheckCount, 8589934592u);  // 64 bits kept
  EXPECT_EQ(v_CheckArgs, 2);
  EXPECT_EQ(v_Json, 1u);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error opening file - /no/such/dev = 2\n");

  RunLine({"check", "d", "7"});
  EXPECT_EQ(v_CheckArgs, 1);
  EXPECT_EQ(v_CheckFirst, 7u);

  r = RunLine({"check", "d", "1", "2", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("3\n") + kMaintUsage);

  // first and count are whole numbers, nothing else, within 64 bits
  for (const char *bad : {"abc", "12x", "+5", " 5", "0x", "09", "18446744073709551616"}) {
    r = RunLine({"check", "d", "0", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, std::string(bad) + "\n" + kMaintCheckUsage);
  }
}

}  // namespace
