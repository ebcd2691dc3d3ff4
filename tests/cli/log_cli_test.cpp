// The log commands as a user runs them: copy, scan, disp, post and clear on
// image files and loop devices, with the temp file in the test's own directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "../unit/log_builders.h"
#include "cli_util.h"
#include "xtl.h"

namespace {

using logimg::Ent;
using logimg::LogImage;

const std::string kBin = XTL_MAINT_BIN;
const std::string kDone = "\rDone." + std::string(45, ' ') + "\n";
const std::string kEmpty = "    Log appears to be empty.\n";

std::string Valid(int segs, int cnt, int cnt2, int blocks, int sectors) {
  char b[256];
  std::snprintf(b, sizeof b,
                "    Log appears to be valid.\n      num segments = %d  (%d/%d)\n"
                "      num blocks   = %d\n      num sectors  = %d\n",
                segs, cnt, cnt2, blocks, sectors);
  return b;
}

std::vector<uint8_t> Fill(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

class LogCli : public ::testing::Test {
 protected:
  cli::TempDir dir;
  std::string tmpdir = "--tmpdir=" + dir.path;
  std::string tmpfile = dir.File("xtl.log");
  std::string logimg = dir.File("log.img");
  std::string target = dir.File("target.img");

  cli::Result Maint(std::vector<std::string> args) {
    args.insert(args.begin(), kBin);
    return cli::Run(args);
  }
  cli::Result Log(const std::string &sub, const std::string &arg = "") {
    if (arg.empty()) return Maint({"log", sub, tmpdir});
    return Maint({"log", sub, arg, tmpdir});
  }
  // Copies an image in as the log, expecting the given summary.
  void CopyIn(const LogImage &img, const std::string &summary) {
    ASSERT_TRUE(img.WriteFile(logimg));
    cli::Result r = Log("copy", logimg);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, summary);
    ASSERT_EQ(r.err, "");
  }
  void MakeFilled(const std::string &path, size_t size, uint8_t v) {
    cli::MakeSparse(path, 0);
    std::vector<uint8_t> b = Fill(size, v);
    cli::WriteAt(path, 0, b.data(), b.size());
  }
  std::vector<uint8_t> Sector(const std::string &path, int64_t s) {
    return cli::ReadAt(path, static_cast<uint64_t>(s) * 512, 512);
  }
};

TEST_F(LogCli, CopyThenScanAndDisp) {
  LogImage img = logimg::Wrapped64();
  CopyIn(img, Valid(6, 4, 2, 12, 54));
  struct stat st {};
  ASSERT_EQ(stat(tmpfile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  EXPECT_EQ(cli::ReadAt(tmpfile, 0, 1 << 20), img.bytes);

  cli::Result r = Log("scan");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Valid(6, 4, 2, 12, 54));
  r = Log("disp");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Valid(6, 4, 2, 12, 54) + logimg::kWrapped64Listing);
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
  CopyIn(PostLogImage(), Valid(2, 2, 0, 8, 12));
  MakeFilled(target, 256 * 512, 0x5a);
  cli::Result r = Log("post", target);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, Valid(2, 2, 0, 8, 12) +
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
  EXPECT_EQ(cli::FileSize(target), 256u * 512);
}

TEST_F(LogCli, FailedReadAdvancesTheDataPointerAndFailsThePost) {
  // The oldest segment's control sector is sector 1 with 5 sectors of
  // entries, so its data would start at sector -4: the first entry's read
  // fails, and the second reads sector 0, its own data.
  LogImage img(32);
  img.Segment(1, 5, {{200, 4, 0}, {210, 1, 0}});
  img.Segment(3, 6, {{220, 1, 0}});
  ASSERT_EQ(img.GetTail(1).NumSectors.get(), 5u);
  CopyIn(img, Valid(2, 2, 0, 3, 6));
  MakeFilled(target, 256 * 512, 0x5a);
  cli::Result r = Log("post", target);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Valid(2, 2, 0, 3, 6) +
                       "       0          5         -4        200    4 0"
                       "\r\n  Error reading from tmp file " + tmpfile + "/-2048/2048 -1 22\n\r"
                       "       0          5          0        210    1 0\r"
                       "       1          6          2        220    1 0\r" +
                       kDone);
  EXPECT_EQ(r.err, "Error posting log: 1 entries were not written to " + target + "\n");
  EXPECT_EQ(Sector(target, 200), Fill(512, 0x5a));
  EXPECT_EQ(Sector(target, 210), logimg::Stamp(5, 1, 0));
  EXPECT_EQ(Sector(target, 220), logimg::Stamp(6, 0, 0));
}

TEST_F(LogCli, ShortLogCopiedAfterALongOneScansAndPostsAsTheShortOne) {
  LogImage long_log(2048);
  long_log.Segment(2000, 50, {{100, 8, 0}});
  long_log.Segment(2010, 51, {{300, 9, 2}});
  CopyIn(long_log, Valid(2, 2, 0, 2, 17));

  LogImage short_log(64);
  short_log.Segment(5, 3, {{100, 4, 0}});
  CopyIn(short_log, Valid(1, 1, 0, 1, 4));
  EXPECT_EQ(cli::FileSize(tmpfile), 64u * 512);

  MakeFilled(target, 512 * 512, 0x5a);
  cli::Result r = Log("post", target);
  EXPECT_EQ(r.status, 0) << r.err;
  for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(Sector(target, 100 + k), logimg::Stamp(3, 0, k));
  EXPECT_EQ(Sector(target, 104), Fill(512, 0x5a));  // nothing of the long log
  EXPECT_EQ(Sector(target, 300), Fill(512, 0x5a));
}

TEST_F(LogCli, PostOfAnEmptyLogOpensNothing) {
  CopyIn(LogImage(64), kEmpty);
  const std::string missing = dir.File("no-such-device");
  cli::Result r = Log("post", missing);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kEmpty);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  LogImage empties(64);
  empties.Segment(3, 1, {});
  CopyIn(empties, kEmpty);
  r = Log("post", missing);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kEmpty);
}

TEST_F(LogCli, ClearZeroesAnImageWithoutGrowingIt) {
  const size_t size = (9 << 20) + 3 * 512;  // not a multiple of 4 MiB
  MakeFilled(target, size, 0xab);
  cli::Result r = Log("clear", target);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(cli::FileSize(target), size);
  EXPECT_EQ(cli::ReadAt(target, 0, size), Fill(size, 0));
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
    cli::Result r = Maint(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out, "") << c.err;
    EXPECT_EQ(r.err, c.err);
  }

  // A log whose temp file is there but whose post target is not.
  CopyIn(PostLogImage(), Valid(2, 2, 0, 8, 12));
  cli::Result r = Log("post", missing);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Valid(2, 2, 0, 8, 12));
  EXPECT_EQ(r.err, "Error opening XTL raw device " + missing + " 2\n");

  // The temp file copied onto itself would be lost: refused, kept.
  r = Log("copy", tmpfile);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error copying log device.  Source " + tmpfile + " is the temp file " +
                       tmpfile + "\n");
  EXPECT_EQ(cli::FileSize(tmpfile), 64u * 512);
}

TEST_F(LogCli, LongTmpDirIsRefused) {
  const std::string word = "--tmpdir=/" + std::string(120, 'd');
  cli::Result r = Maint({"log", "scan", word});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind(word + "\n" + "usage: xtl-maint ...\n", 0), 0u);
}

// Loop devices: the real open modes (O_DIRECT, O_EXCL) and device sizes.
class LogLoop : public LogCli {};

TEST_F(LogLoop, CopyPostAndClearOnLoopDevices) {
  // The log device.
  LogImage img = PostLogImage();
  LogImage big(2048);
  std::copy(img.bytes.begin(), img.bytes.end(), big.bytes.begin());
  ASSERT_TRUE(big.WriteFile(logimg));
  ATTACH_LOOP(logdev, logimg);
  cli::Result r = Log("copy", logdev.dev);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Valid(2, 2, 0, 8, 12));
  EXPECT_EQ(cli::FileSize(tmpfile), 2048u * 512);

  // The XTL device: 1 MiB, so sector 4096 lies beyond its end.
  MakeFilled(target, 1 << 20, 0x5a);
  ATTACH_LOOP(xtldev, target);
  r = Log("post", xtldev.dev);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.size() - kDone.size()), kDone);
  EXPECT_EQ(Sector(xtldev.dev, 101), logimg::Stamp(2, 0, 0));
  EXPECT_EQ(Sector(xtldev.dev, 130), Fill(512, 0xff));

  // A held device is refused by post and clear, and nothing is written.
  {
    int held = open(xtldev.dev.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(held, 0);
    r = Log("post", xtldev.dev);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening XTL raw device " + xtldev.dev + " 16\n");
    r = Log("clear", xtldev.dev);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening XTL raw device " + xtldev.dev + " 16\n");
    close(held);
    EXPECT_EQ(Sector(xtldev.dev, 130), Fill(512, 0xff));
  }

  // An entry beyond the device's end fails to write: reported, the replay
  // goes on, and the post ends with status 1.
  LogImage past(64);
  past.Segment(3, 9, {{4096, 1, 1}, {60, 1, 2}});
  CopyIn(past, Valid(1, 1, 0, 2, 2));
  r = Log("post", xtldev.dev);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\r\n  Error writing to raw XTL device " + xtldev.dev +
                       "/2097152/512 -1 28\n\r"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - kDone.size()), kDone);
  EXPECT_EQ(r.err, "Error posting log: 1 entries were not written to " + xtldev.dev + "\n");
  EXPECT_EQ(Sector(xtldev.dev, 60), Fill(512, 0xff));

  // Clear of a device whose size is not a multiple of 4 MiB.
  const std::string third = dir.File("third.img");
  const size_t size = (5 << 20) + 7 * 512;
  MakeFilled(third, size, 0xab);
  ATTACH_LOOP(cleardev, third);
  r = Log("clear", cleardev.dev);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cli::ReadAt(cleardev.dev, 0, size), Fill(size, 0));
}

}  // namespace
