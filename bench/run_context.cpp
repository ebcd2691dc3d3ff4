// SPDX-License-Identifier: Apache-2.0
// The state a run keeps process-wide, for the signal handlers alone.
#include "bench.h"

volatile sig_atomic_t SigFlg1;
volatile sig_atomic_t SigFlg2;
volatile sig_atomic_t SigFlg3;

LiveWorkers Live = {{}, -1};
