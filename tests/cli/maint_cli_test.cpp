// SPDX-License-Identifier: Apache-2.0
// xtl-maint as a user runs it: command-line refusals, status, dev-rd/dev-wt.
#include <fcntl.h>

#include <cstring>

#include "maint_run.h"
#include "support.h"
#include "xtl.h"
#include "xtl_blocks.h"

namespace {

using cli::kBin;
using cli::Maint;

TEST(MaintCommandLine, RefusalsPrintWordAndUsageWithStatus1) {
  struct {
    std::vector<std::string> args;
    std::string first;
  } cases[] = {
      {{}, "main: exit\n"},
      {{"convert", "/dev/null", "5"}, "main: exit\n"},
      {{"log"}, "main: exit\n"},
      {{"bogus"}, "bogus\n"},
      {{"format"}, ""},
      {{"format", "a", "b"}, "b\n"},
      {{"status"}, ""},
      {{"-"}, "-\n"},
      {{"--"}, "--\n"},
      {{"-z", "status", "x"}, "-z\n"},
      {{"log", "copyx"}, "copyx\n"},
  };
  const std::string usage = support::kMaintUsage;
  for (const auto &c : cases) {
    support::Result r = Maint(c.args);
    EXPECT_EQ(r.status, 1) << c.first;
    EXPECT_EQ(r.out, c.first + usage) << c.first;
    EXPECT_EQ(r.err, "") << c.first;
  }
}

// --help and --version are whole words, seen where they stand: words before
// them are scanned as always, and every near miss is refused as it was before
// the two words existed (the option table matches by prefix, so a row that
// began "help" or "version" would have taken them).
TEST(MaintCommandLine, HelpAndVersionAreWholeWordsWithStatus0) {
  const std::string help = support::kMaintHelp;
  const std::string version = std::string("xtl-maint ") + XTL_VERSION + "\n";
  struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"--help"}, 0, help},
      {{"format", "/var/tmp/xtl-no-such-device", "--help", "bogus"}, 0, help},  // nothing runs
      {{"--version"}, 0, version},
      {{"log", "--version"}, 0, version},
      {{"bogus", "--help"}, 1, "bogus\n" + support::kMaintUsage},
      {{"--he"}, 1, "--he\n" + support::kMaintUsage},
      {{"--helpx"}, 1, "--helpx\n" + support::kMaintUsage},
      {{"--help=1"}, 1, "--help=1\n" + support::kMaintUsage},
      {{"--vers"}, 1, "--vers\n" + support::kMaintUsage},
      {{"--versions"}, 1, "--versions\n" + support::kMaintUsage},
      {{"-h"}, 1, "-h\n" + support::kMaintUsage},
      {{"-V"}, 1, "-V\n" + support::kMaintUsage},
      {{"-help"}, 1, "-help\n" + support::kMaintUsage},
  };
  for (const auto &c : cases) {
    support::Result r = Maint(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, "") << c.args[0];
  }
}

// The usage text, --help and the refusals of the commands' own words, byte
// for byte as kept in tests/support/data; --list-options is in none of them.
TEST(MaintCommandLine, UsageHelpAndRefusalTextsKeepTheirBytes) {
  struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"format"}, support::kMaintUsage},
      {{"check", "d", "1x"}, "1x\n" + support::kMaintCheckUsage},
      {{"image", "d"}, support::kMaintImageUsage},
      {{"undo", "u"}, support::kMaintUndoUsage},
      {{"--list-optionsx"}, "--list-optionsx\n" + support::kMaintUsage},
  };
  for (const auto &c : cases) {
    support::Result r = Maint(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  EXPECT_EQ(support::kMaintHelp.find("list-options"), std::string::npos);
  EXPECT_EQ(Maint({"--list-options"}).status, 0);
}

class MaintImage : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  std::string img = dir.File("dev.img");
  void SetUp() override { support::MakeSparse(img, uint64_t{1} << 30); }
};

// The header where it lies (at --hdroff=, sector 0 by default) as the
// status shows it; a number after the path changes nothing, options may
// follow; a blank device prints nothing.
TEST_F(MaintImage, StatusShowsTheHeaderAtItsOffset) {
  const DevHdrBuf v20 = support::V20Header(), blank{};
  const struct {
    DevHdrBuf hdr;
    uint64_t at;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {v20, 0, {img}, cli::kV20Status},
      {v20, 0, {img, "7", "--wtblksz=9"}, cli::kV20Status},
      {support::V11Header(1 << 20, 261888, 235699, 64), 0, {img},
       support::ExpectedText("status-v11.txt")},
      {blank, 0, {img}, ""},
      {v20, 4096, {img}, ""},
      {v20, 4096, {"--hdroff=8", img}, cli::kV20Status},
  };
  for (const auto &c : cases) {
    support::MakeSparse(img, uint64_t{1} << 30);
    support::WriteAt(img, c.at, c.hdr.raw, sizeof c.hdr.raw);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "status");
    const support::Result r = Maint(args);
    EXPECT_EQ(r.status, 0) << c.at << " " << args.back();
    EXPECT_EQ(r.out, c.out) << c.at << " " << args.back();
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(MaintImage, StatusFailures) {
  support::Result r = Maint({"status", dir.File("missing")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error opening file - " + dir.File("missing") + " = 2\n");

  support::MakeSparse(img, 100);
  r = Maint({"status", img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error reading header - 0\n");

  r = Maint({"status", "/dev/null"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: /dev/null is neither a block device nor a regular file\n");
}

TEST_F(MaintImage, StatusNeverWrites) {
  const DevHdrBuf h = support::V20Header();
  support::WriteAt(img, 0, h.raw, sizeof h.raw);
  auto before = support::ReadAt(img, 0, 65536);
  Maint({"status", img});
  EXPECT_EQ(support::ReadAt(img, 0, 65536), before);
  EXPECT_EQ(support::FileSize(img), uint64_t{1} << 30);
}

TEST_F(MaintImage, DevListsSkipPathsThatDoNotOpen) {
  const std::string missing = dir.File("missing");
  const std::string other = dir.File("other.img");
  support::MakeSparse(other, 1 << 20);
  for (const char *cmd : {"dev-rd", "dev-wt"}) {
    support::Result r = Maint({cmd, img, missing, other});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_EQ(r.err, "") << cmd;
    EXPECT_EQ(r.out, img + "\n" + other + "\n") << cmd;
    r = Maint({cmd});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(MaintImage, LoopDeviceStatusAndExclusiveListing) {
  const DevHdrBuf h = support::V20Header();
  support::WriteAt(img, 0, h.raw, sizeof h.raw);
  ATTACH_LOOP(loop, img);
  support::Result r = Maint({"status", loop.Path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, cli::kV20Status);

  r = Maint({"dev-wt", loop.Path()});
  EXPECT_EQ(r.out, loop.Path() + "\n");
  // While something holds the device exclusively, dev-wt leaves it out and
  // dev-rd still lists it.
  int held = open(loop.Path().c_str(), O_RDONLY | O_EXCL);
  ASSERT_GE(held, 0);
  EXPECT_EQ(Maint({"dev-wt", loop.Path(), img}).out, img + "\n");
  EXPECT_EQ(Maint({"dev-rd", loop.Path()}).out, loop.Path() + "\n");
  close(held);
}

}  // namespace
