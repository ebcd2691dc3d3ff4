// SPDX-License-Identifier: Apache-2.0
// The frame of the --json documents of status, dump, log scan and log disp.
#include "jsondoc.h"

#include <cerrno>
#include <string>

#include "fatal.h"

void JsonHead(JsonWriter &w, int schema) {
  w.MemberString("program", "xtl-maint");
  w.MemberString("version", XTL_VERSION);
  w.MemberInt("schema", schema);
}

void PrintJsonError(FILE *out, int schema, const std::string &message, int err) {
  JsonWriter w(out, true);
  w.BeginObject();
  JsonHead(w, schema);
  w.Key("error");
  w.BeginObject();
  // The message as it goes to standard error, without its line break.
  w.MemberString("message", message.substr(0, message.find_last_not_of('\n') + 1));
  w.Key("errno");
  if (err >= 0)
    w.Int(err);
  else
    w.Null();
  w.EndObject();
  w.EndObject();
  w.Finish();
}

void RunJsonDoc(const char *what, int schema, const std::function<void(JsonWriter &)> &build) {
  std::string doc;
  try {
    JsonWriter w(&doc, true);
    w.BeginObject();
    JsonHead(w, schema);
    build(w);
    w.EndObject();
    w.Finish();
  } catch (FatalError &e) {
    // Standard output carries the document alone.
    e.to_stderr = true;
    if (e.status == 1) PrintJsonError(stdout, schema, e.text, e.sys_errno);
    throw;
  }
  std::fputs(doc.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    FatalSys(true, errno, "%s: error writing the report - %d\n", what, errno);
}
