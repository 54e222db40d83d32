#pragma once
// Threads of the own process: listing them, stopping them in a signal handler that parks them on a
// futex, and reading the registers they were stopped with. Everything but arming is async-signal-safe.

#include <cstddef>
#include <cstdint>

#include "CRMach.h"

namespace platform::crash {

// Chooses the suspension signal (the first real-time signal from SIGRTMIN+4 that nobody handles) and
// installs its handler. Normal context, once; later calls return the chosen signal. 0 when none is free.
int threads_arm();
int threads_signal();

// The ids of the own threads, read from /proc/self/task with getdents64 into the caller's buffer.
// KERN_RESOURCE_SHORTAGE when there are more than `capacity` (the first `capacity` are given).
kern_return_t task_threads(thread_t* threads, std::size_t capacity, std::size_t* count);

// Stops every listed thread but the caller: all are signalled first, then awaited under one deadline.
// A thread that does not answer in time stays unsuspended and reading its state fails. The default
// leaves room for a loaded machine, where a thread may wait well over 100 ms for a core before its
// signal handler runs; only a thread that cannot answer at all makes the crash wait that long.
// Returns the number of threads that stopped.
std::size_t threads_suspend(const thread_t* threads, std::size_t count,
                            std::uint64_t deadline_ns = 500'000'000);
// Lets the listed threads go again (those that never stopped are skipped).
void threads_resume(const thread_t* threads, std::size_t count);

// The registers a suspended thread was stopped with (flavors x86_THREAD_STATE and x86_EXCEPTION_STATE,
// or their 64-bit flavors). KERN_FAILURE for a thread that is not stopped.
kern_return_t thread_get_state(thread_t thread, std::int32_t flavor, void* state,
                               mach_msg_type_number_t* count);

// Parking: a thread inside a crash handler leaves the registers it faulted with in a slot of its own, so
// that a report written by another thread (or by this one) shows where it faulted. A parked thread is not
// signalled by threads_suspend, and thread_get_state answers its parked registers. Async-signal-safe.
// `ucontext` is the signal's ucontext_t. Returns false when no slot is free.
bool thread_park(const void* ucontext);
bool thread_park_state(const x86_exception_state64_t* es, const x86_thread_state64_t* ss);
// Gives the calling thread's slot back (nothing when it is not parked).
void thread_unpark();
// Whether `thread` is parked.
bool thread_is_parked(thread_t thread);

// A 64-bit machine context from a signal's ucontext_t.
void mcontext_from_ucontext(const void* ucontext, cr_mcontext64* out);

}  // namespace platform::crash
