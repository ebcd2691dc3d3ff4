// SPDX-License-Identifier: Apache-2.0
// Runs a program as a child: its arguments, standard input, captured output
// and status, a time limit, and optionally a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace support {

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Where the child's standard output and error go.
enum class Streams {
  Separate,  // one pipe each: out and err
  Merged,    // one pipe for both, in the order written: out
  TtyErr,    // stdout on a pipe (out), stderr on a pseudo-terminal in raw mode (err)
  TtyBoth,   // both on one pseudo-terminal in raw mode, in order: out
  TtyIn,     // stdin a pseudo-terminal in raw mode that holds input; out and err on pipes
};

// Runs argv[0] (a path) with argv and waits for it and for its output to
// end. After timeout seconds (0: never) SIGALRM ends the child: the alarm
// survives the exec. Standard input holds input; empty, it reads as
// /dev/null would.
Result Run(const std::vector<std::string> &argv, Streams streams = Streams::Separate,
           unsigned timeout = 0, const std::string &input = "");

// Starts argv[0] with stdin /dev/null and stdout and stderr on out_fd, and
// returns its pid at once; the caller waits for it.
pid_t Spawn(const std::vector<std::string> &argv, int out_fd, unsigned timeout = 0);

// The standard output of a shell command, trailing blanks and newlines cut.
std::string Shell(const std::string &cmd);

}  // namespace support
