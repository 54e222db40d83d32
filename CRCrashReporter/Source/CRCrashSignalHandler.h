#pragma once
// Fatal signals: one process-wide dispatcher per signal the engine asks for, run on an alternate stack,
// passing each signal along a chain of callbacks (the engine's crash callback first, then the handlers
// that were installed before). Registration happens in normal context; the dispatcher and the chain are
// async-signal-safe.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>

#include "platform/Error.h"

struct crcrash_signal_handler_callback_t;

// A link of the chain: returns true when it handled the signal. `next` stands for the rest of the chain
// (null at its end).
typedef bool (*crcrash_signal_handler_callback_func)(int signo, siginfo_t* info, ucontext_t* uap,
                                                     void* context, crcrash_signal_handler_callback_t* next);

struct crcrash_signal_handler_callback_t {
  crcrash_signal_handler_callback_func callback;
  void* context;
};

// Hands the signal to the rest of the chain; false when `next` is null.
bool crcrash_signal_handler_forward(crcrash_signal_handler_callback_t* next, int signo, siginfo_t* info,
                                    ucontext_t* uap);

// The engine's crash callback; its context is the process-wide handler context (crcrash_write_report.h).
// Writes the report, sets the armed signals back to their default actions, calls the crash callbacks'
// handleSignal when the report was written, and answers false so that the signal is raised again.
bool crcrash_signal_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                   crcrash_signal_handler_callback_t* next);

// The signals the engine arms, as Linux numbers (SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP).
inline constexpr int crcrash_armed_signals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

class CRCrashSignalHandler {
 public:
  static CRCrashSignalHandler& sharedHandler();

  // registerHandlerWithSignal, then the {callback, context} entry goes to the head of the chain. When the
  // registration fails the entry is not added.
  bool registerHandlerForSignal(int signo, crcrash_signal_handler_callback_func callback, void* context,
                                platform::Error* error);
  // Installs the alternate stack on the calling thread, adds one previous-action link to the chain and
  // installs the dispatcher for `signo` unless it is installed already.
  bool registerHandlerWithSignal(int signo, platform::Error* error);
  // Empties the chain and the previous-action list; the installed dispatchers stay.
  static void resetHandlers();

  // Replaces sigaltstack for tests of its failure (null restores the system call).
  using SigaltstackFunction = int (*)(const stack_t*, stack_t*);
  static void setSigaltstackFunctionForTesting(SigaltstackFunction function);

  // The shared 64 KiB alternate stack.
  const stack_t& signalStack() const { return sigstk_; }

 private:
  CRCrashSignalHandler();
  stack_t sigstk_;
};

// Alternate stacks of threads: the executable exports a pthread_create wrapper that gives every thread
// it starts a 64 KiB alternate signal stack above a guard page, released when the thread ends. Under a
// sanitizer it starts them through the sanitizer's own pthread_create, so that the sanitizer knows them.
namespace platform::crash {
inline constexpr std::size_t kThreadAltStackSize = 65536;
// The alternate stack the wrapper gave the calling thread (ss_sp null when none).
stack_t thread_alt_stack();
}  // namespace platform::crash
