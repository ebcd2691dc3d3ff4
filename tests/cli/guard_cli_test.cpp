// SPDX-License-Identifier: Apache-2.0
// The wrong-device guards: log clear, log post and format on ext4, swap,
// partition-table, XTL (at sector 0 and further on) and empty images, with and without --force; format's question on a
// terminal; a header offset past the end of an image file.
#include <cstring>
#include <map>

#include "../unit/log_builders.h"
#include "maint_run.h"
#include "support.h"

namespace {

using cli::kBin;
using cli::Maint;
constexpr uint64_t kSize = 8 << 20;
const std::vector<uint8_t> kZero(kSize, 0);

struct DevCase {
  const char *make;   // shell command making the image $IMG; "" leaves it empty
  const char *found;  // what the guards name; "" nothing
  bool xtl;           // an XTL header ("holds"), not a foreign signature ("contains")
  const char *hdroff = "";  // the header offset the image is made and guarded with
};
const DevCase kDevs[] = {
    {"mkfs.ext4 -F -q \"$IMG\"", "an ext4 file system", false},
    {"mkswap \"$IMG\"", "a swap area", false},
    {"printf 'label: gpt\\n,,L\\n' | sfdisk -q \"$IMG\"", "a gpt partition table", false},
    {"\"$BIN\" format \"$IMG\" -q", "an XTL 2.0 header (PhysicalBlocks 1792)", true},
    {"\"$BIN\" format \"$IMG\" -q --hdroff=64", "an XTL 2.0 header (PhysicalBlocks 1792)", true,
     "--hdroff=64"},
    {"", "", false},
};

class Guards : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  std::string img = dir.File("dev.img");
  void Make(const DevCase &d) {
    support::MakeSparse(img, kSize);
    support::Shell("PATH=$PATH:/usr/sbin:/sbin IMG='" + img + "' BIN='" + kBin + "'; " + d.make +
                   " >/dev/null 2>&1");
  }
};

TEST_F(Guards, ClearPostAndFormatRefuseOrWarnUnlessForced) {
  logimg::LogImage log(64);
  log.Segment(10, 1, {{3000, 1, 0}});
  ASSERT_TRUE(log.WriteFile(dir.File("log.img")));
  const support::Result copy = Maint({"log", "copy", dir.File("log.img"), "--tmpdir=" + dir.path});
  ASSERT_EQ(copy.status, 0) << copy.err;
  for (const DevCase &d : kDevs)
    for (const std::string force : {"-q", "--force"})  // -q: no effect on these
      for (const std::string cmd : {"clear", "post", "format"}) {
        Make(d);
        const std::vector<uint8_t> before = support::ReadAt(img, 0, kSize);
        std::vector<std::string> args =
            cmd == "format"
                ? std::vector<std::string>{"format", img, "-q", force}
                : std::vector<std::string>{"log", cmd, img, "--tmpdir=" + dir.path, force};
        if (d.hdroff[0] != '\0') args.emplace_back(d.hdroff);
        const support::Result r = Maint(args);
        const std::string found = img + (d.xtl ? " holds " : " contains ") + d.found;
        std::map<std::string, std::string> want = {
            {"clear", "Error: " + found +
                          ", not a log device; nothing cleared (--force clears it anyway)\n"},
            {"post", d.xtl ? ""
                           : "Error: " + found +
                                 ", not an XTL device; nothing posted (--force posts anyway)\n"},
            {"format", img + (d.xtl ? " already holds " : " contains ") + d.found + "\n"}};
        const std::string err = force == "-q" && d.found[0] != '\0' ? want[cmd] : "";
        const bool refused = cmd != "format" && !err.empty();
        const std::string at = found + " " + cmd + " " + force;
        EXPECT_EQ(r.status, refused ? 1 : 0) << at;
        EXPECT_EQ(r.err, err) << at;
        const std::vector<uint8_t> after = support::ReadAt(img, 0, kSize);
        if (refused) {
          EXPECT_EQ(r.out, cmd == "post" ? copy.out : "") << at;
          EXPECT_TRUE(after == before) << at << ": written";
        } else {
          EXPECT_TRUE(cmd == "clear" ? after == kZero
                      : cmd == "post"
                          ? support::ReadAt(img, 3000 * 512, 512) == logimg::Stamp(1, 0, 0)
                          : std::memcmp(after.data() + (d.hdroff[0] != '\0' ? 64 * 512 : 0),
                                        "XTL:2.0", 8) == 0)
              << at << ": not written";
        }
      }
}

TEST_F(Guards, FormatAsksOnATerminalAndGoesOnOnlyForYes) {
  for (const std::string answer : {"y\n", "yes\n", " YES \n", "n\n", "\n", "yess\n"}) {
    Make(kDevs[0]);  // ext4
    const std::vector<uint8_t> before = support::ReadAt(img, 0, kSize);
    const support::Result r = Maint({"format", img, "-q"}, support::Streams::TtyIn, answer);
    const std::string asked = img + " contains an ext4 file system\nProceed anyway? (y,N) ";
    const bool yes = answer[0] != 'n' && answer != "\n" && answer != "yess\n";
    EXPECT_EQ(r.status, yes ? 0 : 1) << answer;
    EXPECT_EQ(r.err, yes ? asked : asked + "format: cancelled; nothing written to " + img + "\n")
        << answer;
    EXPECT_EQ(std::memcmp(support::ReadAt(img, 0, 8).data(), "XTL:2.0", 8) == 0, yes) << answer;
    EXPECT_TRUE(yes || support::ReadAt(img, 0, kSize) == before) << answer;
  }
}

TEST_F(Guards, HeaderOffsetPastTheEndOfAnImageIsRefused) {
  const uint64_t last = kSize / 512 - 8;  // the header block is the file's last 4096 bytes
  for (const uint64_t off : {last, last + 1, last + 8, uint64_t{1} << 60})
    for (const bool autovm : {false, true}) {
      Make(kDevs[5]);  // empty
      std::vector<std::string> args = {"format", img, "--hdroff=" + std::to_string(off), "-q"};
      if (autovm)
        args.insert(args.end(), {"--autovm", "--dedupe=200", "--comp=200", "--wtblksz=64"});
      const support::Result r = Maint(args);
      const bool fits = off == last;
      EXPECT_EQ(r.status, fits ? 0 : 1) << off << r.out;
      EXPECT_EQ(support::FileSize(img), kSize) << off;
      if (fits) continue;
      EXPECT_EQ(r.out, "format: header offset " + std::to_string(off) +
                           " sectors leaves no room for the 4096-byte header block in " + img +
                           " (" + std::to_string(kSize) + " bytes).\n")
          << off;
      EXPECT_TRUE(support::ReadAt(img, 0, kSize) == kZero) << off;
    }
}

}  // namespace
