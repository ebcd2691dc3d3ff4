// SPDX-License-Identifier: Apache-2.0
// xtl-maint check: a sound device checks clean, damage is reported with
// status 2 (each write-block damage and each header rule is a row of
// tests/unit/check_test.cpp), a read error ends with status 1, and the walk
// reads the blocks the dump reads.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check_report.h"
#include "fatal.h"
#include "maint_run.h"
#include "support.h"
#include "wtblk_image.h"

namespace {

using cli::kBin;

support::Result Check(std::vector<std::string> args) { return cli::MaintCmd("check", args); }

std::string Hex(uint64_t v) { return cli::Fmt("0x%llx", static_cast<unsigned long long>(v)); }

std::string Summary(int sound, int never, int damaged, int problems) {
  return "check: header sound; write blocks 0 to 62: " + std::to_string(sound) + " sound, " +
         std::to_string(never) + " never written, " + std::to_string(damaged) + " damaged; " +
         std::to_string(problems) + " problem(s)\n";
}

// Takes a --json report apart again with jq: the query's compact output.
std::string Jq(const std::string &json, const std::string &file, const std::string &query) {
  std::FILE *f = std::fopen(file.c_str(), "w");
  std::fputs(json.c_str(), f);
  std::fclose(f);
  return support::Shell("jq -c '" + query + "' '" + file + "' 2>&1");
}

class CheckImage : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  wtblk::Image img{dir.File("dev.img"), uint64_t{64} << 20};

  // A segment that fills a write block: 1 + 100 data + 154 pad + 1 copy.
  static wtblk::Seg Full() {
    wtblk::Seg s;
    s.data_sz = s.nr_data = 100;
    s.pad = 154;
    return s;
  }
  void Flip(uint64_t pba, uint64_t byte) {
    auto b = support::ReadAt(img.path, img.BlockOffset(pba) + byte, 1);
    b[0] ^= 0x40;
    support::WriteAt(img.path, img.BlockOffset(pba) + byte, b.data(), 1);
  }
  // Write blocks 0, 1, 2 and 4 sound, 3 never written, 5 damaged.
  void LayRange() {
    img.WriteHeader();
    for (int t : {0, 1, 2, 4}) img.WriteSegments(static_cast<uint64_t>(t), {Full()});
    Flip(3 * 256 + 0, 200);  // nothing there: write block 3 stays never written
    img.WriteSegments(5, {Full()});
    Flip(5 * 256, 2000);
  }
};


TEST_F(CheckImage, SoundDevicesCheckClean) {
  // A fresh format: every write block never written, nothing on standard error.
  support::Result f = support::Run({kBin, "format", img.path, "-q"});
  ASSERT_EQ(f.status, 0) << f.out;
  support::Result r = Check({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Summary(0, 63, 0, 0));
  EXPECT_EQ(r.err, "");  // no progress line in a pipe

  // Written write blocks, and one left by an earlier format (another
  // instance's signature): counted, not damage.
  img.WriteHeader();
  img.WriteSegments(0, {Full()});
  wtblk::Seg a = Full();
  a.pad = 20;  // 1 + 100 + 20 + 1 = 122 blocks, then a second segment of 134
  const wtblk::Seg b{.data_sz = 60, .nr_data = 60, .pad = 66, .meta = 3, .summary = 2, .segn = 2};
  ASSERT_EQ(img.SegBlocks(a) + img.SegBlocks(b), 256u);
  img.WriteSegments(5, {a, b});
  wtblk::Image other(dir.File("other.img"), uint64_t{64} << 20);
  other.hdr.raw[20] ^= 1;
  std::vector<uint8_t> stale(4096);
  std::memcpy(stale.data(), other.hdr.raw, 32);
  support::WriteAt(img.path, img.BlockOffset(2 * 256), stale.data(), stale.size());
  r = Check({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Summary(2, 61, 0, 0));

  // The same device as two volumes (--autovm, quick) and with a header of
  // version 1.1, which has no checksum and no write blocks to walk.
  ASSERT_EQ(support::Run({kBin, "format", img.path, "-q", "--autovm", "--dedupe=200", "--comp=200",
                      "--wtblksz=1024"})
                .status,
            0);
  r = Check({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("check: header sound (two volumes); write blocks 0 to "), std::string::npos)
      << r.out;
  const DevHdrBuf v11 = support::V11Header(1 << 20, 16128, 0, 256);
  support::WriteAt(img.path, 0, v11.raw, 512);
  r = Check({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "check: header sound (XTL:1.1, checksum not available); write blocks not checked; 0 "
            "problem(s)\n");
}

// A damaged header through the whole program: the problem line and the
// verdict on standard output, nothing on standard error, status 2. (Each
// header rule, its line and its code: tests/unit/check_test.cpp.)
TEST_F(CheckImage, AHeaderDamageIsReportedWithStatus2) {
  img.hdr.h_20x.MetaVersion.set(0x200);
  img.WriteHeader();  // with its checksum recomputed: the field alone is wrong
  const support::Result r = Check({img.path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out,
            "header 0: MetaVersion: expected 0x201, found 0x200\n"
            "check: header damaged; write blocks not checked; 1 problem(s)\n");
  EXPECT_EQ(r.err, "");
}

// A write-block damage through the whole program: its line and the verdict
// on standard output, status 2, its code in the --json report. (Each damage
// and its line: tests/unit/check_test.cpp.)
TEST_F(CheckImage, AWriteBlockDamageIsReportedWithStatus2) {
  img.WriteHeader();
  img.WriteSegments(0, {Full()});
  const uint64_t stored = img.WriteSegments(1, {Full()})[0];
  Flip(256, 32);  // the checksum's lowest byte
  support::Result r = Check({img.path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "write block 1 offset 0 pba 256: mm3_64: expected " + Hex(stored) + ", found " +
                       Hex(stored ^ 0x40) + "\n" + Summary(1, 61, 1, 1));
  EXPECT_EQ(r.err, "");
  r = Check({img.path, "--json"});
  EXPECT_EQ(Jq(r.out, dir.File("report.json"), "[.problems[] | .code]"), "[\"wtblk.mm3_64\"]");
}

TEST_F(CheckImage, AFirstWriteBlockAndCountBoundTheWalk) {
  LayRange();
  support::Result r = Check({img.path, "1", "4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "check: header sound; write blocks 1 to 4: 3 sound, 1 never written, 0 damaged; 0 "
            "problem(s)\n");
  r = Check({img.path, "5", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("write blocks 5 to 5: 0 sound, 0 never written, 1 damaged"),
            std::string::npos);
  for (std::vector<std::string> args :
       {std::vector<std::string>{img.path, "60"}, {img.path, "60", "3"}}) {
    r = Check(args);
    EXPECT_EQ(r.out,
              "check: header sound; write blocks 60 to 62: 0 sound, 3 never written, 0 damaged; 0 "
              "problem(s)\n");
  }
}

// Range refusals on standard error, command-line refusals on standard output.
TEST_F(CheckImage, RefusalsEndWithStatus1) {
  img.WriteHeader();
  const struct {
    std::vector<std::string> args;
    std::string out;
  } refused[] = {
      {{img.path, "63"},
       "check: first write block 63 is past the last write block (63 write blocks)\n"},
      {{img.path, "0x10", "0"}, "check: count must be at least 1\n"},
      {{img.path, "60", "4"}, "check: 4 write blocks from 60 run past the last write block 62\n"},
      {{img.path, "--qd=0"}, "check: --qd=0: reads in flight are 1 to 256\n"},
      {{img.path, "--qd=257"}, "check: --qd=257: reads in flight are 1 to 256\n"},
      {{}, support::kMaintCheckUsage},
  };
  for (const auto &c : refused) {
    const support::Result r = Check(c.args);
    EXPECT_EQ(r.status, 1) << c.out;
    EXPECT_EQ(c.out.find("usage") == std::string::npos ? r.err : r.out, c.out);
  }
  const support::Result r = Check({dir.File("none")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error opening file - " + dir.File("none") + " = 2\n");
  EXPECT_EQ(r.out, "");
}

// With --json a check that cannot proceed also says why on standard output,
// as a document: the message and the system error number or null.
TEST_F(CheckImage, JsonRefusalsSayWhyOnStandardOutput) {
  img.WriteHeader();
  const struct {
    std::vector<std::string> args;
    std::string error;
  } failed[] = {
      {{dir.File("none"), "--json"},
       "{\"message\":\"Error opening file - " + dir.File("none") + " = 2\",\"errno\":2}"},
      {{img.path, "63", "--json"},
       "{\"message\":\"check: first write block 63 is past the last write block (63 write "
       "blocks)\",\"errno\":null}"},
  };
  for (const auto &c : failed) {
    const support::Result r = Check(c.args);
    EXPECT_EQ(r.status, 1) << c.error;
    EXPECT_EQ(r.err.substr(0, 5), c.error.substr(12, 5));
    EXPECT_EQ(Jq(r.out, dir.File("error.json"), "[.program, .schema, .error, keys]"),
              "[\"xtl-maint\",2," + c.error +
                  ",[\"error\",\"program\",\"schema\",\"version\"]]");
  }
}

// A read-only block device checks as well: nothing is opened for writing.
// (Attached read-only: the flag goes with the attachment, not the device.)
TEST_F(CheckImage, AReadOnlyLoopDeviceChecksAtEveryDepth) {
  LayRange();
  ATTACH_LOOP(loop, img.path, true);
  EXPECT_EQ(support::Shell("blockdev --getro " + loop.Path()), "1");
  const support::Result r = Check({loop.Path(), "5", "1"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("write blocks 5 to 5: 0 sound, 0 never written, 1 damaged"),
            std::string::npos);
  // Many reads at once (the default), one at a time, and where the kernel
  // refuses io_uring (strace fails its set-up): the same report, no message.
  const support::Result one = Check({loop.Path(), "--qd=1"});
  // (LeakSanitizer cannot run under ptrace.)
  const std::string traced = support::Shell(
      "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace=io_uring_setup "
      "-e inject=io_uring_setup:error=ENOSYS " +
      kBin + " check " + loop.Path() + " 2>&1; echo status $?");
  for (const std::string &out : {Check({loop.Path()}).out, Check({loop.Path(), "--qd=8"}).out})
    EXPECT_EQ(out, one.out);
  EXPECT_EQ(traced, one.out + "status 2");
}

TEST_F(CheckImage, JsonReportParsesBack) {
  const std::string file = dir.File("report.json");
  img.hdr.h_20x.EccLevel = 2;
  img.WriteHeader();
  support::Result r = Check({img.path, "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(
      Jq(r.out, file,
         "[.program, .version, .schema, .device == \"" + img.path +
             "\", .device_bytes, .header.verdict, .header.checksum, "
             ".write_blocks.checked, .problems, ([.header.fields[] | select(.ok)] | length), "
             "([.header.fields[] | select(.ok | not)] | length), .damaged]"),
      "[\"xtl-maint\",\"" XTL_VERSION "\",2,true,67108864,\"damaged\",\"verified\",false,"
      "[{\"code\":\"header.ecc_level\",\"text\":\"header 0: EccLevel: expected 0, found 2\","
      "\"header\":0,\"field\":\"EccLevel\",\"expected\":0,\"found\":2}],23,1,true]");

  img.hdr.h_20x.EccLevel = 0;
  img.WriteHeader();
  img.WriteSegments(7, {Full()});
  Flip(7 * 256, 1000);
  r = Check({img.path, "--json", "7", "2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(
      Jq(r.out, file,
         "[.header.verdict, .write_blocks, (.problems[] | [.write_block, .offset, .pba, .field])]"),
      "[\"sound\",{\"checked\":true,\"total\":63,\"first\":7,\"count\":2,\"sound\":0,"
      "\"never_written\":1,\"damaged\":1,\"blocks_read\":4},[7,0,1792,\"mm3_64\"]]");
}

TEST_F(CheckImage, AReportThatCannotBeWrittenIsAFailure) {
  img.WriteHeader();
  for (const std::string json : {"", " --json"}) {
    support::Result r =
        support::Run({"/bin/sh", "-c", kBin + " check " + img.path + json + " >/dev/full"});
    EXPECT_EQ(r.status, 1) << json;
    EXPECT_EQ(r.err, "check: error writing the report - 28\n") << json;
  }
}

TEST_F(CheckImage, ProgressLineOnlyOnATerminal) {
  img.WriteHeader();
  support::Result r = Check({img.path});
  EXPECT_EQ(r.err, "");
  // Under a pseudo-terminal the line shows and is cleared before the report.
  r = support::Run({"/usr/bin/script", "-qec", kBin + " check " + img.path, "/dev/null"});
  EXPECT_EQ(r.status, 0) << r.out;
  const size_t line = r.out.find("\rcheck: 63 of 63 write blocks (100%), ");
  ASSERT_NE(line, std::string::npos) << r.out;
  const size_t clear = r.out.find("\r   ", line + 1);
  ASSERT_NE(clear, std::string::npos) << r.out;
  EXPECT_LT(clear, r.out.find("check: header sound"));
}

// ---- the core over an in-memory device

struct Mem {
  std::vector<uint8_t> data;
  std::vector<uint64_t> reads;  // byte offsets asked for
  uint64_t fail_at = UINT64_MAX;
};

const uint8_t *MemRead(uint64_t off, void *ctx) {
  auto *m = static_cast<Mem *>(ctx);
  m->reads.push_back(off);
  // A read past the image is the test's fault: it fails, and the check ends
  // as at a read error rather than reading freed memory.
  if (off + 4096 > m->data.size()) ADD_FAILURE() << "read at " << off << " past the image";
  if (off == m->fail_at || off + 4096 > m->data.size()) Fatal("Error reading block - %d\n", 5);
  return m->data.data() + off;
}

TEST_F(CheckImage, WalkReadsWhatTheDumpReadsAndAReadErrorEndsTheCheck) {
  img.hdr.h_20x.ShiftVolWbCnt.set(1);
  img.hdr.h_20x.ShiftVolSkipSectors.set(8);
  img.hdr.h_20x.PhysicalBlocks.set(62 * 256);  // the shift moves the last write block out
  img.WriteHeader();
  wtblk::Seg a = Full(), b;
  a.pad = 20;
  b.data_sz = b.nr_data = 60;
  b.meta = 3;
  b.summary = 2;
  b.pad = 66;
  img.WriteSegments(3, {a, b});
  wtblk::Seg torn = Full();
  torn.meta = 2;
  torn.pad = 152;
  img.WriteSegments(4, {torn});
  std::vector<uint8_t> foreign(4096);
  support::WriteAt(img.path, img.BlockOffset(4 * 256 + 1 + 252 + 2), foreign.data(), foreign.size());

  Mem m;
  std::ifstream in(img.path, std::ios::binary);
  m.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  CheckDev dev{std::span<const uint8_t, kHdrSize>(m.data.data(), kHdrSize), m.data.size(), 0,
               MemRead, &m};
  ResetSettings();
  Device walked;
  LoadHdr(walked, m.data.data());
  FILE *sink = std::fopen("/dev/null", "w");
  for (uint64_t t : {uint64_t{3}, uint64_t{4}}) {
    m.reads.clear();
    DumpWtBlk(sink, walked, t, MemRead, &m);
    const std::vector<uint64_t> dumped = m.reads;
    m.reads.clear();
    CheckRange range{true, t, true, 1};
    CheckReport r = CheckDevice(dev, range);
    EXPECT_EQ(m.reads, dumped) << "write block " << t;
    EXPECT_EQ(r.blocks_read, 1 + dumped.size());
    EXPECT_EQ(r.sound + r.damaged, 1u);
  }
  std::fclose(sink);

  // A block that cannot be read ends the check with the read message and
  // status 1, whatever was found before it.
  m.fail_at = img.BlockOffset(3 * 256 + 122);
  if (auto e = support::Thrown<FatalError>([&] { CheckDevice(dev, CheckRange{}); })) {
    EXPECT_EQ(e->status, 1);
    EXPECT_EQ(e->text, "Error reading block - 5\n");
  }
}

// Texts in the JSON report: UTF-8 as it is, other high bytes U+FFFD, quotes,
// backslashes and control bytes escaped.
TEST(CheckJson, DeviceTextIsEscaped) {
  const struct {
    std::string device, json;
  } cases[] = {
      {"/var/tmp/donn\xc3\xa9"
       "es.img",
       "\"/var/tmp/donn\xc3\xa9"
       "es.img\""},
      {"a\\b\"c\x01\x7f", "\"a\\\\b\\\"c\\u0001\\u007f\""},
      {"\xe9t\xc3\xa9\xed\xa0\x80\xf0\x9f\x92",
       "\"\\ufffdt\xc3\xa9\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""},
  };
  for (const auto &c : cases) {
    const std::string out =
        support::Capture([&](FILE *f) { PrintCheckJson(f, CheckReport{}, c.device); });
    const size_t at = out.find("\n  \"device\": ");
    EXPECT_EQ(out.substr(at, out.find(",\n", at) - at), "\n  \"device\": " + c.json) << c.device;
  }
}

}  // namespace
