// SPDX-License-Identifier: Apache-2.0
// The vexbench tests name the helpers of the support library (captured
// output, scratch files, loop devices, the runner) unqualified.
#pragma once

#include "support.h"

using namespace support;
