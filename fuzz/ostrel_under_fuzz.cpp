// The decoder as the fuzzer links it: allocations tracked, and main renamed
// so that libFuzzer's own entry point runs.
#include "tracked_alloc.h"
#define main ostrel_main
#include "../ostrel.cpp"
