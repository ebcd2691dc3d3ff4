// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fatal.h"
#include "support.h"
#include "undo.h"

namespace {

using support::Capture;
using support::Caught;

struct Write {
  uint64_t off;
  size_t len;
  uint8_t fill;
};

// A 64 KiB image: zeros, with two non-zero stretches.
std::vector<uint8_t> Original() {
  std::vector<uint8_t> b(65536, 0);
  for (size_t i = 512; i < 5000; i++) b[i] = static_cast<uint8_t>(i * 7 + 1);
  for (size_t i = 40000; i < 41000; i++) b[i] = 0xa5;
  return b;
}

struct UndoFixture : ::testing::Test {
  support::ScratchDir dir;
  std::string img = dir.File("img"), undo = dir.File("undo");
  void SetUp() override {
    ResetSettings();
    const auto b = Original();
    support::MakeSparse(img, b.size());
    support::WriteAt(img, 0, b.data(), b.size());
    v_UndoFile = undo;
    v_DevName = img;
  }
  // The writes, each saved first; the last `unsaved_tail` bytes of the undo
  // file's last save are cut, as a kill while saving leaves them, and that
  // write is not made.
  void Command(const std::vector<Write> &ws, size_t done, size_t unsaved_tail = 0) {
    unlink(undo.c_str());
    UniqueFd fd(open(img.c_str(), O_RDWR));
    auto log = UndoLog::Create(undo, fd.fh, img);
    for (size_t i = 0; i < ws.size() && i <= done; i++) {
      const std::vector<uint8_t> data(ws[i].len, ws[i].fill);
      const uint64_t before = support::FileSize(undo);
      log->Save(ws[i].off, data.data(), data.size());
      if (i == done) {
        ASSERT_EQ(truncate(undo.c_str(), static_cast<off_t>(support::FileSize(undo) - unsaved_tail)),
                  0);
        ASSERT_GE(support::FileSize(undo), before);
        return;
      }
      ASSERT_EQ(PwriteFull(fd.fh, data.data(), data.size(), ws[i].off), static_cast<ssize_t>(ws[i].len));
    }
    log->Finish();
  }
  std::string Undo() {
    std::string err;
    const std::string out = Capture([&](FILE *f) {
      if (auto e = Caught<FatalError>([&] { DoUndo(f); })) err = e->text;
    });
    return err.empty() ? out : err;
  }
  bool Restored() { return support::ReadAt(img, 0, 65536) == Original(); }
};

// Write-ahead: however far a command got (every write made, or killed after
// any of them, or while saving the next), undo gives back every byte.
TEST_F(UndoFixture, EveryPrefixOfACommandUndoesToTheOriginal) {
  const std::vector<std::vector<Write>> commands = {
      {{0, 4096, 0x11}, {512, 512, 0x22}},                      // format --autovm
      {{8192, 4096, 1}, {6144, 4096, 2}, {7168, 512, 0}, {6144, 8192, 3}},  // overlapping post
      {{0, 32768, 0}, {32768, 32768, 0}},                        // clear
  };
  for (size_t c = 0; c < commands.size(); c++) {
    const auto &ws = commands[c];
    for (size_t done = 0; done <= ws.size(); done++) {
      for (size_t tail : {size_t{0}, size_t{1}, size_t{47}}) {
        if (tail > 0 && done == ws.size()) continue;
        SetUp();
        Command(ws, done, tail);
        const std::string out = Undo();
        EXPECT_TRUE(Restored()) << c << " after " << done << " writes, cut " << tail << ": " << out;
        EXPECT_NE(Undo().find("already holds the old contents"), std::string::npos) << c;
      }
    }
  }
}

// A clear stores its zero ranges without bytes: the file is about the
// non-zero content (four 4096-byte blocks here), not the device.
TEST_F(UndoFixture, ZeroRangesTakeNoBytes) {
  Command({{0, 65536, 0}}, 1);
  EXPECT_LT(support::FileSize(undo), 4u * 4096 + 1024);
  EXPECT_EQ(Undo(), "undo: restored 16384 bytes of " + img + " from " + undo + "\n");
}

struct Refusal {
  const char *what;
  void (*damage)(const std::string &img, const std::string &undo);
  const char *message;  // the start of it
  bool force_restores;
};

TEST_F(UndoFixture, RefusalsWriteNothingAndForceOnlyWhereItMayRestore) {
  const Refusal cases[] = {
      {"not an undo file", [](auto &, auto &u) { support::WriteAt(u, 0, "XTL-MAINT-UNDX", 14); },
       "Error: ", false},
      {"damaged old bytes", [](auto &, auto &u) { support::WriteAt(u, 200, "?", 1); },
       "Error: undo file ", false},
      {"another size", [](auto &i, auto &) { ASSERT_EQ(truncate(i.c_str(), 65536 + 512), 0); },
       "Error: ", false},
      {"written since", [](auto &i, auto &) { support::WriteAt(i, 8192, "!", 1); },
       "Error: 4096 saved bytes of ", true},
      {"another file", [](auto &i, auto &) {
         const auto b = support::ReadAt(i, 0, 65536);
         support::WriteAt(i + ".new", 0, b.data(), b.size());
         ASSERT_EQ(rename((i + ".new").c_str(), i.c_str()), 0);
       }, "Error: ", true},
  };
  for (const Refusal &c : cases) {
    SetUp();
    Command({{0, 4096, 9}, {8192, 4096, 8}}, 2);
    c.damage(img, undo);
    const auto before = support::ReadAt(img, 0, 70000);
    EXPECT_EQ(Undo().rfind(c.message, 0), 0u) << c.what;
    EXPECT_EQ(support::ReadAt(img, 0, 70000), before) << c.what;
    v_Force = 1;
    const bool restored = Undo().starts_with("undo: restored");
    EXPECT_EQ(restored, c.force_restores) << c.what;
    v_Force = 0;
  }
}

TEST_F(UndoFixture, AnExistingFileIsRefusedAndANewOneIsTheOwnersOnly) {
  Command({{0, 512, 1}}, 1);
  struct stat st {};
  ASSERT_EQ(stat(undo.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  UniqueFd fd(open(img.c_str(), O_RDWR));
  auto e = Caught<FatalError>([&] { UndoLog::Create(undo, fd.fh, img); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text, "Error: undo file " + undo + " already exists; nothing written\n");
}

}  // namespace
