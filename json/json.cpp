// SPDX-License-Identifier: Apache-2.0
// The JSON writer of both programs.
#include "json.h"

#include <charconv>
#include <cmath>

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 if it is not one.
size_t Utf8Len(std::string_view s, size_t i) {
  const auto c0 = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t cp;
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    len = 2;
    cp = c0 & 0x1FU;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    len = 3;
    cp = c0 & 0x0FU;
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    len = 4;
    cp = c0 & 0x07U;
  } else {
    return 0;  // ASCII is handled by the caller; 0x80-0xC1 and 0xF5-0xFF never start one
  }
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; k++) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0U) != 0x80U) return 0;
    cp = (cp << 6) | (c & 0x3FU);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF.
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) ||
      cp > 0x10FFFF)
    return 0;
  return len;
}

}  // namespace

JsonWriter::JsonWriter(FILE *out, bool pretty) : file_(out), pretty_(pretty) {}
JsonWriter::JsonWriter(std::string *out, bool pretty) : str_(out), pretty_(pretty) {}

void JsonWriter::Raw(std::string_view s) {
  if (str_ != nullptr) {
    str_->append(s);
  } else if (!s.empty() && std::fwrite(s.data(), 1, s.size(), file_) != s.size()) {
    failed_ = true;
  }
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_member_.empty()) return;
  if (has_member_.back()) Raw(one_line_.back() && pretty_ ? ", " : ",");
  has_member_.back() = true;
  if (pretty_ && !one_line_.back()) {
    Raw("\n");
    Raw(std::string(2 * has_member_.size(), ' '));
  }
}

void JsonWriter::Close(char c) {
  if (has_member_.empty()) {
    failed_ = true;  // nothing open
    return;
  }
  const bool any = has_member_.back() && !one_line_.back();
  has_member_.pop_back();
  one_line_.pop_back();
  if (pretty_ && any) {
    Raw("\n");
    Raw(std::string(2 * has_member_.size(), ' '));
  }
  Raw(std::string_view(&c, 1));
}

void JsonWriter::BeginObject() {
  BeforeValue();
  Raw("{");
  has_member_.push_back(false);
  one_line_.push_back(false);
}

void JsonWriter::EndObject() { Close('}'); }

void JsonWriter::BeginArray(bool one_line) {
  BeforeValue();
  Raw("[");
  has_member_.push_back(false);
  one_line_.push_back(one_line);
}

void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Key(std::string_view k) {
  BeforeValue();
  Quoted(k);
  Raw(pretty_ ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::Quoted(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      i++;
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      i++;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      i++;
    } else if (size_t len = Utf8Len(s, i); len != 0) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\\ufffd";
      i++;
    }
  }
  out += '"';
  Raw(out);
}

void JsonWriter::String(std::string_view s) {
  BeforeValue();
  Quoted(s);
}

void JsonWriter::Int(int64_t v) {
  BeforeValue();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  Raw(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void JsonWriter::Uint(uint64_t v) {
  BeforeValue();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  Raw(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void JsonWriter::Double(double v) {
  BeforeValue();
  if (!std::isfinite(v)) {
    Raw("null");
    return;
  }
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  Raw(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void JsonWriter::Bool(bool v) {
  BeforeValue();
  Raw(v ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  Raw("null");
}

bool JsonWriter::Finish() {
  Raw("\n");
  if (file_ != nullptr && std::fflush(file_) != 0) failed_ = true;
  if (file_ != nullptr && std::ferror(file_)) failed_ = true;
  return !failed_ && has_member_.empty() && !after_key_;
}
