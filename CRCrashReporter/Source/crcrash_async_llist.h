#pragma once
// A linked list that readers walk without a lock (crash handler, exception thread, live report) while
// writers in normal context serialise on a spin lock. A node unlinked while readers are counted goes to
// a free list instead of being freed, so a reader holding it still reads valid memory; the next append
// recycles it.

#include <atomic>
#include <cstdint>
#include <new>

#include "crcrash_async.h"

template <typename V>
class crcrash_async_llist {
 public:
  struct node {
    V value;
    std::atomic<node*> prev;
    std::atomic<node*> next;
  };

  crcrash_async_llist() = default;
  crcrash_async_llist(const crcrash_async_llist&) = delete;
  crcrash_async_llist& operator=(const crcrash_async_llist&) = delete;
  ~crcrash_async_llist() { nasync_free(); }

  // Writers (normal context).
  void nasync_append(V value) { insert(value, false); }
  void nasync_prepend(V value) { insert(value, true); }

  // Unlinks `n` when it is still listed. The caller keeps it valid for readers.
  void nasync_remove_node(node* n) {
    lock();
    bool listed = false;
    for (node* item = head_.load(std::memory_order_acquire); item != nullptr;
         item = item->next.load(std::memory_order_acquire)) {
      if (item == n) {
        listed = true;
        break;
      }
    }
    if (!listed) {
      unlock();
      return;
    }
    node* next = n->next.load(std::memory_order_acquire);
    node* prev = n->prev.load(std::memory_order_acquire);
    if (head_.load(std::memory_order_acquire) == n) {
      node* expected = n;
      if (!head_.compare_exchange_strong(expected, next, std::memory_order_seq_cst)) {
        CRCRASH_DEBUG("Failed to remove image list head despite holding lock");
      }
    } else {
      node* expected = n;
      if (!prev->next.compare_exchange_strong(expected, next, std::memory_order_seq_cst)) {
        CRCRASH_DEBUG("Failed to remove image list item despite holding lock");
      }
    }
    if (next != nullptr) {
      next->prev.store(prev, std::memory_order_release);
    } else {
      tail_.store(prev, std::memory_order_release);
    }
    if (refcount_.load(std::memory_order_seq_cst) >= 1) {
      // Retired: a reader may still stand on it. Its next pointer keeps leading forward through the
      // list it was in until it is recycled.
      free_list_.push(n);
    } else {
      delete n;
    }
    unlock();
  }

  // Removes the first node holding `value`; true when one was found.
  bool nasync_remove_first_value(V value) {
    set_reading(true);
    node* found = nullptr;
    for (node* item = head(); item != nullptr; item = item->next.load(std::memory_order_acquire)) {
      if (item->value == value) {
        found = item;
        break;
      }
    }
    if (found != nullptr) nasync_remove_node(found);
    set_reading(false);
    return found != nullptr;
  }

  // Readers (async-safe): bracket every walk with set_reading(true) / set_reading(false).
  void set_reading(bool enable) { refcount_.fetch_add(enable ? 1 : -1, std::memory_order_seq_cst); }
  std::int32_t refcount() const { return refcount_.load(std::memory_order_seq_cst); }
  node* head() const { return head_.load(std::memory_order_acquire); }
  static node* next(const node* n) { return n->next.load(std::memory_order_acquire); }

  // Frees every node, listed or retired. No reader may be inside.
  void nasync_free() {
    node* n = head_.exchange(nullptr);
    while (n != nullptr) {
      node* next = n->next.load();
      delete n;
      n = next;
    }
    tail_.store(nullptr);
    free_list_.clear();
  }

 private:
  // Retired nodes, chained through their prev fields (readers only follow next), so that a reader standing
  // on a retired node still walks on to its old successor. Only writers touch it, under the lock.
  struct retired {
    node* first = nullptr;
    void push(node* n) {
      n->prev.store(first, std::memory_order_relaxed);
      first = n;
    }
    node* pop() {
      node* n = first;
      if (n != nullptr) first = n->prev.load(std::memory_order_relaxed);
      return n;
    }
    void clear() {
      while (node* n = pop()) delete n;
    }
  };

  void lock() {
    while (lock_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() { lock_.clear(std::memory_order_release); }

  void insert(V value, bool at_front) {
    lock();
    // A retired node may only be reused when no reader can still stand on it.
    node* n = refcount_.load(std::memory_order_seq_cst) == 0 ? free_list_.pop() : nullptr;
    if (n == nullptr) n = new node;
    n->value = value;
    n->prev.store(nullptr, std::memory_order_relaxed);
    n->next.store(nullptr, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    node* tail = tail_.load(std::memory_order_acquire);
    node* first = head_.load(std::memory_order_acquire);
    if (tail == nullptr) {
      tail_.store(n, std::memory_order_release);
      node* expected = nullptr;
      if (!head_.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
        CRCRASH_DEBUG("An async image head was set with tail == NULL despite holding lock.");
      }
    } else if (at_front) {
      n->next.store(first, std::memory_order_release);
      std::atomic_thread_fence(std::memory_order_seq_cst);
      node* expected = first;
      if (!head_.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
        CRCRASH_DEBUG("Failed to prepend to image list despite holding lock");
      }
      first->prev.store(n, std::memory_order_release);
    } else {
      node* expected = nullptr;
      if (!tail->next.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
        CRCRASH_DEBUG("Failed to append to image list despite holding lock");
      }
      n->prev.store(tail, std::memory_order_release);
      tail_.store(n, std::memory_order_release);
    }
    unlock();
  }

  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  std::atomic<node*> head_{nullptr};
  std::atomic<node*> tail_{nullptr};
  std::atomic<std::int32_t> refcount_{0};
  retired free_list_;
};
