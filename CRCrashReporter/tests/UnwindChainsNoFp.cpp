// The walk tests' call chains without frame pointers (-fomit-frame-pointer for this file).
#include "UnwindChains.h"

#define CHAIN(name) unwind_chain_nofp_##name
#include "UnwindChains.inc"
