#pragma once

#include <pthread.h>

// A mutex for short sections that every tracked log passes through on the caller's thread: a
// thread finding it held spins a little before it sleeps (glibc's adaptive mutex), so callers on
// several cores do not pay a sleep and a wake-up for a section of a few instructions. Usable with
// std::lock_guard and std::unique_lock.
class TLAdaptiveMutex {
 public:
  TLAdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  // No destructor, as std::mutex on this platform: a global one stays usable by background work
  // still running while the process exits (destroying a glibc mutex frees nothing).
  TLAdaptiveMutex(const TLAdaptiveMutex&) = delete;
  TLAdaptiveMutex& operator=(const TLAdaptiveMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};
