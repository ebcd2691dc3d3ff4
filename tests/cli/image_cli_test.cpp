// SPDX-License-Identifier: Apache-2.0
// xtl-maint image: status, dump and check read the image as they read the
// device, within the metadata read + 1% of disk; its log copy scans as log
// copy's; refusals and failures leave no file. Every --json document parses.
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "../unit/log_builders.h"
#include "maint_run.h"
#include "support.h"
#include "wtblk_image.h"

namespace {

using cli::Maint;

// A wrapped log device of 64 sectors at path, in a new directory of mode 0700.
void MakeLog(const std::string &tmpdir, const std::string &path) {
  ASSERT_EQ(support::Shell("mkdir -m 700 " + tmpdir + " && echo ok"), "ok");
  ASSERT_TRUE(logimg::Wrapped64().WriteFile(path));
}

std::string Replace(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
  return s;
}

class Image : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  wtblk::Image dev{dir.File("dev.img"), uint64_t{64} << 20};
  std::string img = dir.File("copy.img");

  // Write blocks 0 sound, 1 with a wrong checksum, 2 torn, 3 with a segment
  // past its end (whose copy dump still shows); the rest never written.
  void Fill() {
    dev.WriteHeader();
    const wtblk::Seg full{.data_sz = 100, .nr_data = 100, .pad = 154};
    for (uint64_t t = 0; t < 3; t++) dev.WriteSegments(t, {full});
    const std::vector<uint8_t> zero(4096);
    support::WriteAt(dev.path, dev.BlockOffset(256 + 0) + 200, "x", 1);
    support::WriteAt(dev.path, dev.BlockOffset(2 * 256 + 255), zero.data(), zero.size());
    dev.WriteSegments(3, {{.data_sz = 100, .nr_data = 100, .pad = 200}});
  }
};

TEST_F(Image, StatusDumpAndCheckReadTheImageAsTheDevice) {
  Fill();
  support::Result r = Maint({"image", dev.path, img});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(support::FileSize(img), support::FileSize(dev.path));
  const std::vector<std::vector<std::string>> runs = {
      {"check"}, {"check", "--json"}, {"status"},       {"status", "--json"}, {"dump", "0"},
      {"dump", "1"}, {"dump", "2"},  {"dump", "3"},    {"dump", "3", "--json"}, {"dump", "9"}};
  for (std::vector<std::string> args : runs) {
    args.insert(args.begin() + 1, dev.path);
    const support::Result want = Maint(args);
    args[1] = img;
    const support::Result got = Maint(args);
    EXPECT_EQ(got.out, Replace(want.out, dev.path, img)) << args[0] << " " << args.back();
    EXPECT_EQ(got.status, want.status) << args[0];
  }
  EXPECT_NE(Maint({"check", img}).out.find("3 damaged"), std::string::npos);
  // Allocated: at most the metadata read + 1% (zero blocks stay holes).
  const std::string words = "write blocks, ";
  const uint64_t bytes = std::stoull(r.out.substr(r.out.find(words) + words.size()));
  // The header block, both headers of write blocks 0 to 3 (3's copy past
  // its end too) and the first block of each of the 59 never written.
  EXPECT_EQ(bytes, (1 + 4 * 2 + 59) * 4096u) << r.out;
  struct stat st {};
  ASSERT_EQ(stat(img.c_str(), &st), 0);
  EXPECT_LE(uint64_t(st.st_blocks) * 512, bytes + bytes / 100);
  // Read one block at a time, the image is the same.
  ASSERT_EQ(Maint({"image", dev.path, img + "1", "--qd=1"}).status, 0);
  EXPECT_TRUE(support::ReadAt(img + "1", 0, support::FileSize(img)) ==
              support::ReadAt(img, 0, support::FileSize(img)));
}

TEST_F(Image, LogCopyScansAsLogCopysAndFailuresLeaveNoFile) {
  Fill();
  const std::string log = dir.File("log.dev"), tmp = dir.File("t");
  MakeLog(tmp, log);
  MakeLog(dir.File("case"), log);
  const std::string copied = Maint({"log", "copy", log, "--tmpdir=" + tmp}).out;
  support::Result r = Maint({"image", dev.path, dir.File("case/xtl"), "--log=" + log});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Maint({"log", "scan", "--tmpdir=" + dir.File("case")}).out, copied);
  EXPECT_EQ(support::ReadAll(dir.File("case/xtl.log")), support::ReadAll(tmp + "/xtl.log"));
  // An existing file, a device without a header, a log that fails to read:
  // one message, status 1, and nothing left but what was there.
  const std::string unformatted = dir.File("blank.img");
  support::MakeSparse(unformatted, 1 << 20);
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"image", dev.path, dir.File("case/xtl")}, "image: " + dir.File("case/xtl") + " already exists; nothing written\n"},
      {{"image", unformatted, img}, "image: " + unformatted + " holds no XTL header; nothing written\n"},
      {{"image", dev.path, img, "--log=" + tmp}, "Error reading from source device " + tmp + " 21\n"},
  };
  for (const auto &c : cases) {
    r = Maint(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(support::Shell("ls " + dir.path + " " + dir.File("case")),
            dir.path + ":\nblank.img\ncase\ndev.img\nlog.dev\nt\n\n" + dir.File("case") +
                ":\nxtl\nxtl.log");
}

// Every new document, and the failure's, parses with python's json and jq,
// and holds what its text shows: a script prints the text from the document
// alone (tests/cli/json_text.py).
TEST_F(Image, JsonDocumentsParseAndHoldWhatTheTextShows) {
  dev.hdr.h_20x.FeatureBits.set(dev.hdr.h_20x.FeatureBits.get() | kFeatEcc | kFeatQuickFmt);
  dev.hdr.h_20x.EccWidth = 4;
  dev.hdr.h_20x.EccDepth = 128;
  Fill();
  const std::string here = __FILE__, tmp = dir.File("t");
  const std::string script = here.substr(0, here.rfind('/')) + "/json_text.py";
  MakeLog(tmp, tmp + "/log");
  Maint({"log", "copy", tmp + "/log", "--tmpdir=" + tmp});
  const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
      {"status", {"status", dev.path}},  {"dump", {"dump", dev.path, "1"}},
      {"dump", {"dump", dev.path, "2"}}, {"dump", {"dump", dev.path, "3"}},
      {"dump", {"dump", dev.path, "9"}}, {"scan", {"log", "scan", "--tmpdir=" + tmp}},
      {"disp", {"log", "disp", "--tmpdir=" + tmp}}, {"", {"status", "/no/such/dev"}},
      {"", {"dump", tmp + "/log"}}};
  for (size_t i = 0; i < runs.size(); i++) {
    const auto &[kind, args] = runs[i];
    std::vector<std::string> json = args;
    json.push_back("--json");
    const std::string doc = Maint(json).out, file = dir.File("doc" + std::to_string(i));
    support::WriteAt(file, 0, doc.data(), doc.size());
    EXPECT_EQ(support::Shell("python3 -m json.tool " + file + " >/dev/null && jq -e .program " + file),
              "\"xtl-maint\"") << doc;
    const std::string text = kind.empty() ? "" : Maint(args).out;
    EXPECT_EQ(kind.empty() ? "" : support::Run({"/bin/sh", "-c", "python3 \"$0\" \"$1\" \"$2\"",
                                                 script, kind, file}).out,
              text)
        << doc;
  }
}

}  // namespace
