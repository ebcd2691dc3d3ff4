// SPDX-License-Identifier: Apache-2.0
// Log copy and clear failures that need an unusual file: a full device, a
// file size limit, a directory as source.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <csignal>
#include <functional>

#include "log/log.h"
#include "log/logscan.h"
#include "log/logtmp.h"
#include "log_builders.h"
#include "test_util.h"

// Every fsync of this test program fails with EIO while set: the flushes a
// copy and a clear must see through before they call their work done.
static bool g_fsync_fails = false;
extern "C" int fsync(int fd) {
  if (!g_fsync_fails) return static_cast<int>(syscall(SYS_fsync, fd));
  errno = EIO;
  return -1;
}

namespace {

std::string FatalText(const std::function<void()> &f) {
  if (auto e = Caught<FatalError>(f)) return std::string(e->to_stderr ? "err:" : "out:") + e->text;
  return "no failure";
}

// Lowers the file size limit for one scope; writes past it fail with EFBIG.
struct FileSizeLimit {
  rlimit old{};
  void (*old_handler)(int) = nullptr;
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
  }
};

TEST(LogClear, FailuresBeforeTheEndAreReported) {
  AlignedBuf zeros = AllocXferBuf();
  // No space at all: the first write fails.
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EXPECT_EQ(FatalText([&] { ClearFd(full, 12 << 20, "/dev/full", zeros.p); }),
            "err:Error clearing log device /dev/full at byte 0 28\n");
  close(full);

  // A failure in the middle: the first 4 MiB piece lands, the second fails.
  ScratchDir dir;
  const std::string path = dir.File("log.img");
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  {
    FileSizeLimit limit(4 << 20);
    EXPECT_EQ(FatalText([&] { ClearFd(fd, 12 << 20, path, zeros.p); }),
              "err:Error clearing log device " + path + " at byte 4194304 27\n");
  }
  close(fd);

  // A handle that cannot write.
  fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(FatalText([&] { ClearFd(fd, 4096, path, zeros.p); }),
            "err:Error clearing log device " + path + " at byte 0 9\n");
  close(fd);
}

TEST(LogClear, OnlyDevicesAndImagesAreCleared) {
  ResetSettings();
  v_LogTarget = "/dev/null";
  EXPECT_EQ(FatalText(ClearLog),
            "err:Error: /dev/null is neither a block device nor a regular file\n");

  ScratchDir dir;
  const std::string path = dir.File("empty.img");
  MakeSparse(path, 0);
  v_LogTarget = path;
  EXPECT_EQ(FatalText(ClearLog), "no failure");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);  // an empty image stays empty
}

TEST(LogCopy, ReadAndWriteFailures) {
  ScratchDir dir;
  ResetSettings();
  v_TmpDir = dir.path;
  v_LogSource = dir.path;
  EXPECT_EQ(FatalText(CopyLog), "err:Error reading from source device " + dir.path + " 21\n");

  const std::string src = dir.File("log.img");
  MakeSparse(src, 8 << 20);
  v_LogSource = src;
  std::string text;
  {
    FileSizeLimit limit(3 << 20);
    text = FatalText(CopyLog);
  }
  EXPECT_EQ(text, "err:Error writing to temp file " + dir.File("xtl.log") + " 27\n");
  // Neither failure leaves a temp file, nor the partial copy under its own name.
  EXPECT_EQ(std::system(("test \"$(ls " + dir.path + ")\" = log.img").c_str()), 0);
  ResetSettings();
}

// A scratch temp directory and a one-piece log image as copy source and
// clear target.
class LogTmp : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    v_TmpDir = dir.path;
    v_LogSource = v_LogTarget = dir.File("log.img");
    MakeSparse(v_LogSource, 4096);
  }
  void TearDown() override { ResetSettings(); }
  ScratchDir dir;
};

TEST_F(LogTmp, CopyFlushesBeforeNamingAndClearFlushesItsLastPiece) {
  g_fsync_fails = true;
  const std::string copy = FatalText(CopyLog), clear = FatalText(ClearLog);
  g_fsync_fails = false;
  EXPECT_EQ(copy, "err:Error writing to temp file " + dir.File("xtl.log") + " 5\n");
  EXPECT_EQ(Shell("ls " + dir.path), "log.img");  // never named xtl.log
  EXPECT_EQ(clear, "err:Error flushing log device " + v_LogTarget + " 5\n");
}

TEST_F(LogTmp, CopysNewFileIsNeverAnExistingOneAndDeadCopiesGo) {
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string mine = "xtl.log." + std::to_string(getpid()) + ".0";  // a live process's
  const std::string gone = "xtl.log." + std::to_string(dead) + ".3";
  for (const std::string &name : {mine, gone, gone + ".x", std::string("xtl.log.1.0")})
    WriteAt(dir.File(name), 0, "planted", 7);
  EXPECT_EQ(FatalText(CopyLog), "no failure");
  EXPECT_EQ(Shell("ls " + dir.path + " | tr '\\n' ' '"),
            "log.img xtl.log xtl.log.1.0 " + mine + " " + gone + ".x");
  EXPECT_EQ(ReadAt(dir.File(mine), 0, 64), std::vector<uint8_t>({'p', 'l', 'a', 'n', 't', 'e', 'd'}));
}

TEST_F(LogTmp, DirectoriesOthersCanRenameInAreRefused) {
  const std::string open = "is writable by group or others without the sticky bit";
  const struct {
    std::string name;  // ending in ".lnk": reached through a symbolic link
    mode_t mode;
    uid_t uid;
    std::string why;  // empty: accepted
  } cases[] = {{"group", 0770, 0, open},
               {"others.lnk", 0757, 0, open},
               {"another", 0700, 65534, "belongs to another user"},
               {"sticky.lnk", 01777, 0, ""}};
  for (const auto &c : cases) {
    if (c.uid != geteuid() && geteuid() != 0) continue;  // only root gives a directory away
    v_TmpDir = dir.File(c.name);
    const std::string d = v_TmpDir.substr(0, v_TmpDir.rfind(".lnk"));
    ASSERT_EQ(mkdir(d.c_str(), 0700) | chmod(d.c_str(), c.mode) | chown(d.c_str(), c.uid, ~0u), 0);
    ASSERT_TRUE(d == v_TmpDir || symlink(d.c_str(), v_TmpDir.c_str()) == 0);
    const std::string refused = "err:Error: temp directory " + v_TmpDir + " " + c.why + "\n";
    EXPECT_EQ(FatalText(CopyLog), c.why.empty() ? "no failure" : refused) << c.name;
    if (c.why.empty()) continue;
    EXPECT_EQ(FatalText([] { ScanLog(); }) + Shell("ls -A " + d), refused);  // nothing written
  }
  v_TmpDir.clear();
  EXPECT_GE(OpenLogTmpDir().fd.fh, 0);  // /dev/shm: root's, sticky
}

TEST_F(LogTmp, PostReplaysTheFileTheScanRead) {
  logimg::LogImage first(64), second(64);
  first.Segment(10, 1, {{100, 2, 0}});
  second.Segment(10, 2, {{100, 2, 0}});  // the same list, other data
  ASSERT_TRUE(first.WriteFile(dir.File("xtl.log")) && second.WriteFile(dir.File("new")));
  MakeSparse(v_LogTarget = dir.File("target.img"), 256 * 512);
  CaptureStdout out;
  const LogList log = ScanLog();
  ASSERT_EQ(rename(dir.File("new").c_str(), dir.File("xtl.log").c_str()), 0);  // a copy commits
  EXPECT_EQ(FatalText([&] { PostLog(log); }), "no failure");
  out.Take();
  EXPECT_EQ(ReadAt(v_LogTarget, 100 * 512, 512), logimg::Stamp(1, 0, 0));
}

TEST(LogTmpPath, DefaultsToDevShm) {
  v_TmpDir.clear();
  EXPECT_EQ(LogTmpPath(), "/dev/shm/xtl.log");
  EXPECT_EQ(v_TmpDir, "/dev/shm");
  v_TmpDir = "/var/tmp/x";
  EXPECT_EQ(LogTmpPath(), "/var/tmp/x/xtl.log");
  v_TmpDir = "/" + std::string(kTmpDirMax, 'd');
  EXPECT_EQ(FatalText([] { LogTmpPath(); }).rfind("err:Error: temp directory name longer than 120", 0), 0u);
  v_TmpDir.clear();
}

}  // namespace

namespace {

TEST(LogPost, EveryFailedEntryIsCountedAndTheReplayGoesOn) {
  // Written to /dev/full, every write fails; the type-7 entry writes nothing
  // and is no failure; the entry whose data lies past the temp file's end
  // fails its read.
  logimg::LogImage img(32);
  img.Segment(6, 1, {{100, 2, 0}, {110, 1, 1}, {120, 1, 2}, {130, 1, 7}});
  ScratchDir dir;
  const std::string tmp = dir.File("xtl.log");
  ASSERT_TRUE(img.WriteFile(tmp));
  MemLogSectors src(img.bytes.data(), img.bytes.size());
  LogList log = ScanLogSectors(src);
  // A second segment whose data pointer lies past the end of the file.
  LOG_TAIL far = logimg::MakeTail(2, {{140, 1, 0}});
  log.LtLst.push_back(far);
  log.LtSec.push_back(1000);
  log.log_segments++;

  int tfd = open(tmp.c_str(), O_RDONLY);
  int dfd = open("/dev/full", O_WRONLY);
  ASSERT_GE(tfd, 0);
  ASSERT_GE(dfd, 0);
  AlignedBuf xb = AllocXferBuf();
  int64_t failed = 0;
  const std::string out =
      Capture([&](FILE *f) { failed = PostEntries(f, log, {tfd, tmp}, {dfd, "/dev/full"}, xb.p); });
  close(tfd);
  close(dfd);
  EXPECT_EQ(failed, 4);
  EXPECT_EQ(out,
            "       0          1          1        100    2 0"
            "\r\n  Error writing to raw XTL device /dev/full/51200/1024 -1 28\n\r"
            "       0          1          3        110    1 1"
            "\r\n  Error writing to raw XTL device /dev/full/56320/512 -1 28\n\r"
            "       0          1          3        120    1 2"
            "\r\n  Error writing to raw XTL device /dev/full/61440/512 -1 28\n\r"
            "       0          1          3        130    1 7"
            "\r\n  Skipping entry of type 7 for sector 130: no data defined\n\r"
            "       1          2       1000        140    1 0"
            "\r\n  Error reading from tmp file " + tmp + "/512000/512 0 0\n\r");
}

}  // namespace
