// The walk tests' call chains with frame pointers (the test target's own flags).
#include "UnwindChains.h"

#define CHAIN(name) unwind_chain_fp_##name
#include "UnwindChains.inc"
