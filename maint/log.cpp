#include "fatal.h"
#include "xtl.h"

void CopyLog() { Fatal("log: not available in this build\n"); }
void ScanLog() { Fatal("log: not available in this build\n"); }
void DispLog() { Fatal("log: not available in this build\n"); }
void PostLog() { Fatal("log: not available in this build\n"); }
void ClearLog() { Fatal("log: not available in this build\n"); }
