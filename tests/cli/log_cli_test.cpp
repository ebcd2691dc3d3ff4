// SPDX-License-Identifier: Apache-2.0
// The log commands as a user runs them: copy, scan, disp, post and clear on
// image files and loop devices, with the temp file in the test's own directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>

#include "../unit/log_builders.h"
#include "maint_run.h"
#include "support.h"
#include "xtl.h"

namespace {

using logimg::Ent;
using logimg::LogImage;
using support::kLogEmpty;
using support::LogValid;

using cli::kBin;
using cli::Maint;
const std::string kDone = "\rDone." + std::string(45, ' ') + "\n";

std::vector<uint8_t> Fill(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

class LogCli : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  std::string tmpdir = "--tmpdir=" + dir.path;
  std::string tmpfile = dir.File("xtl.log");
  std::string logimg = dir.File("log.img");
  std::string target = dir.File("target.img");

  support::Result Log(const std::string &sub, const std::string &arg = "") {
    if (arg.empty()) return Maint({"log", sub, tmpdir});
    return Maint({"log", sub, arg, tmpdir});
  }
  // Copies an image in as the log, expecting the given summary.
  void CopyIn(const LogImage &img, const std::string &summary) {
    ASSERT_TRUE(img.WriteFile(logimg));
    support::Result r = Log("copy", logimg);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, summary);
    ASSERT_EQ(r.err, "");
  }
  void MakeFilled(const std::string &path, size_t size, uint8_t v) {
    support::MakeSparse(path, 0);
    std::vector<uint8_t> b = Fill(size, v);
    support::WriteAt(path, 0, b.data(), b.size());
  }
  std::vector<uint8_t> Sector(const std::string &path, int64_t s) {
    return support::ReadAt(path, static_cast<uint64_t>(s) * 512, 512);
  }
  // Runs xtl-maint under timeout(1): a run that hangs is ended by sig after
  // secs and shows as status 128 + sig instead of holding the suite.
  support::Result Timed(std::vector<std::string> args, const std::string &sig = "KILL",
                    const std::string &secs = "20") {
    args.insert(args.begin(), {"/usr/bin/timeout", "--preserve-status", "-s", sig, secs, kBin});
    return support::Run(args);
  }
  std::string Ls() { return support::Shell("ls -A '" + dir.path + "' | tr '\\n' ' '"); }
  // The refusals of a bad temp file by scan, disp and post (nothing posted).
  void ExpectTempRefused(const std::string &err) {
    for (const std::string sub : {"scan", "disp", "post"}) {
      support::Result r =
          sub == "post" ? Timed({"log", sub, target, tmpdir}) : Timed({"log", sub, tmpdir});
      EXPECT_EQ(r.status, 1) << sub;
      EXPECT_EQ(r.out, "") << sub;
      EXPECT_EQ(r.err, err) << sub;
    }
    EXPECT_EQ(Sector(target, 100), Fill(512, 0x5a));
  }
};

TEST_F(LogCli, CopyThenScanAndDisp) {
  LogImage img = logimg::Wrapped64();
  CopyIn(img, LogValid(6, 4, 2, 12, 54));
  struct stat st {};
  ASSERT_EQ(stat(tmpfile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  EXPECT_EQ(support::ReadAt(tmpfile, 0, 1 << 20), img.bytes);

  support::Result r = Log("scan");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, LogValid(6, 4, 2, 12, 54));
  r = Log("disp");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, LogValid(6, 4, 2, 12, 54) + support::ExpectedText("log-disp-wrapped64.txt"));
  EXPECT_EQ(r.err, "");
}

// Oldest first with a mix of entry types; target sectors start as 0x5A bytes.
LogImage PostLogImage() {
  LogImage img(64);
  img.Segment(10, 1,
              {{100, 2, 0}, {110, 3, 1}, {120, 1, 0}, {130, 2, 2}, {140, 0, 0}, {150, 1, 7}});
  img.Segment(14, 2, {{101, 2, 0}, {131, 1, 1}});
  return img;
}

TEST_F(LogCli, PostReplaysOldestFirstOntoAnImage) {
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  MakeFilled(target, 256 * 512, 0x5a);
  support::Result r = Log("post", target);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, LogValid(2, 2, 0, 8, 12) +
                       "       0          1          1        100    2 0\r"
                       "       0          1          3        110    3 1\r"
                       "       0          1          3        120    1 0\r"
                       "       0          1          4        130    2 2\r"
                       "       0          1          4        140    0 0\r"
                       "       0          1          4        150    1 7"
                       "\r\n  Skipping entry of type 7 for sector 150: no data defined\n\r"
                       "       1          2         11        101    2 0\r"
                       "       1          2         13        131    1 1\r" +
                       kDone);
  const auto zero = Fill(512, 0), ff = Fill(512, 0xff), untouched = Fill(512, 0x5a);
  struct {
    int64_t sector;
    std::vector<uint8_t> want;
  } expect[] = {
      {99, untouched},
      {100, logimg::Stamp(1, 0, 0)},
      {101, logimg::Stamp(2, 0, 0)},  // the newer segment wins
      {102, logimg::Stamp(2, 0, 1)},
      {103, untouched},
      {110, zero},
      {112, zero},
      {113, untouched},
      {120, logimg::Stamp(1, 2, 0)},  // type 0 after a type 1: the next data
      {130, ff},
      {131, zero},
      {132, untouched},
      {140, untouched},  // no sectors
      {150, untouched},  // type 7: nothing written
  };
  for (const auto &e : expect) EXPECT_EQ(Sector(target, e.sector), e.want) << "sector " << e.sector;
  EXPECT_EQ(support::FileSize(target), 256u * 512);
}

TEST_F(LogCli, ShortLogCopiedAfterALongOneScansAndPostsAsTheShortOne) {
  LogImage long_log(2048);
  long_log.Segment(2000, 50, {{100, 8, 0}});
  long_log.Segment(2010, 51, {{300, 9, 2}});
  CopyIn(long_log, LogValid(2, 2, 0, 2, 17));

  LogImage short_log(64);
  short_log.Segment(5, 3, {{100, 4, 0}});
  CopyIn(short_log, LogValid(1, 1, 0, 1, 4));
  EXPECT_EQ(support::FileSize(tmpfile), 64u * 512);

  MakeFilled(target, 512 * 512, 0x5a);
  support::Result r = Log("post", target);
  EXPECT_EQ(r.status, 0) << r.err;
  for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(Sector(target, 100 + k), logimg::Stamp(3, 0, k));
  EXPECT_EQ(Sector(target, 104), Fill(512, 0x5a));  // nothing of the long log
  EXPECT_EQ(Sector(target, 300), Fill(512, 0x5a));
}

TEST_F(LogCli, PostOfAnEmptyLogOpensNothing) {
  CopyIn(LogImage(64), kLogEmpty);
  const std::string missing = dir.File("no-such-device");
  support::Result r = Log("post", missing);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kLogEmpty);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  LogImage empties(64);
  empties.Segment(3, 1, {});
  CopyIn(empties, kLogEmpty);
  r = Log("post", missing);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kLogEmpty);
}

TEST_F(LogCli, ClearZeroesAnImageWithoutGrowingIt) {
  const size_t size = (9 << 20) + 3 * 512;  // not a multiple of 4 MiB
  MakeFilled(target, size, 0xab);
  support::Result r = Log("clear", target);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(support::FileSize(target), size);
  EXPECT_EQ(support::ReadAt(target, 0, size), Fill(size, 0));
}

TEST_F(LogCli, FailuresPrintTheirMessageAndStatus1) {
  const std::string missing = dir.File("missing");
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"log", "scan", tmpdir},
       "Error opening log temp file.  Cannot open temp file " + tmpfile + " 2\n"},
      {{"log", "disp", tmpdir},
       "Error opening log temp file.  Cannot open temp file " + tmpfile + " 2\n"},
      {{"log", "copy", missing, tmpdir},
       "Error copying log device.  Cannot open source device " + missing + " 2\n"},
      {{"log", "copy", dir.path, "--tmpdir=" + missing},
       "Error copying log device.  Cannot open target file " + missing + "/xtl.log 2\n"},
      {{"log", "clear", missing, tmpdir}, "Error opening XTL raw device " + missing + " 2\n"},
  };
  for (const auto &c : cases) {
    support::Result r = Maint(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out, "") << c.err;
    EXPECT_EQ(r.err, c.err);
  }

  // A log whose temp file is there but whose post target is not.
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  support::Result r = Log("post", missing);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, LogValid(2, 2, 0, 8, 12));
  EXPECT_EQ(r.err, "Error opening XTL raw device " + missing + " 2\n");

  // The temp file copied onto itself would be lost: refused, kept.
  r = Log("copy", tmpfile);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error copying log device.  Source " + tmpfile + " is the temp file " +
                       tmpfile + "\n");
  EXPECT_EQ(support::FileSize(tmpfile), 64u * 512);
}

TEST_F(LogCli, FailedOrKilledCopyLeavesNoTempFile) {
  // A log whose first MiB alone scans valid: a partial copy must not survive.
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  LogImage img(16384);
  std::copy_n(PostLogImage().bytes.begin(), 64 * 512, img.bytes.begin());
  ASSERT_TRUE(img.WriteFile(logimg));
  const std::string missing =
      "Error opening log temp file.  Cannot open temp file " + tmpfile + " 2\n";

  // The temp file system fills up after 1 MiB (a file size limit).
  support::Result r = support::Run({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 2048; exec \"$@\"", "sh",
                            kBin, "log", "copy", logimg, tmpdir});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error writing to temp file " + tmpfile + " 27\n");
  EXPECT_EQ(Ls(), "log.img");
  EXPECT_EQ(Log("scan").err, missing);

  // Killed while the source stalls after 32 KiB; the earlier copy is gone too.
  const std::string fifo = dir.File("src.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int w = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(w, 0);
  for (const char *sig : {"TERM", "INT", "HUP", "KILL"}) {
    CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
    ASSERT_EQ(write(w, img.bytes.data(), 32768), 32768);
    r = Timed({"log", "copy", fifo, tmpdir}, sig, "0.5");
    EXPECT_GT(r.status, 128) << sig;
    if (std::string(sig) == "KILL") {
      // Only the partial copy under its own name can stay.
      EXPECT_EQ(Ls().rfind("log.img src.fifo xtl.log.", 0), 0u) << Ls();
      EXPECT_EQ(support::Shell("ls " + dir.path + " | grep -c '^xtl.log$'"), "0");
    } else {
      EXPECT_EQ(Ls(), "log.img src.fifo") << sig;
    }
    EXPECT_EQ(Log("scan").err, missing) << sig;
  }
  close(w);
}

TEST_F(LogCli, TempFileOfAnotherOrWritableByOthersIsRefused) {
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  MakeFilled(target, 256 * 512, 0x5a);
  const std::string why = "Error: log temp file " + tmpfile + " ";

  ASSERT_EQ(chmod(tmpfile.c_str(), 0620), 0);
  ExpectTempRefused(why + "is writable by group or others\n");
  ASSERT_EQ(chmod(tmpfile.c_str(), 0400), 0);
  const std::string other = dir.File("other");
  ASSERT_EQ(link(tmpfile.c_str(), other.c_str()), 0);
  ExpectTempRefused(why + "has more than one link\n");
  ASSERT_EQ(unlink(other.c_str()), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(tmpfile.c_str(), 65534, 65534), 0);
    ExpectTempRefused(why + "is not owned by the running user\n");
    ASSERT_EQ(chown(tmpfile.c_str(), 65534, getegid()), 0);  // our group, another's file
    ExpectTempRefused(why + "is not owned by the running user\n");
  }
  ASSERT_EQ(unlink(tmpfile.c_str()), 0);
  ASSERT_EQ(symlink(logimg.c_str(), tmpfile.c_str()), 0);
  ExpectTempRefused("Error opening log temp file.  Cannot open temp file " + tmpfile + " 40\n");

  // A copy replaces a link or another's file at the temp path, never writes
  // through it: the file behind keeps its bytes, the temp file is our own.
  MakeFilled(other, 512, 0x11);
  ASSERT_EQ(chmod(other.c_str(), 0666), 0);
  for (bool hard : {false, true}) {
    unlink(tmpfile.c_str());
    ASSERT_EQ(hard ? link(other.c_str(), tmpfile.c_str()) : symlink(other.c_str(), tmpfile.c_str()),
              0);
    CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
    EXPECT_EQ(support::ReadAt(other, 0, 4096), Fill(512, 0x11));
    struct stat st {};
    ASSERT_EQ(lstat(tmpfile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, geteuid());
  }
  EXPECT_EQ(Log("post", target).status, 0);
  EXPECT_EQ(Sector(target, 101), logimg::Stamp(2, 0, 0));
}

TEST_F(LogCli, FifosAreRefusedNotWaitedFor) {
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  MakeFilled(target, 8192, 0);
  const std::string neither = " is neither a block device nor a regular file\n";
  for (const char *cmd : {"dev-rd", "dev-wt"}) {
    support::Result r = Timed({cmd, fifo, target});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_EQ(r.out, target + "\n") << cmd;
  }
  support::Result r = Timed({"log", "clear", fifo, tmpdir});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: " + fifo + neither);
  // The commands that open the XTL device itself (check opens it read-only).
  for (const char *cmd : {"check", "status", "dump"}) {
    r = Timed({cmd, fifo});
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_EQ(r.err, "Error: " + fifo + neither) << cmd;
  }

  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  r = Timed({"log", "post", fifo, tmpdir});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, LogValid(2, 2, 0, 8, 12));
  EXPECT_EQ(r.err, "Error: " + fifo + neither);

  // A FIFO at the temp path: refused by the readers, replaced by a copy.
  ASSERT_EQ(unlink(tmpfile.c_str()), 0);
  ASSERT_EQ(mkfifo(tmpfile.c_str(), 0600), 0);
  MakeFilled(target, 256 * 512, 0x5a);
  ExpectTempRefused("Error: " + tmpfile + neither);
  ASSERT_TRUE(PostLogImage().WriteFile(logimg));
  r = Timed({"log", "copy", logimg, tmpdir});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, LogValid(2, 2, 0, 8, 12));
  EXPECT_EQ(support::FileSize(tmpfile), 64u * 512);
}

// A failed entry is reported where it stands, the post goes on with the next
// one, and the failures are counted at the end with status 1.
TEST_F(LogCli, FailedEntriesAreCountedAndFailThePost) {
  // The oldest segment's control sector is sector 1 with 5 sectors of
  // entries, so its data would start at sector -4: the first entry's read
  // fails, and the second reads sector 0, its own data.
  LogImage before_start(32);
  before_start.Segment(1, 5, {{200, 4, 0}, {210, 1, 0}});
  before_start.Segment(3, 6, {{220, 1, 0}});
  ASSERT_EQ(before_start.GetTail(1).NumSectors.get(), 5u);
  // 50 sectors: the first entry ends 2 sectors past the end, the second lies
  // wholly past it; each fails as at a device's end, the third lands. The
  // image never grows.
  LogImage past_end(64);
  past_end.Segment(10, 4, {{48, 4, 1}, {60, 2, 2}, {10, 1, 2}});
  const std::string wt_err = "\r\n  Error writing to raw XTL device " + target;
  struct Case {
    const LogImage &img;
    std::string summary;
    size_t sectors;  // the target's size
    std::string lines, failed;
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> after;
  } cases[] = {
      {before_start, LogValid(2, 2, 0, 3, 6), 256,
       "       0          5         -4        200    4 0"
       "\r\n  Error reading from tmp file " + tmpfile + "/-2048/2048 -1 22\n\r"
       "       0          5          0        210    1 0\r"
       "       1          6          2        220    1 0\r", "1",
       {{200, Fill(512, 0x5a)}, {210, logimg::Stamp(5, 1, 0)}, {220, logimg::Stamp(6, 0, 0)}}},
      {past_end, LogValid(1, 1, 0, 3, 7), 50,
       "       0          4          3         48    4 1" + wt_err + "/24576/2048 1024 28\n\r"
       "       0          4          3         60    2 2" + wt_err + "/30720/1024 -1 28\n\r"
       "       0          4          3         10    1 2\r", "2",
       {{49, Fill(512, 0)}, {10, Fill(512, 0xff)}}},
  };
  for (const Case &c : cases) {
    CopyIn(c.img, c.summary);
    MakeFilled(target, c.sectors * 512, 0x5a);
    support::Result r = Log("post", target);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.summary + c.lines + kDone);
    EXPECT_EQ(r.err, "Error posting log: " + c.failed + " entries were not written to " + target + "\n");
    EXPECT_EQ(support::FileSize(target), c.sectors * 512);
    for (const auto &[sector, want] : c.after) EXPECT_EQ(Sector(target, sector), want) << "sector " << sector;
  }
}

TEST_F(LogCli, LongTmpDirIsRefused) {
  const std::string word = "--tmpdir=/" + std::string(120, 'd');
  support::Result r = Maint({"log", "scan", word});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind(word + "\n" + "usage: xtl-maint ...\n", 0), 0u);
}

// Removes the progress lines of `what` from what a terminal received. Each
// drawing ("\r" + what + ": " ...) must be followed by another drawing or by
// its erasure ("\r", blanks over at least its width, "\r"); ok turns false
// otherwise (text landing in a shown line, a line left at the end). draws
// counts the drawings.
std::string StripProgress(const std::string &s, const std::string &what, bool &ok, int &draws) {
  const std::string draw = "\r" + what + ": ";
  std::string rest;
  ok = true;
  draws = 0;
  for (size_t pos = 0;;) {
    const size_t at = s.find(draw, pos);
    if (at == std::string::npos) return rest + s.substr(pos);
    rest += s.substr(pos, at - pos);
    draws++;
    const size_t end = s.find('\r', at + 1);
    if (end == std::string::npos) {
      ok = false;
      return rest + s.substr(at);
    }
    if (s.compare(end, draw.size(), draw) == 0) {
      pos = end;
      continue;
    }
    const size_t after = s.find_first_not_of(' ', end + 1);
    if (after == std::string::npos || s[after] != '\r' || after - end - 1 < end - at - 1) {
      ok = false;
      return rest + s.substr(at);
    }
    pos = after + 1;
  }
}

TEST_F(LogCli, ProgressLineOnlyOnATerminalAndErasedBeforeAnyText) {
  struct Case {
    std::string what;            // the command, as the line names it
    std::vector<std::string> args;
    std::string first;           // the drawing at the start
    std::function<void()> prepare;
  };
  ASSERT_TRUE(PostLogImage().WriteFile(logimg));
  const std::string bad = dir.File("bad.img");  // entries past its end fail
  const std::vector<Case> cases = {
      {"log copy", {"log", "copy", logimg, tmpdir}, "log copy: 0 B of 32.0 KiB (0%), 0 B/s", [] {}},
      {"log post", {"log", "post", target, tmpdir}, "log post: 0 of 8 entries (0%), 0 entries/s",
       [&] { MakeFilled(target, 256 * 512, 0x5a); }},
      {"log post", {"log", "post", bad, tmpdir}, "log post: 0 of 8 entries (0%), 0 entries/s",
       [&] { MakeFilled(bad, 101 * 512, 0x5a); }},
      {"log clear", {"log", "clear", target, tmpdir}, "log clear: 0 B of 9.0 MiB (0%), 0 B/s",
       [&] { MakeFilled(target, 9 << 20, 0xab); }},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), kBin);
    c.prepare();
    const support::Result piped = support::Run(args);
    ASSERT_EQ(piped.err.find(c.what + ": "), std::string::npos) << piped.err;
    const std::string wrote = support::Shell("md5sum < '" + args[3] + "'");

    // Standard error on a terminal: the same standard output byte for byte,
    // the same messages once the progress lines are taken out, the same device.
    c.prepare();
    const support::Result tty = support::Run(args, support::Streams::TtyErr);
    EXPECT_EQ(tty.status, piped.status) << c.what;
    EXPECT_EQ(tty.out, piped.out) << c.what;
    EXPECT_EQ(tty.err.rfind("\r" + c.first + " ", 0), 0u) << tty.err;
    bool ok = false;
    int draws = 0;
    EXPECT_EQ(StripProgress(tty.err, c.what, ok, draws), piped.err) << c.what;
    EXPECT_TRUE(ok) << tty.err;
    EXPECT_GE(draws, 1) << c.what;
    EXPECT_EQ(support::Shell("md5sum < '" + args[3] + "'"), wrote) << c.what;

    // Both streams on one terminal: the line is erased before every entry
    // line and message, which then read exactly as before.
    c.prepare();
    const support::Result both = support::Run(args, support::Streams::TtyBoth);
    EXPECT_EQ(both.status, piped.status) << c.what;
    EXPECT_EQ(StripProgress(both.out, c.what, ok, draws), piped.out + piped.err) << c.what;
    EXPECT_TRUE(ok) << both.out;
  }
}

// Loop devices: the real open modes (O_DIRECT, O_EXCL) and device sizes.
class LogLoop : public LogCli {};

TEST_F(LogLoop, CopyAndPostOnLoopDevices) {
  // The log device.
  LogImage img = PostLogImage();
  LogImage big(2048);
  std::copy(img.bytes.begin(), img.bytes.end(), big.bytes.begin());
  ASSERT_TRUE(big.WriteFile(logimg));
  ATTACH_LOOP(logdev, logimg);
  support::Result r = Log("copy", logdev.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, LogValid(2, 2, 0, 8, 12));
  EXPECT_EQ(support::FileSize(tmpfile), 2048u * 512);

  // The XTL device.
  MakeFilled(target, 1 << 20, 0x5a);
  ATTACH_LOOP(xtldev, target);
  r = Log("post", xtldev.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.size() - kDone.size()), kDone);
  EXPECT_EQ(Sector(xtldev.Path(), 101), logimg::Stamp(2, 0, 0));
  EXPECT_EQ(Sector(xtldev.Path(), 130), Fill(512, 0xff));
}

// The XTL device: 1 MiB, so sector 4096 lies beyond its end.
TEST_F(LogLoop, HeldDevicesAndEntriesPastTheEnd) {
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  MakeFilled(target, 1 << 20, 0x5a);
  ATTACH_LOOP(xtldev, target);
  support::Result r;
  // A held device is refused by post and clear, and nothing is written.
  {
    int held = open(xtldev.Path().c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(held, 0);
    r = Log("post", xtldev.Path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening XTL raw device " + xtldev.Path() + " 16\n");
    r = Log("clear", xtldev.Path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening XTL raw device " + xtldev.Path() + " 16\n");
    close(held);
    EXPECT_EQ(Sector(xtldev.Path(), 130), Fill(512, 0x5a));  // the post would write 0xff
  }

  // An entry beyond the device's end fails to write: reported, the replay
  // goes on, and the post ends with status 1.
  LogImage past(64);
  past.Segment(3, 9, {{4096, 1, 1}, {60, 1, 2}});
  CopyIn(past, LogValid(1, 1, 0, 2, 2));
  r = Log("post", xtldev.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\r\n  Error writing to raw XTL device " + xtldev.Path() +
                       "/2097152/512 -1 28\n\r"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - kDone.size()), kDone);
  EXPECT_EQ(r.err, "Error posting log: 1 entries were not written to " + xtldev.Path() + "\n");
  EXPECT_EQ(Sector(xtldev.Path(), 60), Fill(512, 0xff));
}

// Clear of a device whose size is not a multiple of 4 MiB.
TEST_F(LogLoop, ClearOfADeviceOfAnOddSize) {
  const std::string third = dir.File("third.img");
  const size_t size = (5 << 20) + 7 * 512;
  MakeFilled(third, size, 0xab);
  ATTACH_LOOP(cleardev, third);
  const support::Result r = Log("clear", cleardev.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(support::ReadAt(cleardev.Path(), 0, size), Fill(size, 0));
}

// --undo= on loop devices (exclusive and direct opens, identity by device
// number): each command, then undo, gives back every byte; undo again
// writes nothing; an existing undo file is refused before anything is written.
TEST_F(LogLoop, UndoTakesBackPostClearAndFormat) {
  MakeFilled(target, 1 << 20, 0x5a);
  ATTACH_LOOP(xtldev, target);
  ASSERT_EQ(Maint({"format", xtldev.Path(), "-q", "--wtblksz=4"}).status, 0);
  // --ver=11 stops before its write: status 1, and no undo file is left.
  EXPECT_EQ(Maint({"format", xtldev.Path(), "--ver=11", "--undo=" + dir.File("v11")}).status, 1);
  EXPECT_EQ(support::FileSize(dir.File("v11")), 0u);
  EXPECT_NE(access(dir.File("v11").c_str(), F_OK), 0);
  CopyIn(PostLogImage(), LogValid(2, 2, 0, 8, 12));
  const std::vector<std::vector<std::string>> lines = {
      {"log", "post", xtldev.Path(), tmpdir, "--force"},
      {"format", xtldev.Path(), "-q", "--wtblksz=4", "--autovm", "--dedupe=200", "--comp=200",
       "--force"},
      {"log", "clear", xtldev.Path(), "--force"},
  };
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string undo = dir.File("u") + std::to_string(i);  // not "u" + ...: GCC 12 -Wrestrict
    const auto before = support::ReadAt(xtldev.Path(), 0, 1 << 20);
    std::vector<std::string> line = lines[i];
    line.push_back("--undo=" + undo);
    ASSERT_EQ(Maint(line).status, 0) << i;
    support::Result r = Maint(line);
    EXPECT_EQ(r.status, 1) << i;
    EXPECT_EQ(r.err, "Error: undo file " + undo + " already exists; nothing written\n") << i;
    r = Maint({"undo", undo, xtldev.Path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("undo: restored ")) << r.out;
    EXPECT_EQ(support::ReadAt(xtldev.Path(), 0, 1 << 20), before) << i;
    r = Maint({"undo", undo, xtldev.Path()});
    EXPECT_TRUE(r.status == 0 && r.out.find("; nothing written\n") != std::string::npos) << r.out;
  }
}

}  // namespace
