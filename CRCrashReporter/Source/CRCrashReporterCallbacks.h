#pragma once
// The crash callbacks the reporter's owner sets before enabling it; the crash paths read them without a
// lock.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

struct CRCrashReporterCallbacks {
  // Must be 0.
  std::uint16_t version = 0;
  void* context = nullptr;
  // Called on the crashed thread (signal path) or the exception server's thread (Mach path) once the
  // report is written.
  void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context) = nullptr;
};

// The process-wide copy set by CRCrashReporter::setCrashCallbacks.
extern CRCrashReporterCallbacks crcrash_crash_callbacks;
