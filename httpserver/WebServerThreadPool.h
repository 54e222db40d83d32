#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstddef>

// The threads that run every server's sockets, timers and connections: a few threads (one per
// available processor, at most four) around one Asio context, made on first use and kept for the
// life of the process. Idle threads sleep in the kernel without timers.
class WebServerThreadPool {
 public:
  static WebServerThreadPool& shared();

  asio::io_context& context() { return context_; }
  std::size_t threadCount() const { return threadCount_; }

 private:
  WebServerThreadPool();

  std::size_t threadCount_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
};
