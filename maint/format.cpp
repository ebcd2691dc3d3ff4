#include "fatal.h"
#include "xtl.h"

void DoFormat() { Fatal("format: not available in this build\n"); }
