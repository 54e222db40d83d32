#pragma once

#include <pthread.h>

// A reader-writer lock for state that every tracked log reads and that changes only at start,
// reconfiguration or reset (shared instances, delegate tables, units). Readers never wait for each
// other, so a reader preempted inside its section holds nobody else up; only a writer waits for the
// readers there are. Readers are preferred, so a steady stream of readers is never held behind a
// writer that waits. Usable with std::shared_lock, std::lock_guard and std::unique_lock.
class TLReadMostlyMutex {
 public:
  TLReadMostlyMutex() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_READER_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  // No destructor, as std::mutex on this platform: a global one stays usable by background work
  // still running while the process exits (destroying a glibc lock frees nothing).
  TLReadMostlyMutex(const TLReadMostlyMutex&) = delete;
  TLReadMostlyMutex& operator=(const TLReadMostlyMutex&) = delete;

  void lock() { pthread_rwlock_wrlock(&lock_); }
  bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};
