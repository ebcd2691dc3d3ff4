// SPDX-License-Identifier: Apache-2.0
// The state of a run that is not a setting.
#include <cstdlib>

#include "bench.h"

volatile sig_atomic_t SigFlg1;
volatile sig_atomic_t SigFlg2;
volatile sig_atomic_t SigFlg3;

// Never destroyed: the buffers stay reachable until the process has ended.
RunContext &RunCtx = *new RunContext;

void ResetRunContext() {
  for (void *p : RunCtx.BufAllocs) std::free(p);
  RunCtx = RunContext{};
}
