// SPDX-License-Identifier: Apache-2.0
// A small streaming JSON writer, shared by both programs: vexbench's results
// document and xtl-maint's check --json.
//
// The caller opens and closes objects and arrays and gives a key before every
// member of an object; the writer places commas, blanks and line breaks.
// Strings are byte strings (device paths): '"' and '\' are escaped, control
// bytes and DEL are written as \u00XX, valid UTF-8 passes through unchanged,
// and every byte that is not part of a valid UTF-8 sequence (stray
// continuation bytes, overlong forms, surrogates, code points above U+10FFFF,
// truncated sequences) is replaced by U+FFFD, written as \ufffd, so the
// output is always valid UTF-8. Doubles are written in their shortest form
// that reads back to the same value; NaN and infinities are written as null.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
 public:
  // Writes to out (not owned); pretty: two-blank indentation, one member per line.
  JsonWriter(FILE *out, bool pretty);
  // Appends to *out (not owned).
  JsonWriter(std::string *out, bool pretty);

  void BeginObject();
  void EndObject();
  // one_line: the elements stay on the array's line even when pretty (long
  // arrays of numbers).
  void BeginArray(bool one_line = false);
  void EndArray();
  // The key of the next member of the open object.
  void Key(std::string_view k);
  void String(std::string_view s);
  void Int(int64_t v);
  void Uint(uint64_t v);
  void Double(double v);
  void Bool(bool v);
  void Null();

  // A member of the open object: its key, then its value.
  void MemberString(std::string_view k, std::string_view v) { Key(k), String(v); }
  void MemberInt(std::string_view k, int64_t v) { Key(k), Int(v); }
  void MemberUint(std::string_view k, uint64_t v) { Key(k), Uint(v); }
  void MemberDouble(std::string_view k, double v) { Key(k), Double(v); }
  void MemberBool(std::string_view k, bool v) { Key(k), Bool(v); }

  // Ends the document with a newline and flushes a FILE output. False when a
  // write to the FILE failed or the objects and arrays are not all closed.
  bool Finish();

 private:
  void Raw(std::string_view s);
  void BeforeValue();
  void Close(char c);
  void Quoted(std::string_view s);

  FILE *file_ = nullptr;
  std::string *str_ = nullptr;
  bool pretty_;
  bool after_key_ = false;
  bool failed_ = false;
  // One entry per open container: whether it holds a member yet.
  std::vector<bool> has_member_;
  std::vector<bool> one_line_;  // per open container: no line breaks inside
};
