// The check command: verifies the device header and walks the write blocks as
// the dump walks them, quietly, verifying every write-block header.
#include "check.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "fatal.h"

namespace {

constexpr uint32_t kKnownFeatures = kFeatAlways | kFeatQuickFmt | kFeatVm | kFeatDedupe | kFeatEcc |
                                    kFeatEcc6 | kFeatSummaryMeta | kFeatMigrate | kFeatCompress |
                                    kFeatV20Layout;
constexpr uint32_t kFeatDdc = kFeatDedupe | kFeatCompress;

std::string Dec(uint64_t v) { return std::to_string(v); }

std::string HexNum(uint64_t v) {
  char s[24];
  std::snprintf(s, sizeof s, "0x%" PRIx64, v);
  return s;
}

std::string HexBytes(const void *bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto *p = static_cast<const uint8_t *>(bytes);
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

bool AllZero(const void *bytes, size_t n) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  for (size_t i = 0; i < n; i++)
    if (p[i] != 0) return false;
  return true;
}

// The values one BitSizes byte can take: a list, or a range lo..hi.
struct Allowed {
  std::vector<int> values;
  int lo = 0;
  int hi = -1;
  bool Has(int v) const {
    if (hi >= lo) return v >= lo && v <= hi;
    for (int x : values)
      if (x == v) return true;
    return false;
  }
  std::string Text() const {
    if (hi >= lo) return Dec(static_cast<uint64_t>(lo)) + ".." + Dec(static_cast<uint64_t>(hi));
    std::string s = values.size() > 1 ? "one of " : "";
    // Appended piece by piece: "/" + Dec(...) trips GCC 12's -Wrestrict at -O3.
    for (size_t i = 0; i < values.size(); i++) {
      if (i > 0) s += '/';
      s += Dec(static_cast<uint64_t>(values[i]));
    }
    return s;
  }
};
Allowed Set(std::initializer_list<int> v) { return Allowed{v, 0, -1}; }
Allowed Range(int lo, int hi) { return Allowed{{}, lo, hi}; }

// The widths the formats write, by the kind of header:
//  - the one-volume layout (bit 0x2000): the size classes of the layout,
//    with or without compression;
//  - the data volume of the two-volume layout (de-dupe and compression): the
//    widths computed from the block counts, padded to whole bytes, then 1 and 6;
//  - the plain (VM) volume of the two-volume layout: the size classes, 2, and
//    the hash width (0 without the hash flag).
std::vector<Allowed> BitRules(uint32_t feat) {
  if ((feat & kFeatV20Layout) != 0) {
    if ((feat & kFeatCompress) != 0)
      return {Set({24, 32, 40, 48, 54}), Set({6}), Set({2}), Set({0})};
    return {Set({30, 38, 46, 54, 62}), Set({2}), Set({0}), Set({0})};
  }
  if ((feat & kFeatDdc) != 0) return {Range(0, 68), Range(24, 91), Set({1}), Set({6})};
  return {Set({22, 30, 38, 46}), Set({2}), Set({0, 16, 24, 32, 40}), Set({0})};
}

class Checker {
 public:
  Checker(const CheckDev &dev, CheckReport &r) : dev_(dev), r_(r) {}

  void Run(const CheckRange &range) {
    r_.dev_size = dev_.size;
    r_.hdr_sector = dev_.hdr_sector;
    std::memcpy(h0_.raw, dev_.hdr.data(), kHdrSize);
    r_.version = GetHdrVersion(h0_.raw);
    r_.blocks_read = 1;  // the header block
    if (r_.version == HdrVersion::Unknown) {
      Field(0, "Str", false, "XTL:2.0 or XTL:1.1", HexBytes(h0_.raw, 8));
      return;
    }
    if (r_.version == HdrVersion::V11) {
      CheckV11();
      return;
    }
    CheckV20(0, h0_.h_20x);
    const uint32_t feat = h0_.h_20x.FeatureBits.get();
    r_.two_volumes = (feat & kFeatV20Layout) == 0 && (feat & kFeatDdc) == kFeatDdc;
    if (r_.two_volumes) CheckSecondHeader();
    if (!HeaderSound(0)) return;
    Walk(range);
  }

 private:
  const CheckDev &dev_;
  CheckReport &r_;
  DevHdrBuf h0_{};
  uint32_t chunk_ = 1;

  void Field(int hdr, const char *name, bool ok, std::string expected, std::string found) {
    r_.fields.push_back({hdr, name, ok, expected, found});
    if (!ok) r_.problems.push_back({hdr, 0, 0, 0, name, std::move(expected), std::move(found)});
  }
  void Expect(int hdr, const char *name, uint64_t want, uint64_t got) {
    Field(hdr, name, want == got, Dec(want), Dec(got));
  }
  bool HeaderSound(int hdr) const {
    for (const CheckField &f : r_.fields)
      if (f.header == hdr && !f.ok) return false;
    return true;
  }

  // Byte offset of physical block pba of a version 2.0 volume, by the
  // mapping the dump reads with (the placement shift included); false when
  // no device can hold it.
  static bool BlockByte(const DEV_HDR_20 &h, uint64_t pba, uint64_t *byte) {
    if (pba >= kMaxPba) return false;
    uint64_t sector = pba * kSectorsPerBlock + h.Block0Off.get() / kSectorSize;
    const uint32_t wbcnt = h.ShiftVolWbCnt.get();
    const uint32_t cluster = h.ClusterSize.get();
    if (wbcnt != 0 && cluster != 0) {
      const uint64_t stripe = pba / cluster / wbcnt;
      // The product is formed in 32 bits, as the driver forms it.
      sector += static_cast<uint32_t>(static_cast<uint32_t>(stripe) * h.ShiftVolSkipSectors.get());
    }
    return !__builtin_mul_overflow(sector, uint64_t{kSectorSize}, byte);
  }

  bool Inside(uint64_t byte) const { return byte <= dev_.size && dev_.size - byte >= kBlockSize; }

  // The end of a volume's data area in bytes: the end of its last block.
  static std::string AreaEnd(const DEV_HDR_20 &h, uint64_t blocks, uint64_t *end) {
    if (blocks == 0) {
      *end = h.Block0Off.get();
      return Dec(*end);
    }
    uint64_t last = 0;
    if (!BlockByte(h, blocks - 1, &last) || last > UINT64_MAX - kBlockSize) {
      *end = UINT64_MAX;
      return "beyond 2^64";
    }
    *end = last + kBlockSize;
    return Dec(*end);
  }

  void CheckBitSizes(int hdr, const DEV_HDR_20 &h, const std::vector<Allowed> &rules) {
    const int bits = h.BitSizes[0] + h.BitSizes[1] + h.BitSizes[2];
    Field(hdr, "BitSizes[0..2] sum", bits > 0, "more than 0", Dec(static_cast<uint64_t>(bits)));
    static const char *const kNames[8] = {"BitSizes[0]", "BitSizes[1]", "BitSizes[2]",
                                          "BitSizes[3]", "BitSizes[4]", "BitSizes[5]",
                                          "BitSizes[6]", "BitSizes[7]"};
    for (size_t i = 0; i < 8; i++) {
      const Allowed a = i < rules.size() ? rules[i] : Set({0});
      Field(hdr, kNames[i], a.Has(h.BitSizes[i]), a.Text(), Dec(h.BitSizes[i]));
    }
  }

  void CheckCommon(int hdr, const DEV_HDR_20 &h, const DevHdrBuf &raw) {
    Field(hdr, "Str[8..11]", AllZero(raw.raw + 8, 4), "00000000", HexBytes(raw.raw + 8, 4));
    const uint64_t sum = HdrChecksum(raw);
    Field(hdr, "mm3_64", sum == h.mm3_64.get(), HexNum(sum), HexNum(h.mm3_64.get()));
    Field(hdr, "MetaVersion", h.MetaVersion.get() == 0x201, "0x201", HexNum(h.MetaVersion.get()));
    Expect(hdr, "BlockSize", kBlockSize, h.BlockSize.get());
  }

  void CheckV20(int hdr, const DEV_HDR_20 &h) {
    CheckCommon(hdr, h, h0_);
    const uint32_t feat = h.FeatureBits.get();
    const bool feat_ok = (feat & ~kKnownFeatures) == 0 && (feat & kFeatAlways) != 0 &&
                         ((feat & kFeatV20Layout) != 0 || (feat & kFeatDdc) == kFeatDdc);
    Field(hdr, "FeatureBits", feat_ok, "0x0001, known bits only, 0x2000 or DEDUPE and COMPRESS",
          HexNum(feat));
    const uint8_t level = (feat & kFeatEcc6) != 0 ? 2 : (feat & kFeatEcc) != 0 ? 1 : 0;
    Expect(hdr, "EccLevel", level, h.EccLevel);
    CheckBitSizes(hdr, h, BitRules(feat));
    const uint32_t cluster = h.ClusterSize.get();
    Field(hdr, "ClusterSize", cluster != 0, "more than 0", Dec(cluster));
    if (cluster == 0) return;
    const uint64_t phys = h.PhysicalBlocks.get();
    Field(hdr, "PhysicalBlocks", phys % cluster == 0, "a multiple of ClusterSize " + Dec(cluster),
          Dec(phys));
    uint64_t end = 0;
    std::string end_text = AreaEnd(h, phys, &end);
    Field(hdr, "data area end", end <= dev_.size, "at most the device size " + Dec(dev_.size),
          end_text);
    const uint32_t vm = h.vm_status.get();
    Field(hdr, "vm_status", vm <= 1, "0 or 1", Dec(vm));
    if (vm != 1) return;
    // The second volume lies beside the first in the same stripe sets: the
    // two data areas together fit the device.
    Expect(hdr, "vm_Block0Off", h.Block0Off.get(), h.vm_Block0Off.get());
    Expect(hdr, "vm_BitSizes[0]", h.BitSizes[0], h.vm_BitSizes[0]);
    const uint64_t vm_phys = h.vm_PhysicalBlocks.get();
    uint64_t both_end = UINT64_MAX;
    std::string both_text = "beyond 2^64";
    if (phys <= kMaxPba && vm_phys <= kMaxPba) {
      AreaEnd(h, phys + vm_phys, &both_end);
      if (both_end != UINT64_MAX) both_text = Dec(both_end);
    }
    Field(hdr, "vm data area end", both_end <= dev_.size,
          "at most the device size " + Dec(dev_.size), both_text);
  }

  // The --autovm layout: the VM volume's 512-byte header follows the data
  // volume's in the header block. It must be there and fit the first.
  void CheckSecondHeader() {
    const uint64_t at = dev_.hdr_sector * kSectorSize;
    if (at / kSectorSize != dev_.hdr_sector || !Inside(at)) {
      Field(1, "Str", false, "XTL:2.0", "beyond the device end");
      return;
    }
    DevHdrBuf h1{};
    std::memcpy(h1.raw, dev_.read(at, dev_.ctx) + kHdrSize, kHdrSize);
    r_.blocks_read++;
    if (GetHdrVersion(h1.raw) != HdrVersion::V20) {
      Field(1, "Str", false, "XTL:2.0", HexBytes(h1.raw, 8));
      return;
    }
    const DEV_HDR_20 &h = h1.h_20x;
    const DEV_HDR_20 &d = h0_.h_20x;
    CheckCommon(1, h, h1);
    const uint32_t feat = h.FeatureBits.get();
    Field(1, "FeatureBits",
          (feat & ~kKnownFeatures) == 0 && (feat & (kFeatDdc | kFeatV20Layout)) == 0 &&
              (feat & kFeatAlways) != 0,
          "0x0001, known bits only, no DEDUPE, COMPRESS or 0x2000", HexNum(feat));
    CheckBitSizes(1, h, BitRules(feat & ~kFeatDdc & ~kFeatV20Layout));
    Expect(1, "ClusterSize", d.ClusterSize.get(), h.ClusterSize.get());
    Expect(1, "WtBlkStripe", d.WtBlkStripe.get(), h.WtBlkStripe.get());
    Expect(1, "MetaDupeCnt", d.MetaDupeCnt, h.MetaDupeCnt);
    // The VM volume starts after its first stripe set (the header block's)
    // and ends before the data volume begins.
    Expect(1, "Block0Off", uint64_t{d.ClusterSize.get()} * kBlockSize * d.WtBlkStripe.get(),
           h.Block0Off.get());
    if (h.ClusterSize.get() == 0) return;
    uint64_t end = 0;
    std::string end_text = AreaEnd(h, h.PhysicalBlocks.get(), &end);
    Field(1, "data area end", end <= d.Block0Off.get(),
          "at most Block0Off of header 0, " + Dec(d.Block0Off.get()), end_text);
  }

  void CheckV11() {
    const DEV_HDR_11 &h = h0_.h_11;
    Field(0, "Str[8..11]", AllZero(h0_.raw + 8, 4), "00000000", HexBytes(h0_.raw + 8, 4));
    Field(0, "mm3_64", true, "not available", "not available");
    Expect(0, "BlockSize", kBlockSize, static_cast<uint32_t>(h.BlockSize.get()));
    const int32_t b0 = h.Block0Off.get();
    const int32_t phys = h.PhysicalBlocks.get();
    const int32_t cluster = h.ClusterSize.get();
    Field(0, "Block0Off", b0 >= 0, "0 or more", std::to_string(b0));
    Field(0, "PhysicalBlocks", phys >= 0, "0 or more", std::to_string(phys));
    Field(0, "LogicalBlocks", h.LogicalBlocks.get() >= 0, "0 or more",
          std::to_string(h.LogicalBlocks.get()));
    Field(0, "ClusterSize", cluster > 0, "more than 0", std::to_string(cluster));
    if (b0 < 0 || phys < 0) return;
    const uint64_t end = static_cast<uint64_t>(b0) + static_cast<uint64_t>(phys) * kBlockSize;
    Field(0, "data area end", end <= dev_.size, "at most the device size " + Dec(dev_.size),
          Dec(end));
  }

  // ---- the write-block walk

  void Problem(uint64_t t, uint64_t off, uint64_t pba, const char *field, std::string expected,
               std::string found) {
    r_.problems.push_back({-1, t, off, pba, field, std::move(expected), std::move(found)});
  }

  // Reads a block of the walk; a block that does not lie inside the device is
  // reported instead of read.
  const uint8_t *Read(uint64_t t, uint64_t off0, uint64_t pba) {
    uint64_t byte = 0;
    if (!BlockByte(h0_.h_20x, pba, &byte) || !Inside(byte)) {
      Problem(t, off0, pba, "block address",
              "a block inside the device of " + Dec(dev_.size) + " bytes", "beyond the device end");
      return nullptr;
    }
    r_.blocks_read++;
    return dev_.read(byte, dev_.ctx);
  }

  void VerifySum(uint64_t t, uint64_t off0, uint64_t pba, const uint8_t *blk) {
    BLK_HDR_H_20x h;
    std::memcpy(&h, blk, sizeof h);
    const uint64_t sum = BlkHdrChecksum(blk);
    if (sum != h.mm3_64.get()) Problem(t, off0, pba, "mm3_64", HexNum(sum), HexNum(h.mm3_64.get()));
  }

  enum class Verdict { NeverWritten, Sound, Damaged };

  // One write block, segment by segment, ending where the dump ends: the
  // write block is full, a segment's first block carries another signature,
  // or a further metadata block does. Each segment advances by at least one
  // block and stays inside the write block, so the walk is bounded by
  // ClusterSize reads.
  Verdict WalkWtBlk(uint64_t t) {
    const DEV_HDR_20 &dev = h0_.h_20x;
    const uint32_t cluster = dev.ClusterSize.get();
    const uint64_t base = uint64_t{cluster} * t;
    const size_t before = r_.problems.size();
    uint32_t off0 = 0;
    for (;;) {
      const uint8_t *blk = Read(t, off0, base + off0);
      if (blk == nullptr) break;
      BLK_HDR_H_20x h0;
      std::memcpy(&h0, blk, sizeof h0);
      if (std::memcmp(h0.Str, dev.Str, sizeof dev.Str) != 0) {
        // The first segment not written by this instance: the write block
        // was never written, or was written this far.
        if (off0 == 0) return Verdict::NeverWritten;
        break;
      }
      VerifySum(t, off0, base + off0, blk);
      const uint32_t sz = h0.DataBlockSz.get();
      const uint64_t body = uint64_t{sz / chunk_ + (sz % chunk_ != 0 ? 1 : 0)} +
                            h0.NrEccPadBlocks.get() + h0.NrEccParityBlocks.get() +
                            h0.NrPadBlocks.get();
      const uint64_t metas =
          uint64_t{h0.NrMetaBlocks.get()} * h0.NrMetaBlocksRepl + h0.NrSummaryBlocks.get();
      const uint64_t seg = body + metas;
      if (seg == 0) {
        Problem(t, off0, base + off0, "segment blocks", "at least 1", "0");
        break;
      }
      if (seg > cluster - off0) {
        Problem(t, off0, base + off0, "segment blocks",
                "at most " + Dec(cluster - off0) + " (the rest of the write block)", Dec(seg));
        break;
      }
      bool torn = false;
      for (uint64_t i = 1; i < metas && !torn; i++) {
        const uint64_t pba = base + off0 + body + i;
        const uint8_t *mb = Read(t, off0, pba);
        if (mb == nullptr) {
          torn = true;
          break;
        }
        BLK_HDR_H_20x h;
        std::memcpy(&h, mb, sizeof h);
        if (std::memcmp(h.Str, dev.Str, sizeof dev.Str) != 0) {
          Problem(t, off0, pba, "Str", HexBytes(dev.Str, 32), HexBytes(h.Str, 32));
          torn = true;
        } else {
          VerifySum(t, off0, pba, mb);
        }
      }
      if (torn) break;
      off0 = static_cast<uint32_t>(off0 + seg);
      if (off0 >= cluster) break;
    }
    return r_.problems.size() > before ? Verdict::Damaged : Verdict::Sound;
  }

  void Walk(const CheckRange &range) {
    const DEV_HDR_20 &dev = h0_.h_20x;
    chunk_ = (dev.FeatureBits.get() & kFeatCompress) != 0 ? 64 : 1;
    r_.total = dev.PhysicalBlocks.get() / dev.ClusterSize.get();
    const uint64_t total = r_.total;
    if (range.first_given && range.first >= total)
      Fatal("check: first write block %" PRIu64 " is past the last write block (%" PRIu64
            " write blocks)\n",
            range.first, total);
    r_.first = range.first_given ? range.first : 0;
    if (range.count_given) {
      if (range.count == 0) Fatal("check: count must be at least 1\n");
      if (range.count > total - r_.first)
        Fatal("check: %" PRIu64 " write blocks from %" PRIu64
              " run past the last write block %" PRIu64 "\n",
              range.count, r_.first, total - 1);
    }
    r_.count = range.count_given ? range.count : total - r_.first;
    r_.walked = true;
    for (uint64_t n = 0; n < r_.count; n++) {
      switch (WalkWtBlk(r_.first + n)) {
        case Verdict::NeverWritten: r_.never_written++; break;
        case Verdict::Sound: r_.sound++; break;
        case Verdict::Damaged: r_.damaged++; break;
      }
      if (dev_.progress != nullptr) dev_.progress(n + 1, r_.count, dev_.progress_ctx);
    }
  }
};

std::string JsonStr(const std::string &s) {
  std::string o = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", c);
      o += e;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

const char *VersionText(HdrVersion v) {
  return v == HdrVersion::V20 ? "XTL:2.0" : v == HdrVersion::V11 ? "XTL:1.1" : "unknown";
}

}  // namespace

bool CheckReport::HeaderSound() const {
  for (const CheckField &f : fields)
    if (!f.ok) return false;
  return !fields.empty();
}

CheckReport CheckDevice(const CheckDev &dev, const CheckRange &range) {
  CheckReport r;
  Checker(dev, r).Run(range);
  return r;
}

void PrintCheck(FILE *out, const CheckReport &r) {
  for (const CheckProblem &p : r.problems) {
    if (p.header >= 0)
      std::fprintf(out, "header %d: %s: expected %s, found %s\n", p.header, p.field.c_str(),
                   p.expected.c_str(), p.found.c_str());
    else
      std::fprintf(out,
                   "write block %" PRIu64 " offset %" PRIu64 " pba %" PRIu64
                   ": %s: expected %s, found %s\n",
                   p.wtblk, p.off, p.pba, p.field.c_str(), p.expected.c_str(), p.found.c_str());
  }
  std::string hdr = r.HeaderSound() ? "header sound" : "header damaged";
  if (r.version == HdrVersion::V11 && r.HeaderSound()) hdr += " (XTL:1.1, checksum not available)";
  if (r.two_volumes) hdr += " (two volumes)";
  std::string blocks;
  if (r.walked && r.count == 0)
    blocks = "no write blocks";
  else if (r.walked)
    blocks = "write blocks " + Dec(r.first) + " to " + Dec(r.first + r.count - 1) + ": " +
             Dec(r.sound) + " sound, " + Dec(r.never_written) + " never written, " +
             Dec(r.damaged) + " damaged";
  else
    blocks = "write blocks not checked";
  std::fprintf(out, "check: %s; %s; %zu problem(s)\n", hdr.c_str(), blocks.c_str(),
               r.problems.size());
}

void PrintCheckJson(FILE *out, const CheckReport &r, const std::string &device) {
  std::string checksum = "not checked";
  for (const CheckField &f : r.fields)
    if (f.header == 0 && f.field == "mm3_64")
      checksum = r.version == HdrVersion::V11 ? "not available" : f.ok ? "verified" : "mismatch";
  std::fprintf(out,
               "{\n  \"device\": %s,\n  \"device_bytes\": %" PRIu64
               ",\n  \"header_sector\": %" PRIu64 ",\n",
               JsonStr(device).c_str(), r.dev_size, r.hdr_sector);
  std::fprintf(out,
               "  \"header\": {\n    \"version\": \"%s\",\n    \"two_volumes\": %s,\n"
               "    \"checksum\": \"%s\",\n    \"verdict\": \"%s\",\n    \"fields\": [",
               VersionText(r.version), r.two_volumes ? "true" : "false", checksum.c_str(),
               r.HeaderSound() ? "sound" : "damaged");
  for (size_t i = 0; i < r.fields.size(); i++) {
    const CheckField &f = r.fields[i];
    std::fprintf(
        out,
        "%s\n      {\"header\": %d, \"field\": %s, \"ok\": %s, \"expected\": %s, \"found\": %s}",
        i > 0 ? "," : "", f.header, JsonStr(f.field).c_str(), f.ok ? "true" : "false",
        JsonStr(f.expected).c_str(), JsonStr(f.found).c_str());
  }
  std::fprintf(out, "\n    ]\n  },\n");
  std::fprintf(out,
               "  \"write_blocks\": {\"checked\": %s, \"total\": %" PRIu64 ", \"first\": %" PRIu64
               ", \"count\": %" PRIu64 ", \"sound\": %" PRIu64 ", \"never_written\": %" PRIu64
               ", \"damaged\": %" PRIu64 ", \"blocks_read\": %" PRIu64 "},\n",
               r.walked ? "true" : "false", r.total, r.first, r.count, r.sound, r.never_written,
               r.damaged, r.blocks_read);
  std::fprintf(out, "  \"problems\": [");
  for (size_t i = 0; i < r.problems.size(); i++) {
    const CheckProblem &p = r.problems[i];
    std::fprintf(out, "%s\n    {", i > 0 ? "," : "");
    if (p.header >= 0)
      std::fprintf(out, "\"header\": %d", p.header);
    else
      std::fprintf(out, "\"write_block\": %" PRIu64 ", \"offset\": %" PRIu64 ", \"pba\": %" PRIu64,
                   p.wtblk, p.off, p.pba);
    std::fprintf(out, ", \"field\": %s, \"expected\": %s, \"found\": %s}", JsonStr(p.field).c_str(),
                 JsonStr(p.expected).c_str(), JsonStr(p.found).c_str());
  }
  std::fprintf(out, "%s],\n  \"damaged\": %s\n}\n", r.problems.empty() ? "" : "\n  ",
               r.Damaged() ? "true" : "false");
}

// ---------------------------------------------------------------------------
// The command

namespace {

const uint8_t *ReadDevBlock(uint64_t off, void *ctx) {
  Device &dev = *static_cast<Device *>(ctx);
  errno = 0;
  if (off > static_cast<uint64_t>(INT64_MAX) ||
      PreadFull(dev.fh, dev.buf, kBlockSize, off) != static_cast<ssize_t>(kBlockSize))
    Fatal("Error reading block - %d\n", errno);
  return dev.buf;
}

// The progress line on standard error, shown only on a terminal and at most
// a few times a second; cleared when the check ends, however it ends.
class ProgressLine {
 public:
  ProgressLine() : tty_(isatty(STDERR_FILENO) != 0), start_(Now()) {}
  ~ProgressLine() { Clear(); }
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;

  static void Show(uint64_t done, uint64_t total, void *ctx) {
    auto *p = static_cast<ProgressLine *>(ctx);
    if (!p->tty_) return;
    const double now = Now();
    if (now - p->last_ < 0.2 && done != total) return;
    p->last_ = now;
    const double secs = now - p->start_;
    char line[128];
    int n =
        std::snprintf(line, sizeof line, "\rcheck: %" PRIu64 " of %" PRIu64 " write blocks, %.0f/s",
                      done, total, secs > 0 ? static_cast<double>(done) / secs : 0.0);
    if (n > 0) {
      std::fputs(line, stderr);
      std::fflush(stderr);
      p->width_ = n - 1;
    }
  }

  void Clear() {
    if (width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", width_, "");
    std::fflush(stderr);
    width_ = 0;
  }

 private:
  bool tty_;
  double start_;
  double last_ = 0;
  int width_ = 0;

  static double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
};

}  // namespace

void DoCheck() {
  // Read-only: the check never writes, and works on a read-only device too.
  Device device = OpenDev(O_RDONLY | O_LARGEFILE, static_cast<int>(kBlockSize));
  // The walk jumps a write block at a time: read-ahead would only read
  // blocks that the check never looks at.
  posix_fadvise(device.fh, 0, 0, POSIX_FADV_RANDOM);
  ReadHdr(device);

  CheckRange range;
  range.first_given = v_CheckArgs >= 1;
  range.first = v_CheckFirst;
  range.count_given = v_CheckArgs >= 2;
  range.count = v_CheckCount;

  CheckReport r;
  {
    ProgressLine progress;
    CheckDev dev{std::span<const uint8_t, kHdrSize>(device.DevHdr.raw, kHdrSize),
                 device.DevSize,
                 v_HdrOff,
                 ReadDevBlock,
                 &device,
                 ProgressLine::Show,
                 &progress};
    r = CheckDevice(dev, range);
  }
  if (v_Json != 0)
    PrintCheckJson(stdout, r, v_DevName);
  else
    PrintCheck(stdout, r);
  // Damage is a verdict, not a failure: the report is out; only the status says it.
  if (r.Damaged()) throw FatalError("", false, 2);
}
