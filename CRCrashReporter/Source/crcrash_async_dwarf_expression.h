#pragma once
// Evaluator of DWARF location expressions (the DW_OP stack language) found in call-frame information.
// Async-signal-safe: a fixed stack of 100 words, a budget of operations so that no expression loops
// forever, memory read only through task reads.

#include <cstddef>
#include <cstdint>

#include "crcrash_async_dwarf_encoding.h"
#include "crcrash_async_thread_state.h"

inline constexpr std::size_t CRCRASH_DWARF_EXPRESSION_STACK_SIZE = 100;
// Operations one evaluation may execute; a branch back can otherwise spin forever inside the handler.
inline constexpr std::uint32_t CRCRASH_DWARF_EXPRESSION_MAX_OPERATIONS = 10000;

// Runs the expression at address + offset, length bytes, inside `mobj`. The initial values are pushed
// in array order (the last ends on top). The result is the top of the stack at the end.
template <typename machine_ptr, typename machine_ptr_s>
crcrash_error_t crcrash_async_dwarf_expression_eval(const crcrash_async_mobject_t* mobj, task_t task,
                                                    const crcrash_async_thread_state_t* thread_state,
                                                    const crcrash_async_byteorder_t* byteorder,
                                                    std::uint64_t address, std::int64_t offset,
                                                    std::uint64_t length, const machine_ptr* initial_values,
                                                    std::size_t initial_count, machine_ptr* result);

extern template crcrash_error_t crcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
    const crcrash_async_mobject_t*, task_t, const crcrash_async_thread_state_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, std::int64_t, std::uint64_t, const std::uint32_t*,
    std::size_t, std::uint32_t*);
extern template crcrash_error_t crcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
    const crcrash_async_mobject_t*, task_t, const crcrash_async_thread_state_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, std::int64_t, std::uint64_t, const std::uint64_t*,
    std::size_t, std::uint64_t*);
