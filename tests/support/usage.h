// SPDX-License-Identifier: Apache-2.0
// The usage and help texts of both programs, as their tests expect them.
#pragma once

#include <string>

#include "image.h"

namespace support {

// xtl-maint's usage text (kept byte for byte in a file of its own).

inline const std::string kMaintUsage = ReadAll(XTL_TEST_DATA "/xtl-maint-usage.txt");
// What "check" prints when its words are wrong.
inline const std::string kMaintCheckUsage =
    "usage: xtl-maint check device [first [count]] [--json]\n";

// What --help adds after the usage text: the --force line, then the pointer.
inline const std::string kMaintHelpForce =
    "   --force   format, log post, log clear: skip the check of what the device holds\n"
    "   --undo=FILE   format, log post, log clear: save what is overwritten in FILE first\n"
    "   undo FILE device {--force}   write the contents saved in FILE back\n"
    "\n";
// Then the image and --json lines.
inline const std::string kMaintHelpImage =
    "   image device file {--log=log_device}\n"
    "   --json    check, status, dump, log scan, log disp: one JSON document\n"
    "\n";
inline const std::string kMaintManPointer =
    "See the manual page xtl-maint(8) for every command and option.\n";

inline const std::string kBenchUsage =
    "\nusage: vexbench {options} DeviceName\n\n      -c   clear device\n      -r   test random reads\n"
    "      -w   test random writes\n      -z   test with zero filled buffer\n"
    "      -f   test with .... filled buffer\n      -q   bypass block fill/test logic\n"
    "      -u   use /dev/urandom instead of MT PRNG for block offsets\n"
    "      -e   do not seed MT PRNG so patterns are repeatable\n\n"
    "      --size=nnn   set device size in MB (def 4GB)\n"
    "      --th1=nnn    set thread count #1 (def 1)\n      --th2=nnn    set thread count #2 (def 10)\n"
    "      --th3=nnn    set thread count #3 (def 40)\n"
    "      --tm=nnn     set test time in seconds (def 10)\n\n";

inline const std::string kBenchManPointer = "See the manual page vexbench(8) for every option and mode.\n";

// What --help prints: the usage text with the options it does not list, then the pointer.
inline const std::string kBenchHelp =
    kBenchUsage.substr(0, kBenchUsage.size() - 1) +
    "      --qd=nnn     keep nnn transfers in flight per worker, io_uring (def 1)\n"
    "      --mix=P[,P]  mixed table(s): P per cent of the transfers read (0 to 100)\n"
    "      --rate=nnn   at most nnn transfers per second per cell (def no limit)\n\n" + kBenchManPointer;

}  // namespace support
