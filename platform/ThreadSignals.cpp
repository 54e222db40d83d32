#include "platform/ThreadSignals.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<int> gStopSignal{0};
}  // namespace

int firstThreadStopSignal() { return SIGRTMIN + 4; }
int lastThreadStopSignal() { return SIGRTMAX; }

void setThreadStopSignal(int signal) {
  if (signal != 0 && (signal < firstThreadStopSignal() || signal > lastThreadStopSignal())) {
    std::fprintf(stderr, "Thread stop signal %d lies outside %d..%d\n", signal, firstThreadStopSignal(),
                 lastThreadStopSignal());
    std::abort();
  }
  gStopSignal.store(signal);
}

int threadStopSignal() { return gStopSignal.load(); }

void blockProcessSignals(sigset_t* previous) {
  sigset_t blocked;
  sigfillset(&blocked);
  if (const int chosen = threadStopSignal(); chosen != 0) {
    sigdelset(&blocked, chosen);
  } else {
    for (int signal = firstThreadStopSignal(); signal <= lastThreadStopSignal(); ++signal)
      sigdelset(&blocked, signal);
  }
  pthread_sigmask(SIG_SETMASK, &blocked, previous);
}

}  // namespace platform
