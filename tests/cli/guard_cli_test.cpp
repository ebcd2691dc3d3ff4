// The wrong-device guards as a user meets them: log clear, log post and format
// on an ext4 image, a swap image, an XTL image and an empty one, with and
// without --force; format's question on a terminal; and a header offset that
// leaves no room for the header block in an image file.
#include <cstring>
#include <string>
#include <vector>

#include "../unit/log_builders.h"
#include "support.h"
#include "xtl.h"

namespace {

const std::string kBin = XTL_MAINT_BIN;
constexpr uint64_t kSize = 8 << 20;
constexpr int64_t kPostSector = 3000;  // where the log's one entry lands

support::Result Maint(std::vector<std::string> args,
                      support::Streams streams = support::Streams::Separate,
                      const std::string &input = "") {
  args.insert(args.begin(), kBin);
  return support::Run(args, streams, 30, input);
}

struct DevCase {
  const char *name;
  const char *make;   // shell command making the image at $IMG; "" leaves it empty
  const char *found;  // what the guards say the image holds; "" nothing
  bool xtl;           // an XTL header ("holds") rather than a foreign signature
};

const DevCase kDevs[] = {
    {"ext4", "mkfs.ext4 -F -q \"$IMG\"", "an ext4 file system", false},
    {"swap", "mkswap \"$IMG\"", "a swap area", false},
    {"xtl", "\"$BIN\" format \"$IMG\" -q", "an XTL 2.0 header (PhysicalBlocks 1792)", true},
    {"empty", "", "", false},
};

class Guards : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  std::string tmpdir = "--tmpdir=" + dir.path;

  // A new 8 MiB image made as the case says.
  std::string Make(const DevCase &d, const std::string &name) {
    const std::string img = dir.File(name);
    support::MakeSparse(img, kSize);
    if (d.make[0] != '\0')
      support::Shell("PATH=$PATH:/usr/sbin:/sbin IMG='" + img + "' BIN='" + kBin + "'; " + d.make +
                     " >/dev/null 2>&1");
    return img;
  }
  std::vector<uint8_t> Bytes(const std::string &img) { return support::ReadAt(img, 0, kSize); }
};

TEST_F(Guards, ClearPostAndFormatRefuseOrWarnUnlessForced) {
  logimg::LogImage log(64);
  log.Segment(10, 1, {{static_cast<uint64_t>(kPostSector), 1, 0}});
  ASSERT_TRUE(log.WriteFile(dir.File("log.img")));
  const support::Result copy = Maint({"log", "copy", dir.File("log.img"), tmpdir});
  ASSERT_EQ(copy.status, 0) << copy.err;

  for (const DevCase &d : kDevs) {
    for (const bool force : {false, true}) {
      for (const std::string cmd : {"clear", "post", "format"}) {
        const std::string img = Make(d, std::string(d.name) + "-" + cmd + ".img");
        const std::vector<uint8_t> before = Bytes(img);
        std::vector<std::string> args = cmd == "format"
                                            ? std::vector<std::string>{"format", img, "-q"}
                                            : std::vector<std::string>{"log", cmd, img, tmpdir};
        if (force) args.push_back("--force");
        const support::Result r = Maint(args);
        const std::string what = std::string(d.found);
        const std::string where = std::string(d.name) + " " + cmd + (force ? " --force" : "");

        const bool refused = !force && !what.empty() && (cmd == "clear" || (cmd == "post" && !d.xtl));
        std::string err;
        if (refused && cmd == "clear")
          err = "Error: " + img + (d.xtl ? " holds " : " contains ") + what +
                ", not a log device; nothing cleared (--force clears it anyway)\n";
        if (refused && cmd == "post")
          err = "Error: " + img + " contains " + what +
                ", not an XTL device; nothing posted (--force posts anyway)\n";
        if (!force && !what.empty() && cmd == "format")
          err = img + (d.xtl ? " already holds " : " contains ") + what + "\n";
        EXPECT_EQ(r.status, refused ? 1 : 0) << where;
        EXPECT_EQ(r.err, err) << where;
        if (refused) {
          EXPECT_EQ(r.out, cmd == "post" ? copy.out : "") << where;
          EXPECT_TRUE(Bytes(img) == before) << where << ": written";
          continue;
        }
        const std::vector<uint8_t> after = Bytes(img);
        const bool done = cmd == "clear"  ? after == std::vector<uint8_t>(kSize, 0)
                          : cmd == "post" ? support::ReadAt(img, kPostSector * 512, 512) ==
                                                logimg::Stamp(1, 0, 0)
                                          : std::memcmp(after.data(), "XTL:2.0", 8) == 0;
        EXPECT_TRUE(done) << where << ": not written";
      }
    }
  }
}

TEST_F(Guards, FormatAsksOnATerminalAndGoesOnOnlyForYes) {
  const struct {
    const char *answer;
    int status;
  } cases[] = {{"y\n", 0}, {"yes\n", 0}, {" YES \n", 0}, {"n\n", 1}, {"\n", 1}, {"yess\n", 1}};
  for (const auto &c : cases) {
    const std::string img = Make(kDevs[0], "ext4.img");
    const std::vector<uint8_t> before = Bytes(img);
    const support::Result r = Maint({"format", img, "-q"}, support::Streams::TtyIn, c.answer);
    const std::string asked = img + " contains an ext4 file system\nProceed anyway? (y,N) ";
    EXPECT_EQ(r.status, c.status) << c.answer;
    if (c.status == 0) {
      EXPECT_EQ(r.err, asked) << c.answer;
      const std::vector<uint8_t> tag = {'X', 'T', 'L', ':', '2', '.', '0', 0};
      EXPECT_EQ(support::ReadAt(img, 0, 8), tag) << c.answer;
    } else {
      EXPECT_EQ(r.err, asked + "format: cancelled; nothing written to " + img + "\n") << c.answer;
      EXPECT_EQ(r.out, "") << c.answer;
      EXPECT_TRUE(Bytes(img) == before) << c.answer;
    }
  }
}

TEST_F(Guards, HeaderOffsetPastTheEndOfAnImageIsRefused) {
  const uint64_t last = kSize / 512 - 8;  // the header block is the last 4096 bytes
  const struct {
    uint64_t hdroff;
    bool autovm;
    bool fits;
  } cases[] = {
      {last, false, true},
      {last + 1, false, false},
      {last + 8, false, false},
      {uint64_t{1} << 60, false, false},
      {last + 1, true, false},
  };
  for (const auto &c : cases) {
    const std::string img = Make(kDevs[3], "empty.img");
    const std::string off = std::to_string(c.hdroff);
    std::vector<std::string> args = {"format", img, "--hdroff=" + off, "-q"};
    if (c.autovm) args.insert(args.end(), {"--autovm", "--dedupe=200", "--comp=200"});
    const support::Result r = Maint(args);
    EXPECT_EQ(r.status, c.fits ? 0 : 1) << off;
    EXPECT_EQ(support::FileSize(img), kSize) << off;
    if (c.fits) continue;
    EXPECT_EQ(r.out, "format: header offset " + off +
                         " sectors leaves no room for the 4096-byte header block in " + img + " (" +
                         std::to_string(kSize) + " bytes).\n")
        << off;
    EXPECT_EQ(r.err, "") << off;
    EXPECT_TRUE(Bytes(img) == std::vector<uint8_t>(kSize, 0)) << off;
  }
}

}  // namespace
