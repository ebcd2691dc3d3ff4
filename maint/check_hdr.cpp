// SPDX-License-Identifier: Apache-2.0
// The check's header rules.
#include "check_hdr.h"

#include <cinttypes>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "wtblk.h"

std::string HexNum(uint64_t v) {
  char s[24];
  std::snprintf(s, sizeof s, "0x%" PRIx64, v);
  return s;
}

namespace {

constexpr uint32_t kKnownFeatures = kFeatAlways | kFeatQuickFmt | kFeatVm | kFeatDedupe | kFeatEcc |
                                    kFeatEcc6 | kFeatSummaryMeta | kFeatMigrate | kFeatCompress |
                                    kFeatV20Layout;
constexpr uint32_t kFeatDdc = kFeatDedupe | kFeatCompress;

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
    std::string s;
    if (hi >= lo) {
      s = Dec(static_cast<uint64_t>(lo));
      s += "..";
      s += Dec(static_cast<uint64_t>(hi));
      return s;
    }
    if (values.size() > 1) s = "one of ";
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

// The end of a volume's data area in bytes: the end of its last block.
std::string AreaEnd(const DEV_HDR_20 &h, uint64_t blocks, uint64_t *end) {
  if (blocks == 0) {
    *end = h.Block0Off.get();
    return Dec(*end);
  }
  uint64_t last = 0;
  if (!WtBlkByte(h, blocks - 1, &last) || last > UINT64_MAX - kBlockSize) {
    *end = UINT64_MAX;
    return "beyond 2^64";
  }
  *end = last + kBlockSize;
  return Dec(*end);
}

class HdrRules {
 public:
  HdrRules(const CheckDev &dev, CheckReport &r) : dev_(dev), r_(r) {
    std::memcpy(h0_.raw, dev_.hdr.data(), kHdrSize);
  }
  void Run();

 private:
  const CheckDev &dev_;
  CheckReport &r_;
  DevHdrBuf h0_{};

  // byte: the BitSizes byte that CheckCode::BitSizes names.
  void Field(int hdr, CheckCode code, bool ok, std::string expected, std::string found,
             uint8_t byte = 0) {
    r_.fields.push_back({hdr, code, byte, ok, expected, found});
    if (!ok)
      r_.problems.push_back({hdr, 0, 0, 0, code, byte, std::move(expected), std::move(found)});
  }
  void Expect(int hdr, CheckCode code, uint64_t want, uint64_t got) {
    Field(hdr, code, want == got, Dec(want), Dec(got));
  }
  bool Inside(uint64_t byte) const { return byte <= dev_.size && dev_.size - byte >= kBlockSize; }

  void NoVersion();
  void CheckBitSizes(int hdr, const DEV_HDR_20 &h, const std::vector<Allowed> &rules);
  void CheckCommon(int hdr, const DEV_HDR_20 &h, const DevHdrBuf &raw);
  void CheckV20();
  void CheckArea(const DEV_HDR_20 &h);
  void CheckVm(const DEV_HDR_20 &h);
  void CheckSecondHeader();
  void CheckSecondFields(const DEV_HDR_20 &h);
  void CheckV11();
};

void HdrRules::Run() {
  r_.version = GetHdrVersion(h0_.raw);
  if (r_.version == HdrVersion::Unknown) return NoVersion();
  if (r_.version == HdrVersion::V11) return CheckV11();
  CheckV20();
  const uint32_t feat = h0_.h_20x.FeatureBits.get();
  r_.two_volumes = (feat & kFeatV20Layout) == 0 && (feat & kFeatDdc) == kFeatDdc;
  if (r_.two_volumes) CheckSecondHeader();
}

void HdrRules::NoVersion() {
  r_.no_header = std::memcmp(h0_.raw, "XTL:", 4) != 0;
  std::string found = HexBytes(h0_.raw, 8);
  if (r_.no_header) {
    // Say what is there instead, when libblkid knows it.
    const std::string what = dev_.probe != nullptr ? dev_.probe(dev_.ctx) : std::string();
    found = what.empty() ? "no XTL header" : "no XTL header but " + what;
  }
  Field(0, r_.no_header ? CheckCode::NoHeader : CheckCode::Version, false, "XTL:2.0 or XTL:1.1",
        found);
}

void HdrRules::CheckBitSizes(int hdr, const DEV_HDR_20 &h, const std::vector<Allowed> &rules) {
  const int bits = h.BitSizes[0] + h.BitSizes[1] + h.BitSizes[2];
  Field(hdr, CheckCode::BitSizesSum, bits > 0, "more than 0", Dec(static_cast<uint64_t>(bits)));
  for (uint8_t i = 0; i < 8; i++) {
    const Allowed a = i < rules.size() ? rules[i] : Set({0});
    Field(hdr, CheckCode::BitSizes, a.Has(h.BitSizes[i]), a.Text(), Dec(h.BitSizes[i]), i);
  }
}

void HdrRules::CheckCommon(int hdr, const DEV_HDR_20 &h, const DevHdrBuf &raw) {
  Field(hdr, CheckCode::StrReserved, AllZero(raw.raw + 8, 4), "00000000", HexBytes(raw.raw + 8, 4));
  const uint64_t sum = HdrChecksum(raw);
  Field(hdr, CheckCode::Mm3_64, sum == h.mm3_64.get(), HexNum(sum), HexNum(h.mm3_64.get()));
  Field(hdr, CheckCode::MetaVersion, h.MetaVersion.get() == 0x201, "0x201",
        HexNum(h.MetaVersion.get()));
  Expect(hdr, CheckCode::BlockSize, kBlockSize, h.BlockSize.get());
}

void HdrRules::CheckV20() {
  const DEV_HDR_20 &h = h0_.h_20x;
  CheckCommon(0, h, h0_);
  const uint32_t feat = h.FeatureBits.get();
  const bool feat_ok = (feat & ~kKnownFeatures) == 0 && (feat & kFeatAlways) != 0 &&
                       ((feat & kFeatV20Layout) != 0 || (feat & kFeatDdc) == kFeatDdc);
  Field(0, CheckCode::FeatureBits, feat_ok,
        "0x0001, known bits only, 0x2000 or DEDUPE and COMPRESS", HexNum(feat));
  const uint8_t level = (feat & kFeatEcc6) != 0 ? 2 : (feat & kFeatEcc) != 0 ? 1 : 0;
  Expect(0, CheckCode::EccLevel, level, h.EccLevel);
  CheckBitSizes(0, h, BitRules(feat));
  const uint64_t b0 = h.Block0Off.get();
  Field(0, CheckCode::Block0Off, b0 % kSectorSize == 0, "a whole number of sectors", Dec(b0));
  Field(0, CheckCode::MetaDupeCnt, h.MetaDupeCnt > 0, "more than 0", Dec(h.MetaDupeCnt));
  Field(0, CheckCode::WtBlkStripe, h.WtBlkStripe.get() > 0, "more than 0",
        Dec(h.WtBlkStripe.get()));
  const uint64_t phys = h.PhysicalBlocks.get();
  // Only the one-volume layout without compression offers at most its
  // physical blocks: compression and de-dupe scale the logical space, and
  // the VM volume of a small two-volume device is given more by design.
  if ((feat & kFeatV20Layout) != 0 && (feat & kFeatCompress) == 0)
    Field(0, CheckCode::LogicalBlocks, h.LogicalBlocks.get() <= phys,
          "at most PhysicalBlocks " + Dec(phys), Dec(h.LogicalBlocks.get()));
  const uint32_t cluster = h.ClusterSize.get();
  Field(0, CheckCode::ClusterSize, cluster != 0, "more than 0", Dec(cluster));
  if (cluster == 0) return;
  CheckArea(h);
  const uint32_t vm = h.vm_status.get();
  Field(0, CheckCode::VmStatus, vm <= 1, "0 or 1", Dec(vm));
  if (vm == 1) CheckVm(h);
}

// The data area: whole write blocks, inside the device, clear of the header.
void HdrRules::CheckArea(const DEV_HDR_20 &h) {
  const uint64_t phys = h.PhysicalBlocks.get();
  const uint32_t cluster = h.ClusterSize.get();
  const uint64_t b0 = h.Block0Off.get();
  Field(0, CheckCode::PhysicalBlocks, phys % cluster == 0,
        "a multiple of ClusterSize " + Dec(cluster), Dec(phys));
  uint64_t end = 0;
  std::string end_text = AreaEnd(h, phys, &end);
  Field(0, CheckCode::AreaEnd, end <= dev_.size, "at most the device size " + Dec(dev_.size),
        end_text);
  // The driver's writes to the data area must miss the header block.
  uint64_t at = 0;
  if (phys != 0 && !__builtin_mul_overflow(dev_.hdr_sector, uint64_t{kSectorSize}, &at) &&
      at <= UINT64_MAX - kBlockSize)
    Field(0, CheckCode::AreaStart, b0 >= at + kBlockSize || at >= end,
          "clear of the header block, bytes " + Dec(at) + " to " + Dec(at + kBlockSize - 1),
          "bytes " + Dec(b0) + " to " + (end == UINT64_MAX ? end_text : Dec(end - 1)));
}

// The second volume lies beside the first in the same stripe sets: the two
// data areas together fit the device.
void HdrRules::CheckVm(const DEV_HDR_20 &h) {
  Expect(0, CheckCode::VmBlock0Off, h.Block0Off.get(), h.vm_Block0Off.get());
  Expect(0, CheckCode::VmBitSizes, h.BitSizes[0], h.vm_BitSizes[0]);
  const uint64_t phys = h.PhysicalBlocks.get();
  const uint64_t vm_phys = h.vm_PhysicalBlocks.get();
  uint64_t both_end = UINT64_MAX;
  std::string both_text = "beyond 2^64";
  if (phys <= kMaxPba && vm_phys <= kMaxPba) {
    AreaEnd(h, phys + vm_phys, &both_end);
    if (both_end != UINT64_MAX) both_text = Dec(both_end);
  }
  Field(0, CheckCode::VmAreaEnd, both_end <= dev_.size, "at most the device size " + Dec(dev_.size),
        both_text);
}

// The --autovm layout: the VM volume's 512-byte header follows the data
// volume's in the header block. It must be there and fit the first.
void HdrRules::CheckSecondHeader() {
  const uint64_t at = dev_.hdr_sector * kSectorSize;
  if (at / kSectorSize != dev_.hdr_sector || !Inside(at)) {
    Field(1, CheckCode::BeyondDevice, false, "XTL:2.0", "beyond the device end");
    return;
  }
  DevHdrBuf h1{};
  std::memcpy(h1.raw, dev_.read(at, dev_.ctx) + kHdrSize, kHdrSize);
  r_.blocks_read++;
  if (GetHdrVersion(h1.raw) != HdrVersion::V20) {
    Field(1, CheckCode::Version, false, "XTL:2.0", HexBytes(h1.raw, 8));
    return;
  }
  CheckCommon(1, h1.h_20x, h1);
  CheckSecondFields(h1.h_20x);
}

void HdrRules::CheckSecondFields(const DEV_HDR_20 &h) {
  const DEV_HDR_20 &d = h0_.h_20x;
  const uint32_t feat = h.FeatureBits.get();
  Field(1, CheckCode::FeatureBits,
        (feat & ~kKnownFeatures) == 0 && (feat & (kFeatDdc | kFeatV20Layout)) == 0 &&
            (feat & kFeatAlways) != 0,
        "0x0001, known bits only, no DEDUPE, COMPRESS or 0x2000", HexNum(feat));
  CheckBitSizes(1, h, BitRules(feat & ~kFeatDdc & ~kFeatV20Layout));
  Expect(1, CheckCode::ClusterSize, d.ClusterSize.get(), h.ClusterSize.get());
  Expect(1, CheckCode::WtBlkStripe, d.WtBlkStripe.get(), h.WtBlkStripe.get());
  Expect(1, CheckCode::MetaDupeCnt, d.MetaDupeCnt, h.MetaDupeCnt);
  // The VM volume starts after its first stripe set (the header block's)
  // and ends before the data volume begins.
  Expect(1, CheckCode::Block0Off, uint64_t{d.ClusterSize.get()} * kBlockSize * d.WtBlkStripe.get(),
         h.Block0Off.get());
  if (h.ClusterSize.get() == 0) return;
  uint64_t end = 0;
  std::string end_text = AreaEnd(h, h.PhysicalBlocks.get(), &end);
  Field(1, CheckCode::AreaEnd, end <= d.Block0Off.get(),
        "at most Block0Off of header 0, " + Dec(d.Block0Off.get()), end_text);
}

void HdrRules::CheckV11() {
  const DEV_HDR_11 &h = h0_.h_11;
  Field(0, CheckCode::StrReserved, AllZero(h0_.raw + 8, 4), "00000000", HexBytes(h0_.raw + 8, 4));
  Field(0, CheckCode::Mm3_64, true, "not available", "not available");
  Expect(0, CheckCode::BlockSize, kBlockSize, static_cast<uint32_t>(h.BlockSize.get()));
  const int32_t b0 = h.Block0Off.get();
  const int32_t phys = h.PhysicalBlocks.get();
  const int32_t cluster = h.ClusterSize.get();
  Field(0, CheckCode::Block0Off, b0 >= 0, "0 or more", std::to_string(b0));
  Field(0, CheckCode::PhysicalBlocks, phys >= 0, "0 or more", std::to_string(phys));
  Field(0, CheckCode::LogicalBlocks, h.LogicalBlocks.get() >= 0, "0 or more",
        std::to_string(h.LogicalBlocks.get()));
  Field(0, CheckCode::ClusterSize, cluster > 0, "more than 0", std::to_string(cluster));
  if (b0 < 0 || phys < 0) return;
  const uint64_t end = static_cast<uint64_t>(b0) + static_cast<uint64_t>(phys) * kBlockSize;
  Field(0, CheckCode::AreaEnd, end <= dev_.size, "at most the device size " + Dec(dev_.size),
        Dec(end));
}

}  // namespace

void CheckHeaders(const CheckDev &dev, CheckReport &r) { HdrRules(dev, r).Run(); }
