#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct NumCase {
  const char *text;
  int bits;
  uint64_t want;
};

TEST(ConvertNum, PrefixesSignsClampingAndTrailingText) {
  const NumCase cases[] = {
      {"256", 32, 256},
      {"0x100", 32, 256},
      {"0X100", 32, 256},
      {"0400", 32, 256},
      {"12abc", 32, 12},
      {"", 32, 0},
      {"abc", 32, 0},
      {"0x", 32, 0},      // "0" then an x that is not a hex prefix
      {"08", 32, 0},      // octal stops at 8
      {"  \t42", 32, 42},
      {"+7", 32, 7},
      {"-1", 32, 4294967295u},
      {"-1", 64, UINT64_MAX},
      {"-2", 32, 4294967294u},
      {"4294967295", 32, 4294967295u},
      {"4294967296", 32, 4294967295u},
      {"8589934592", 32, 4294967295u},     // 2^33 clamps
      {"8589934592", 64, 8589934592ULL},   // and keeps all 64 bits
      {"18446744073709551615", 64, UINT64_MAX},
      {"18446744073709551616", 64, UINT64_MAX},
      {"99999999999999999999999", 64, UINT64_MAX},
      {"-99999999999999999999999", 64, UINT64_MAX},
      {"0xffffffffffffffff", 64, UINT64_MAX},
      {"0x1ffffffff", 32, 4294967295u},
  };
  for (const auto &c : cases) EXPECT_EQ(ConvertNum(c.text, c.bits), c.want) << c.text << "/" << c.bits;
}

TEST(ScanArgs, DefaultsFromTheOptionTable) {
  RunLine({"dev-rd"});
  EXPECT_EQ(v_WtBlkStripeCnt, 1u);
  EXPECT_EQ(v_Ver, 513u);
  EXPECT_EQ(v_MetaDupeCnt, 2u);
  EXPECT_EQ(v_EccWidth, 4u);
  EXPECT_EQ(v_EccDepth, 128u);
  EXPECT_EQ(v_WtBlkSz, 0u);
  EXPECT_EQ(v_HashFlg, 0u);
  EXPECT_TRUE(v_TmpDir.empty());
}

TEST(ScanArgs, LongNamesMatchInTableOrder) {
  RunLine({"dev-rd", "--eccstripe=8"});
  EXPECT_EQ(v_EccWidth, 8u);
  EXPECT_EQ(v_EccRaid5, 0u);
  EXPECT_EQ(v_HashFlg, 0u);

  RunLine({"dev-rd", "--eccwidths=0x10"});
  EXPECT_EQ(v_EccDepth, 16u);
  EXPECT_EQ(v_EccWidth, 4u);

  RunLine({"dev-rd", "--ecc"});
  EXPECT_EQ(v_EccRaid5, 1u);
  EXPECT_EQ(v_HashFlg, 1u);

  RunLine({"dev-rd", "--ecc6"});
  EXPECT_EQ(v_EccRaid6, 1u);
  EXPECT_EQ(v_EccRaid5, 0u);
  EXPECT_EQ(v_HashFlg, 1u);

  RunLine({"dev-rd", "--hashtp=3"});
  EXPECT_EQ(v_HashTp, 3u);
  EXPECT_EQ(v_HashFlg, 0u);
  RunLine({"dev-rd", "--hash"});
  EXPECT_EQ(v_HashFlg, 1u);

  RunLine({"dev-rd", "--vm2comp"});
  EXPECT_EQ(v_Vm2CompFlg, 1u);
  EXPECT_EQ(v_Vm2Flg, 0u);
  RunLine({"dev-rd", "--vm2"});
  EXPECT_EQ(v_Vm2Flg, 1u);
  EXPECT_EQ(v_Vm2CompFlg, 0u);

  // A flag row matches any text that goes on after its name.
  RunLine({"dev-rd", "--quickly"});
  EXPECT_EQ(v_QuickFlg, 1u);
  RunLine({"dev-rd", "-qz"});
  EXPECT_EQ(v_QuickFlg, 1u);
}

TEST(ScanArgs, ValueWidths) {
  RunLine({"dev-rd", "--offset0=8589934592", "--wtblksz=8589934592", "--hdroff=0x10",
           "--m_linblks=-1"});
  EXPECT_EQ(v_Offset0, 8589934592ULL);
  EXPECT_EQ(v_WtBlkSz, 4294967295u);
  EXPECT_EQ(v_HdrOff, 16u);
  EXPECT_EQ(v_Migrate_LinBlks, UINT64_MAX);
}

TEST(ScanArgs, TmpDirKeepsOnlyTheValue) {
  RunLine({"dev-rd", "--tmpdir=/var/tmp"});
  EXPECT_EQ(v_TmpDir, "/var/tmp");
}

TEST(ScanArgs, OptionsMayFollowTheCommandAndItsArguments) {
  RunLine({"dev-rd", "/nonexistent/a", "--wtblksz=64", "/nonexistent/b"});
  EXPECT_EQ(v_WtBlkSz, 64u);
  ASSERT_EQ(v_DevCnt, 2);
  EXPECT_EQ(v_DevList[1], "/nonexistent/b");
}

TEST(ScanArgs, PositionalArguments) {
  // status with a number keeps it; the header is read the same way.
  RunLine({"status", "/nonexistent/dev", "0x10"});
  EXPECT_EQ(v_DevName, "/nonexistent/dev");
  EXPECT_EQ(v_HdrN, 16);
  RunLine({"dump", "/nonexistent/dev", "3"});
  EXPECT_EQ(v_TrackN, 3u);
  // A command word after the command is an ordinary argument.
  RunLine({"dump", "status"});
  EXPECT_EQ(v_DevName, "status");
  RunLine({"log", "scan", "--tmpdir=/nonexistent", "/dev/null"});
  EXPECT_EQ(v_cmd, kCmdLogScan);
  EXPECT_EQ(v_LogSource, "/dev/null");
}

struct RefusalCase {
  std::vector<std::string> words;
  std::string first_line;  // printed before the usage text; empty for none
};

TEST(ScanArgs, RefusalsPrintTheWordThenUsageWithStatus1) {
  const std::string long_word(257, 'd');
  const std::string long_dir = "--tmpdir=" + std::string(121, 't');
  const RefusalCase cases[] = {
      {{}, "main: exit\n"},
      {{"convert", "dev", "10"}, "main: exit\n"},
      {{"log"}, "main: exit\n"},
      {{"--wtblksz=4", "-q"}, "main: exit\n"},
      {{"frobnicate"}, "frobnicate\n"},
      {{"/dev/sda"}, "/dev/sda\n"},
      {{"log", "frob"}, "frob\n"},
      {{"format"}, ""},
      {{"format", "a", "b"}, "b\n"},
      {{"status"}, ""},
      {{"status", "a", "1", "x"}, "x\n"},
      {{"dump", "a", "1", "x"}, "x\n"},
      {{"log", "scan", "a", "b"}, "b\n"},
      {{"log", "clear", "a", "b"}, "b\n"},
      {{"convert", "a", "1", "x"}, "x\n"},
      {{"status", "-"}, "-\n"},
      {{"status", "--"}, "--\n"},
      {{"status", "-x"}, "-x\n"},
      {{"status", "--wtblksz"}, "--wtblksz\n"},
      {{"status", "--bogus=1"}, "--bogus=1\n"},
      {{"status", long_word}, long_word + "\n"},
      {{"log", "copy", long_word}, long_word + "\n"},
      {{"dev-rd", long_word}, long_word + "\n"},
      {{"log", "scan", long_dir}, long_dir + "\n"},
  };
  for (const auto &c : cases) {
    RunResult r = RunLine(c.words);
    std::string line;
    for (const auto &w : c.words) line += w + " ";
    EXPECT_EQ(r.status, 1) << line;
    EXPECT_EQ(r.out, c.first_line + kMaintUsage) << line;
    EXPECT_EQ(r.err, "") << line;
  }
}

TEST(ScanArgs, LongestAcceptedTextWords) {
  const std::string dev(256, 'd');
  RunLine({"dump", dev, "--tmpdir=" + std::string(120, 't')});
  EXPECT_EQ(v_DevName, dev);
  EXPECT_EQ(v_TmpDir.size(), 120u);
}

TEST(ScanArgs, DeviceListHoldsAtMost256Paths) {
  std::vector<std::string> words{"dev-rd"};
  for (int i = 0; i < 256; i++) words.push_back("/nonexistent/" + std::to_string(i));
  EXPECT_EQ(RunLine(words).status, 0);
  EXPECT_EQ(v_DevCnt, 256);
  words.push_back("/nonexistent/256");
  RunResult r = RunLine(words);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("/nonexistent/256\n") + kMaintUsage);
}

TEST(ScanArgs, ResetBetweenLines) {
  RunLine({"dev-rd", "--wtblksz=64", "--tmpdir=/x", "a"});
  RunLine({"dev-wt"});
  EXPECT_EQ(v_WtBlkSz, 0u);
  EXPECT_TRUE(v_TmpDir.empty());
  EXPECT_EQ(v_DevCnt, 0);
  EXPECT_EQ(v_cmd, kCmdDevWt);
}

// --force: a whole word, the last row, and no other name is a prefix of it or it of one.
TEST(ScanArgs, ForceIsAWholeWordThatNoOtherNamePrefixes) {
  std::string name;
  size_t i = 0;
  for (; OptionName(i + 1) != nullptr; i++) {
    name = OptionName(i);
    EXPECT_TRUE(!name.starts_with("force") && !std::string("force").starts_with(name)) << name;
  }
  EXPECT_STREQ(OptionName(i), "force");
  RunLine({"dev-rd", "--force"});
  EXPECT_EQ(v_Force, 1u);
  for (const std::string word : {"--forcex", "--force=1", "--forc", "-f"})
    EXPECT_EQ(RunLine({"dev-rd", word}).out, word + "\n" + kMaintUsage) << word;
}

}  // namespace
