// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
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

// What a setting holds after a line, as text (numbers in decimal).
std::string Setting(const std::string &name) {
#define XTL_NUM(v) {#v, [] { return std::to_string(v); }}
  static const std::map<std::string, std::function<std::string()>> kGet = {
      XTL_NUM(v_WtBlkStripeCnt), XTL_NUM(v_Ver),       XTL_NUM(v_MetaDupeCnt),
      XTL_NUM(v_EccWidth),       XTL_NUM(v_EccDepth),  XTL_NUM(v_WtBlkSz),
      XTL_NUM(v_HashFlg),        XTL_NUM(v_EccRaid5),  XTL_NUM(v_EccRaid6),
      XTL_NUM(v_HashTp),         XTL_NUM(v_Vm2CompFlg), XTL_NUM(v_Vm2Flg),
      XTL_NUM(v_QuickFlg),       XTL_NUM(v_Offset0),   XTL_NUM(v_HdrOff),
      XTL_NUM(v_Migrate_LinBlks), XTL_NUM(v_DevCnt),   XTL_NUM(v_HdrN),
      XTL_NUM(v_TrackN),         XTL_NUM(v_cmd),       XTL_NUM(v_TmpDir.size()),
      {"v_TmpDir", [] { return v_TmpDir; }},
      {"v_DevName", [] { return v_DevName; }},
      {"v_LogSource", [] { return v_LogSource; }},
      {"v_DevList[1]", [] { return v_DevList.size() > 1 ? v_DevList[1] : "(none)"; }},
      {"v_Undo", [] { return v_Undo; }},
      {"v_UndoFile", [] { return v_UndoFile; }},
  };
#undef XTL_NUM
  const auto it = kGet.find(name);
  return it == kGet.end() ? "(no such setting)" : it->second();
}

struct LineCase {
  const char *what;
  std::vector<std::vector<std::string>> lines;  // scanned in turn
  std::vector<std::pair<std::string, std::string>> want;  // setting, text
};

TEST(ScanArgs, SettingsAfterALine) {
  const std::string max64 = std::to_string(UINT64_MAX);
  const std::string dev(256, 'd');
  const LineCase cases[] = {
      {"defaults from the option table", {{"dev-rd"}},
       {{"v_WtBlkStripeCnt", "1"}, {"v_Ver", "513"}, {"v_MetaDupeCnt", "2"}, {"v_EccWidth", "4"},
        {"v_EccDepth", "128"}, {"v_WtBlkSz", "0"}, {"v_HashFlg", "0"}, {"v_TmpDir", ""}}},
      // Long names match in table order.
      {"eccstripe", {{"dev-rd", "--eccstripe=8"}},
       {{"v_EccWidth", "8"}, {"v_EccRaid5", "0"}, {"v_HashFlg", "0"}}},
      {"eccwidths", {{"dev-rd", "--eccwidths=0x10"}}, {{"v_EccDepth", "16"}, {"v_EccWidth", "4"}}},
      {"ecc", {{"dev-rd", "--ecc"}}, {{"v_EccRaid5", "1"}, {"v_HashFlg", "1"}}},
      {"ecc6", {{"dev-rd", "--ecc6"}},
       {{"v_EccRaid6", "1"}, {"v_EccRaid5", "0"}, {"v_HashFlg", "1"}}},
      {"hashtp", {{"dev-rd", "--hashtp=3"}}, {{"v_HashTp", "3"}, {"v_HashFlg", "0"}}},
      {"hash", {{"dev-rd", "--hash"}}, {{"v_HashFlg", "1"}}},
      {"vm2comp", {{"dev-rd", "--vm2comp"}}, {{"v_Vm2CompFlg", "1"}, {"v_Vm2Flg", "0"}}},
      {"vm2", {{"dev-rd", "--vm2"}}, {{"v_Vm2Flg", "1"}, {"v_Vm2CompFlg", "0"}}},
      // A flag row matches any text that goes on after its name.
      {"quickly", {{"dev-rd", "--quickly"}}, {{"v_QuickFlg", "1"}}},
      {"-qz", {{"dev-rd", "-qz"}}, {{"v_QuickFlg", "1"}}},
      {"value widths",
       {{"dev-rd", "--offset0=8589934592", "--wtblksz=8589934592", "--hdroff=0x10",
         "--m_linblks=-1"}},
       {{"v_Offset0", "8589934592"}, {"v_WtBlkSz", "4294967295"}, {"v_HdrOff", "16"},
        {"v_Migrate_LinBlks", max64}}},
      {"tmpdir keeps only the value", {{"dev-rd", "--tmpdir=/var/tmp"}}, {{"v_TmpDir", "/var/tmp"}}},
      {"options may follow the command and its arguments",
       {{"dev-rd", "/nonexistent/a", "--wtblksz=64", "/nonexistent/b"}},
       {{"v_WtBlkSz", "64"}, {"v_DevCnt", "2"}, {"v_DevList[1]", "/nonexistent/b"}}},
      // status with a number keeps it; the header is read the same way.
      {"status number", {{"status", "/nonexistent/dev", "0x10"}},
       {{"v_DevName", "/nonexistent/dev"}, {"v_HdrN", "16"}}},
      {"dump block", {{"dump", "/nonexistent/dev", "3"}}, {{"v_TrackN", "3"}}},
      // A command word after the command is an ordinary argument.
      {"command word as argument", {{"dump", "status"}}, {{"v_DevName", "status"}}},
      {"log scan argument", {{"log", "scan", "--tmpdir=/nonexistent", "/dev/null"}},
       {{"v_cmd", std::to_string(kCmdLogScan)}, {"v_LogSource", "/dev/null"}}},
      {"longest accepted text words", {{"dump", dev, "--tmpdir=" + std::string(120, 't')}},
       {{"v_DevName", dev}, {"v_TmpDir.size()", "120"}}},
      {"undo= keeps the path, 256 characters", {{"format", "d", "--undo=" + dev}},
       {{"v_Undo", dev}, {"v_DevName", "d"}}},
      {"undo FILE DEV", {{"undo", "u", "d"}}, {{"v_UndoFile", "u"}, {"v_DevName", "d"}}},
      {"reset between lines", {{"dev-rd", "--wtblksz=64", "--tmpdir=/x", "a"}, {"dev-wt"}},
       {{"v_WtBlkSz", "0"}, {"v_TmpDir", ""}, {"v_DevCnt", "0"},
        {"v_cmd", std::to_string(kCmdDevWt)}}},
  };
  for (const LineCase &c : cases) {
    for (const auto &line : c.lines) RunLine(line);
    for (const auto &[name, text] : c.want) EXPECT_EQ(Setting(name), text) << c.what << ": " << name;
  }
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
      {{"log copy", "d"}, "log copy\n"},  // command words are words of their own
      {{"log", "log"}, "log\n"},
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
      {{"format", "d", "--undo="}, "--undo=\n"},
      {{"format", "d", "--undo=" + long_word}, "--undo=" + long_word + "\n"},
      {{"undo", "u", "d", "x"}, "x\n"},
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

// The names added to the first table: no other name is a prefix of one,
// nor one of another name, so that each is matched as its own word.
TEST(ScanArgs, AddedNamesArePrefixesOfNoOtherName) {
  for (const std::string added : {"json", "force", "qd=", "log=", "undo="}) {
    int rows = 0;
    for (size_t i = 0; OptionName(i) != nullptr; i++) {
      const std::string name = OptionName(i);
      rows += name == added ? 1 : 0;
      EXPECT_TRUE(name == added || !(name.starts_with(added) || added.starts_with(name)))
          << added << " and " << name;
    }
    EXPECT_EQ(rows, 1) << added;
  }
  // The whole words looked at before the table: no row may take them.
  for (const std::string word : {"help", "version", "list-options"}) {
    for (size_t i = 0; OptionName(i) != nullptr; i++) {
      const std::string name = OptionName(i);
      EXPECT_FALSE(name.starts_with(word) || word.starts_with(name)) << word << " and " << name;
    }
  }
  RunLine({"dev-rd", "--force"});
  EXPECT_EQ(v_Force, 1u);
  for (const std::string word : {"--forcex", "--force=1", "--forc", "-f"})
    EXPECT_EQ(RunLine({"dev-rd", word}).out, word + "\n" + kMaintUsage) << word;
  EXPECT_EQ(v_CheckQd, 32u);  // the default
  RunLine({"dev-rd", "--qd=8"});
  EXPECT_EQ(v_CheckQd, 8u);
}

// --list-options: one line per row of the option table, in its order, with
// the one-letter form beside it, then one line per command.
TEST(ScanArgs, ListOptionsNamesEveryRow) {
  CaptureStdout cap;
  EXPECT_EQ(RunLine({"dev-rd", "--list-options", "bogus"}).status, 0);
  std::istringstream lines(cap.Take());
  std::string line;
  size_t i = 0;
  std::vector<std::string> cmds;
  while (std::getline(lines, line)) {
    if (line.starts_with("option\t--") && OptionName(i) != nullptr)
      EXPECT_EQ(line.substr(9, line.find('\t', 9) - 9), OptionName(i++));
    else if (line.starts_with("command\t"))
      cmds.push_back(line.substr(8, line.find('\t', 8) - 8));
    else
      ADD_FAILURE() << line;
  }
  EXPECT_EQ(OptionName(i), nullptr);
  EXPECT_EQ(cmds.size(), 15u);
  EXPECT_EQ(cmds[7], "log copy");
  EXPECT_EQ(v_cmd, kCmdDevRd);  // the words before it were scanned
}

// --log= (image): its path may be as long as a device's; image takes two words.
TEST(ScanArgs, ImageTakesTwoWords) {
  const std::string path(200, 'p');
  EXPECT_EQ(RunLine({"image", "a", "b", "--log=" + path}).status, 1);
  EXPECT_EQ(v_DevName + v_ImageFile + v_ImageLog, "ab" + path);
  EXPECT_EQ(RunLine({"image", "a", "b", "c"}).out, "c\n" + kMaintUsage);
  EXPECT_EQ(RunLine({"image", "a"}).out, kMaintImageUsage);
}

// --undo=: no other name is a prefix of it, nor it of one; it belongs to
// the three commands that overwrite a device, and undo takes FILE and DEV.
TEST(ScanArgs, UndoOptionNoPrefixAndOnlyWhereADeviceIsOverwritten) {
  for (size_t i = 0; OptionName(i) != nullptr; i++) {
    const std::string name = OptionName(i);
    if (name != "undo=") {
      EXPECT_TRUE(!name.starts_with("undo") && !std::string("undo=").starts_with(name)) << name;
    }
  }
  for (const std::string cmd : {"status", "dump", "check", "dev-rd", "undo"}) {
    RunResult r = RunLine({cmd, "/nonexistent/d", "--undo=/nonexistent/u"});
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_EQ(r.err, "Error: --undo= applies to format, log post and log clear only\n") << cmd;
  }
  EXPECT_EQ(RunLine({"undo", "u"}).out, kMaintUndoUsage);
}

}  // namespace
