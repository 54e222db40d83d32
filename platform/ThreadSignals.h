#pragma once

#include <signal.h>

namespace platform {

// Background threads of the platform layer (the task reaper, the route monitors) keep the signals
// sent to the process away from themselves, so that those reach the application's own threads. One
// kind of signal they must still take: the one the crash reporter sends to each thread by its id
// (tgkill) to hold it still while a report is written. A thread that blocked it could neither be
// stopped nor reported, and would keep running while the report is made.
//
// The crash reporter picks its stop signal among SIGRTMIN + 4 .. SIGRTMAX (the real-time signals
// that the C library and the usual libraries leave alone) and records its choice here.

// The first and last signal a stop signal may be chosen from.
int firstThreadStopSignal();
int lastThreadStopSignal();

// Records the stop signal chosen; 0 while none is. A signal outside the range is refused (the
// process stops: the crash reporter chose it wrongly).
void setThreadStopSignal(int signal);
int threadStopSignal();

// Blocks on the calling thread every signal except the stop signal (the whole range while none has
// been chosen, since the one chosen later lies in it); the mask before, in `previous` when given.
// Threads started while the mask is set inherit it.
void blockProcessSignals(sigset_t* previous = nullptr);

}  // namespace platform
