// SPDX-License-Identifier: Apache-2.0
// Every test helper of the support library.
#pragma once

#include "capture.h"
#include "failure.h"
#include "image.h"
#include "log_summary.h"
#include "loop.h"
#include "run.h"
#include "scratch.h"
#include "usage.h"
