// SPDX-License-Identifier: Apache-2.0
// The --json documents of status, dump, log scan and log disp, laid out as
// check's (check.h): written by the one JSON writer (json/json.h), headed by
// the program, its version and the document's schema number, numbers as
// JSON numbers, the members named as the text output names its fields.
// notes/json.md shows each.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "json.h"

inline constexpr int kStatusJsonSchema = 1;
inline constexpr int kDumpJsonSchema = 1;
inline constexpr int kLogJsonSchema = 1;

// "program", "version" and "schema", the first members of every document.
void JsonHead(JsonWriter &w, int schema);

// The document of a command that could not proceed: the head, then "error":
// {"message" (as printed on standard error, without its line break),
// "errno" (err, or null when err < 0)}.
void PrintJsonError(FILE *out, int schema, const std::string &message, int err);

// Builds a document with build (into the string it is given, nothing printed
// meanwhile), then prints it on standard output and checks the stream
// ("<what>: error writing the report - %d\n"). A failure prints its message
// on standard error and, in the document's place, check's error document:
// {"program", "version", "schema", "error": {"message", "errno"}}.
void RunJsonDoc(const char *what, int schema, const std::function<void(JsonWriter &)> &build);

// The commands with --json.
void StatusJson();
void DumpJson();
void LogJson(bool entries);  // log scan; with entries, log disp
