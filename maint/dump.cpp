#include "fatal.h"
#include "xtl.h"

void DoDump() { Fatal("dump: not available in this build\n"); }
