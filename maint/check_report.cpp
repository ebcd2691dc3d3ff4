// The check's report: one line per problem and the summary line, or the
// same as one JSON document.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "check.h"
#include "check_hdr.h"

namespace {

// Length of the valid UTF-8 sequence at s[i] (a byte of 0x80 or above), 0
// if none starts there: no overlong forms, surrogates or values past U+10FFFF.
size_t Utf8Len(const std::string &s, size_t i) {
  const auto c0 = static_cast<unsigned char>(s[i]);
  const size_t len = c0 >= 0xc2 && c0 <= 0xdf   ? 2
                     : c0 >= 0xe0 && c0 <= 0xef ? 3
                     : c0 >= 0xf0 && c0 <= 0xf4 ? 4
                                                : 0;
  if (len == 0 || s.size() - i < len) return 0;
  uint32_t cp = c0 & (0x7fU >> len);
  for (size_t k = 1; k < len; k++) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xc0U) != 0x80U) return 0;
    cp = (cp << 6) | (c & 0x3fU);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || (cp >= 0xd800 && cp <= 0xdfff) ||
      cp > 0x10ffff)
    return 0;
  return len;
}

std::string JsonStr(const std::string &s) {
  std::string o = "\"";
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = 1;
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", c);
      o += e;
    } else if (c < 0x80) {
      o += static_cast<char>(c);
    } else if ((len = Utf8Len(s, i)) != 0) {
      o.append(s, i, len);
    } else {
      o += "\\ufffd";
      len = 1;
    }
    i += len;
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

