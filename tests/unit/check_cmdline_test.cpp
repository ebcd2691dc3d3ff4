// SPDX-License-Identifier: Apache-2.0
// The check command's words: --json beside the existing options (which match
// by prefix), and the positional device, first and count.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Settings = std::map<std::string, std::string>;

// Every setting an option can fill, by name.
Settings Snapshot() {
  const std::pair<const char *, uint32_t *> u32[] = {
      {"QuickFlg", &v_QuickFlg},
      {"WtBlkSz", &v_WtBlkSz},
      {"WtBlkStripeCnt", &v_WtBlkStripeCnt},
      {"WtSegSz", &v_WtSegSz},
      {"Free", &v_Free},
      {"Ver", &v_Ver},
      {"BigFlg", &v_BigFlg},
      {"VmFlg", &v_VmFlg},
      {"Vm2CompFlg", &v_Vm2CompFlg},
      {"Vm2Flg", &v_Vm2Flg},
      {"DeDupe", &v_DeDupe},
      {"Comp", &v_Comp},
      {"CompBytes", &v_CompBytes},
      {"CompMax", &v_CompMax},
      {"Bits", &v_Bits},
      {"MetaDupeCnt", &v_MetaDupeCnt},
      {"EccRaid5", &v_EccRaid5},
      {"EccRaid6", &v_EccRaid6},
      {"EccWidth", &v_EccWidth},
      {"EccDepth", &v_EccDepth},
      {"SvWbCnt", &v_SvWbCnt},
      {"SvScCnt", &v_SvScCnt},
      {"HashTp", &v_HashTp},
      {"HashFlg", &v_HashFlg},
      {"SummaryMeta", &v_SummaryMeta},
      {"Migrate_Flg", &v_Migrate_Flg},
      {"AutoVm", &v_AutoVm},
      {"Json", &v_Json},
  };
  const std::pair<const char *, uint64_t *> u64[] = {
      {"Offset0", &v_Offset0},
      {"DevSz", &v_DevSz},
      {"Migrate_LinOff0", &v_Migrate_LinOff0},
      {"Migrate_LinOff1", &v_Migrate_LinOff1},
      {"Migrate_LinBlks", &v_Migrate_LinBlks},
      {"HdrOff", &v_HdrOff},
  };
  Settings s;
  for (const auto &[name, p] : u32) s[name] = std::to_string(*p);
  for (const auto &[name, p] : u64) s[name] = std::to_string(*p);
  s["TmpDir"] = v_TmpDir;
  s["ImageLog"] = v_ImageLog;
  return s;
}

TEST(CheckCommandLine, JsonLeavesEveryExistingOptionAsItParsed) {
  RunLine({"dev-rd"});
  const Settings defaults = Snapshot();
  // One word per row of the option table (both forms of "quick"), and what
  // each changes; the rest must stay at the defaults.
  const struct {
    const char *word;
    Settings changed;
  } cases[] = {
      {"-q", {{"QuickFlg", "1"}}},
      {"--quick", {{"QuickFlg", "1"}}},
      {"--offset0=8589934592", {{"Offset0", "8589934592"}}},
      {"--wtblksz=0x100", {{"WtBlkSz", "256"}}},
      {"--wtblkstripe=3", {{"WtBlkStripeCnt", "3"}}},
      {"--wtsegsz=64", {{"WtSegSz", "64"}}},
      {"--devsz=1024", {{"DevSz", "1024"}}},
      {"--free=80", {{"Free", "80"}}},
      {"--ver=11", {{"Ver", "11"}}},
      {"--big=1", {{"BigFlg", "1"}}},
      {"--vm=1", {{"VmFlg", "1"}}},
      {"--vm2comp", {{"Vm2CompFlg", "1"}}},
      {"--vm2", {{"Vm2Flg", "1"}}},
      {"--dedupe=200", {{"DeDupe", "200"}}},
      {"--comp=300", {{"Comp", "300"}}},
      {"--compbytes=128", {{"CompBytes", "128"}}},
      {"--compmax=8", {{"CompMax", "8"}}},
      {"--bits=7", {{"Bits", "7"}}},
      {"--metadupecnt=3", {{"MetaDupeCnt", "3"}}},
      {"--ecc5", {{"EccRaid5", "1"}, {"HashFlg", "1"}}},
      {"--ecc6", {{"EccRaid6", "1"}, {"HashFlg", "1"}}},
      {"--eccstripe=8", {{"EccWidth", "8"}}},
      {"--eccwidths=64", {{"EccDepth", "64"}}},
      {"--ecc", {{"EccRaid5", "1"}, {"HashFlg", "1"}}},
      {"--tmpdir=/var/tmp", {{"TmpDir", "/var/tmp"}}},
      {"--svwbcnt=5", {{"SvWbCnt", "5"}}},
      {"--svwccnt=6", {{"SvScCnt", "6"}}},
      {"--hashtp=3", {{"HashTp", "3"}}},
      {"--hash", {{"HashFlg", "1"}}},
      {"--summarymeta", {{"SummaryMeta", "1"}}},
      {"--migrate", {{"Migrate_Flg", "1"}}},
      {"--m_linoff0=9", {{"Migrate_LinOff0", "9"}}},
      {"--m_linoff1=10", {{"Migrate_LinOff1", "10"}}},
      {"--m_linblks=11", {{"Migrate_LinBlks", "11"}}},
      {"--hdroff=8", {{"HdrOff", "8"}}},
      {"--autovm", {{"AutoVm", "1"}}},
      {"--json", {{"Json", "1"}}},
      {"--jsonl", {{"Json", "1"}}},  // a flag matches as a prefix, like every flag
      {"--log=/dev/sdc", {{"ImageLog", "/dev/sdc"}}},
  };
  for (const auto &c : cases) {
    RunResult r = RunLine({"dev-rd", c.word});
    EXPECT_EQ(r.status, 0) << c.word << r.out;
    Settings want = defaults;
    for (const auto &[name, value] : c.changed) want[name] = value;
    EXPECT_EQ(Snapshot(), want) << c.word;
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
