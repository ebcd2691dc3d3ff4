// SPDX-License-Identifier: Apache-2.0
// The check's report: one line per problem and the summary line, or the
// same as one JSON document.
#include "check_report.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>

#include "check_hdr.h"
#include "json.h"
#include "jsondoc.h"

namespace {

const char *VersionText(HdrVersion v) {
  return v == HdrVersion::V20 ? "XTL:2.0" : v == HdrVersion::V11 ? "XTL:1.1" : "unknown";
}

// Every problem code: its stable JSON name (notes/check.md lists them) and
// the field it names in the text report, "%u" standing for the byte.
struct CodeRow {
  CheckCode code;
  const char *name;
  const char *field;
};
constexpr CodeRow kCodes[] = {
    {CheckCode::NoHeader, "header.no_header", "Str"},
    {CheckCode::Version, "header.version", "Str"},
    {CheckCode::BeyondDevice, "header.beyond_device", "Str"},
    {CheckCode::StrReserved, "header.str_reserved", "Str[8..11]"},
    {CheckCode::Mm3_64, "header.mm3_64", "mm3_64"},
    {CheckCode::MetaVersion, "header.meta_version", "MetaVersion"},
    {CheckCode::BlockSize, "header.block_size", "BlockSize"},
    {CheckCode::FeatureBits, "header.feature_bits", "FeatureBits"},
    {CheckCode::EccLevel, "header.ecc_level", "EccLevel"},
    {CheckCode::BitSizesSum, "header.bit_sizes_sum", "BitSizes[0..2] sum"},
    {CheckCode::BitSizes, "header.bit_sizes", "BitSizes[%u]"},
    {CheckCode::Block0Off, "header.block0_off", "Block0Off"},
    {CheckCode::MetaDupeCnt, "header.meta_dupe_cnt", "MetaDupeCnt"},
    {CheckCode::WtBlkStripe, "header.wtblk_stripe", "WtBlkStripe"},
    {CheckCode::LogicalBlocks, "header.logical_blocks", "LogicalBlocks"},
    {CheckCode::ClusterSize, "header.cluster_size", "ClusterSize"},
    {CheckCode::PhysicalBlocks, "header.physical_blocks", "PhysicalBlocks"},
    {CheckCode::AreaEnd, "header.area_end", "data area end"},
    {CheckCode::AreaStart, "header.area_start", "data area start"},
    {CheckCode::VmStatus, "header.vm_status", "vm_status"},
    {CheckCode::VmBlock0Off, "header.vm_block0_off", "vm_Block0Off"},
    {CheckCode::VmBitSizes, "header.vm_bit_sizes", "vm_BitSizes[0]"},
    {CheckCode::VmAreaEnd, "header.vm_area_end", "vm data area end"},
    {CheckCode::WtBlkMm3_64, "wtblk.mm3_64", "mm3_64"},
    {CheckCode::TornSegment, "wtblk.torn_segment", "Str"},
    {CheckCode::EmptySegment, "wtblk.empty_segment", "segment blocks"},
    {CheckCode::SegmentOverrun, "wtblk.segment_overrun", "segment blocks"},
    {CheckCode::WtBlkBeyondDevice, "wtblk.beyond_device", "block address"},
};

// The table holds every code once, at the code's own place.
constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kCodes); i++)
    if (static_cast<size_t>(kCodes[i].code) != i) return false;
  return std::size(kCodes) == kCheckCodes;
}
static_assert(InOrder(), "kCodes: one row per CheckCode, in the enum's order");

const CodeRow &Row(CheckCode code) { return kCodes[static_cast<size_t>(code)]; }

// The layout's every header passed its checks: the verdict.
bool HeadersSound(const CheckReport &r) {
  return r.HeaderSound(0) && (!r.two_volumes || r.HeaderSound(1));
}

}  // namespace

const char *CheckCodeName(CheckCode code) { return Row(code).name; }

std::string CheckFieldName(CheckCode code, uint8_t byte) {
  std::string name = Row(code).field;
  const size_t at = name.find("%u");
  if (at != std::string::npos) name.replace(at, 2, std::to_string(byte));
  return name;
}

std::string CheckProblemText(const CheckProblem &p) {
  std::string at = "header " + std::to_string(p.header);
  if (p.header < 0)
    at = "write block " + Dec(p.wtblk) + " offset " + Dec(p.off) + " pba " + Dec(p.pba);
  return at + ": " + CheckFieldName(p.code, p.byte) + ": expected " + p.expected + ", found " +
         p.found;
}

void PrintCheck(FILE *out, const CheckReport &r) {
  for (const CheckProblem &p : r.problems) std::fprintf(out, "%s\n", CheckProblemText(p).c_str());
  const bool sound = HeadersSound(r);
  std::string hdr = r.no_header ? "no XTL header" : sound ? "header sound" : "header damaged";
  if (r.version == HdrVersion::V11 && sound) hdr += " (XTL:1.1, checksum not available)";
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


namespace {

// An expected or found value: a whole decimal number is written as a
// number; everything else (hexadecimal checksums and bit masks, which a
// double could not hold, and the texts) as a string.
void Value(JsonWriter &w, const std::string &v) {
  const bool neg = !v.empty() && v[0] == '-';
  const std::string digits = neg ? v.substr(1) : v;
  bool number = !digits.empty() && digits.size() <= 18 && (digits[0] != '0' || digits.size() == 1);
  for (char c : digits) number = number && c >= '0' && c <= '9';
  if (!number) return w.String(v);
  const auto n = static_cast<int64_t>(std::stoull(digits));
  w.Int(neg ? -n : n);
}

// A finding's "expected" and "found" members.
void ExpectedFound(JsonWriter &w, const std::string &expected, const std::string &found) {
  w.Key("expected");
  Value(w, expected);
  w.Key("found");
  Value(w, found);
}

void Head(JsonWriter &w) { JsonHead(w, kCheckJsonSchema); }

}  // namespace

namespace {

void HeaderJson(JsonWriter &w, const CheckReport &r) {
  std::string checksum = "not checked";
  for (const CheckField &f : r.fields)
    if (f.header == 0 && f.code == CheckCode::Mm3_64)
      checksum = r.version == HdrVersion::V11 ? "not available" : f.ok ? "verified" : "mismatch";
  w.Key("header");
  w.BeginObject();
  w.MemberString("version", VersionText(r.version));
  w.MemberBool("two_volumes", r.two_volumes);
  w.MemberString("checksum", checksum);
  w.MemberString("verdict", HeadersSound(r) ? "sound" : "damaged");
  w.Key("fields");
  w.BeginArray();
  for (const CheckField &f : r.fields) {
    w.BeginObject();
    w.MemberInt("header", f.header);
    w.MemberString("field", CheckFieldName(f.code, f.byte));
    w.MemberString("code", CheckCodeName(f.code));
    w.MemberBool("ok", f.ok);
    ExpectedFound(w, f.expected, f.found);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
}

void WtBlksJson(JsonWriter &w, const CheckReport &r) {
  w.Key("write_blocks");
  w.BeginObject();
  w.MemberBool("checked", r.walked);
  const std::pair<const char *, uint64_t> counts[] = {
      {"total", r.total},         {"first", r.first},
      {"count", r.count},         {"sound", r.sound},
      {"never_written", r.never_written},
      {"damaged", r.damaged},     {"blocks_read", r.blocks_read}};
  for (const auto &[key, n] : counts) {
    w.MemberUint(key, n);
  }
  w.EndObject();
}

void ProblemJson(JsonWriter &w, const CheckProblem &p) {
  w.BeginObject();
  w.MemberString("code", CheckCodeName(p.code));
  w.MemberString("text", CheckProblemText(p));
  if (p.header >= 0) {
    w.MemberInt("header", p.header);
  } else {
    w.MemberUint("write_block", p.wtblk);
    w.MemberUint("offset", p.off);
    w.MemberUint("pba", p.pba);
  }
  w.MemberString("field", CheckFieldName(p.code, p.byte));
  ExpectedFound(w, p.expected, p.found);
  w.EndObject();
}

}  // namespace

void PrintCheckJson(FILE *out, const CheckReport &r, const std::string &device) {
  JsonWriter w(out, true);
  w.BeginObject();
  Head(w);
  w.MemberString("device", device);
  w.MemberUint("device_bytes", r.dev_size);
  w.MemberUint("header_sector", r.hdr_sector);
  HeaderJson(w, r);
  WtBlksJson(w, r);
  w.Key("problems");
  w.BeginArray();
  for (const CheckProblem &p : r.problems) ProblemJson(w, p);
  w.EndArray();
  w.MemberBool("damaged", r.Damaged());
  w.EndObject();
  w.Finish();  // the caller checks the stream
}

void PrintCheckJsonError(FILE *out, const std::string &message, int err) {
  PrintJsonError(out, kCheckJsonSchema, message, err);
}
