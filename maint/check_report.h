// SPDX-License-Identifier: Apache-2.0
// The check's report: one line per problem and the summary line, or the
// same as one JSON document. It reads a finished CheckReport (check.h) and
// looks each problem's code up in one table: its stable JSON name and the
// name of its field in the text.
#pragma once

#include <cstdio>
#include <string>

#include "check.h"

// The stable JSON name of a code ("header.mm3_64", "wtblk.torn_segment";
// the list is in notes/check.md).
const char *CheckCodeName(CheckCode code);
// The field a code names in the text report ("MetaVersion", "segment
// blocks"); the BitSizes code names its byte ("BitSizes[3]").
std::string CheckFieldName(CheckCode code, uint8_t byte);

// One line per problem, then the summary line.
void PrintCheck(FILE *out, const CheckReport &r);
// The line of one problem in the report, without its line break.
std::string CheckProblemText(const CheckProblem &p);
// The same as one JSON document (json/json.h: valid UTF-8 in the texts
// passes through, other bytes become U+FFFD, control bytes are escaped),
// headed by the program, its version and the document's schema number.
constexpr int kCheckJsonSchema = 2;
void PrintCheckJson(FILE *out, const CheckReport &r, const std::string &device);
// The document of a --json run that could not proceed: the program, the
// message (as printed on standard error) and the system error number, or
// null when the failure was not a system call's.
void PrintCheckJsonError(FILE *out, const std::string &message, int err);
