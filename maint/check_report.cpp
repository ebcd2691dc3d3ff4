// SPDX-License-Identifier: Apache-2.0
// The check's report: one line per problem and the summary line, or the
// same as one JSON document.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "check.h"
#include "check_hdr.h"
#include "json.h"
#include "jsondoc.h"

namespace {

const char *VersionText(HdrVersion v) {
  return v == HdrVersion::V20 ? "XTL:2.0" : v == HdrVersion::V11 ? "XTL:1.1" : "unknown";
}

}  // namespace

bool CheckReport::HeaderSound() const {
  for (const CheckField &f : fields)
    if (!f.ok) return false;
  return !fields.empty();
}


std::string CheckProblemText(const CheckProblem &p) {
  std::string at = "header " + std::to_string(p.header);
  if (p.header < 0)
    at = "write block " + Dec(p.wtblk) + " offset " + Dec(p.off) + " pba " + Dec(p.pba);
  return at + ": " + p.field + ": expected " + p.expected + ", found " + p.found;
}

void PrintCheck(FILE *out, const CheckReport &r) {
  for (const CheckProblem &p : r.problems) std::fprintf(out, "%s\n", CheckProblemText(p).c_str());
  std::string hdr = r.no_header       ? "no XTL header"
                    : r.HeaderSound() ? "header sound"
                                      : "header damaged";
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


namespace {

// The stable codes of the header checks, by the field name of the report
// (notes/check.md lists them). A BitSizes byte shares one code.
struct FieldCode {
  const char *field;
  const char *code;
};
constexpr FieldCode kHeaderCodes[] = {
    {"Str[8..11]", "header.str_reserved"},
    {"mm3_64", "header.mm3_64"},
    {"MetaVersion", "header.meta_version"},
    {"BlockSize", "header.block_size"},
    {"FeatureBits", "header.feature_bits"},
    {"EccLevel", "header.ecc_level"},
    {"BitSizes[0..2] sum", "header.bit_sizes_sum"},
    {"Block0Off", "header.block0_off"},
    {"MetaDupeCnt", "header.meta_dupe_cnt"},
    {"WtBlkStripe", "header.wtblk_stripe"},
    {"LogicalBlocks", "header.logical_blocks"},
    {"ClusterSize", "header.cluster_size"},
    {"PhysicalBlocks", "header.physical_blocks"},
    {"data area end", "header.area_end"},
    {"data area start", "header.area_start"},
    {"vm_status", "header.vm_status"},
    {"vm_Block0Off", "header.vm_block0_off"},
    {"vm_BitSizes[0]", "header.vm_bit_sizes"},
    {"vm data area end", "header.vm_area_end"},
};

bool StartsWith(const std::string &s, const char *prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

const char *HeaderCode(const std::string &field, const std::string &found) {
  if (field == "Str") {
    if (StartsWith(found, "no XTL header")) return "header.no_header";
    if (found == "beyond the device end") return "header.beyond_device";
    return "header.version";
  }
  if (StartsWith(field, "BitSizes[") && field != "BitSizes[0..2] sum") return "header.bit_sizes";
  for (const FieldCode &c : kHeaderCodes)
    if (field == c.field) return c.code;
  return "header.other";
}

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

const char *CheckProblemCode(const CheckProblem &p) {
  if (p.header >= 0) return HeaderCode(p.field, p.found);
  if (p.field == "mm3_64") return "wtblk.mm3_64";
  if (p.field == "Str") return "wtblk.torn_segment";
  if (p.field == "segment blocks")
    return p.found == "0" ? "wtblk.empty_segment" : "wtblk.segment_overrun";
  if (p.field == "block address") return "wtblk.beyond_device";
  return "wtblk.other";
}

namespace {

void HeaderJson(JsonWriter &w, const CheckReport &r) {
  std::string checksum = "not checked";
  for (const CheckField &f : r.fields)
    if (f.header == 0 && f.field == "mm3_64")
      checksum = r.version == HdrVersion::V11 ? "not available" : f.ok ? "verified" : "mismatch";
  w.Key("header");
  w.BeginObject();
  w.MemberString("version", VersionText(r.version));
  w.MemberBool("two_volumes", r.two_volumes);
  w.MemberString("checksum", checksum);
  w.MemberString("verdict", r.HeaderSound() ? "sound" : "damaged");
  w.Key("fields");
  w.BeginArray();
  for (const CheckField &f : r.fields) {
    w.BeginObject();
    w.MemberInt("header", f.header);
    w.MemberString("field", f.field);
    w.MemberString("code", HeaderCode(f.field, f.found));
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
  w.MemberString("code", CheckProblemCode(p));
  w.MemberString("text", CheckProblemText(p));
  if (p.header >= 0) {
    w.MemberInt("header", p.header);
  } else {
    w.MemberUint("write_block", p.wtblk);
    w.MemberUint("offset", p.off);
    w.MemberUint("pba", p.pba);
  }
  w.MemberString("field", p.field);
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
