#pragma once
// The call chains of the walk tests, built once with frame pointers and once without.

extern "C" {
typedef int (*unwind_chain_leaf)(void* context);

#define UNWIND_CHAIN_DECLARE(prefix)                                      \
  int prefix##_a(int x, unwind_chain_leaf leaf, void* context);           \
  int prefix##_recurse(int depth, unwind_chain_leaf leaf, void* context); \
  int prefix##_noreturn_a(int x, unwind_chain_leaf leaf, void* context);  \
  int prefix##_fault_a(int* volatile* target, int x);

UNWIND_CHAIN_DECLARE(unwind_chain_fp)
UNWIND_CHAIN_DECLARE(unwind_chain_nofp)
#undef UNWIND_CHAIN_DECLARE
}
