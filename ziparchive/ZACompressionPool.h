#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Deflates files on worker threads ahead of the archive writer, which then copies the finished
// bytes into the archive in entry order. Workers run at most a bounded number of source bytes
// ahead of the writer, so memory stays flat whatever the size of the tree.
class ZACompressionPool {
 public:
  // One file to deflate. The result fields are valid once `wait` has returned.
  struct Job {
    Job(std::string path, int level) : path(std::move(path)), level(level) {}
    const std::string path;
    const int level;
    std::uint64_t scheduledSize = 0;  // the file's size when queued, for the window
    bool queued = false;
    bool started = false;
    bool done = false;
    bool released = false;
    int error = 0;                         // errno of a failed read, or -1 for a compression failure
    std::vector<std::uint8_t> compressed;  // raw deflate stream, dropped when released
    std::uint64_t compressedSize = 0;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
  };

  // `threads` workers; they run ahead of the writer by at most `windowBytes` of source files.
  ZACompressionPool(unsigned threads, std::uint64_t windowBytes);
  ~ZACompressionPool();
  ZACompressionPool(const ZACompressionPool&) = delete;
  ZACompressionPool& operator=(const ZACompressionPool&) = delete;

  // Queues a job; jobs are taken in the order they were queued.
  void add(const std::shared_ptr<Job>& job);
  // Blocks until the job is done.
  void wait(Job& job);
  // The writer is done with the job: its bytes are dropped and the window moves on.
  void release(Job& job);

 private:
  void work();
  bool mayStartNext() const;
  void deflateFile(Job& job);
  void dropBytes(Job& job);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Job>> queue_;  // not started yet
  std::uint64_t windowBytes_;
  std::uint64_t bytesAhead_ = 0;  // scheduled size of jobs started and not released
  unsigned running_ = 0;
  std::atomic<bool> stopping_ = false;
  std::vector<std::thread> threads_;
};
