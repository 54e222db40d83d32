#include "httpserver/WebServerThreadPool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::size_t availableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
  return 1;
}

void* runContext(void* context) {
  pthread_setname_np(pthread_self(), "qv-http");
  static_cast<asio::io_context*>(context)->run();
  return nullptr;
}

}  // namespace

WebServerThreadPool& WebServerThreadPool::shared() {
  // Never destroyed: its threads may still be finishing a connection while the process exits.
  static WebServerThreadPool* pool = new WebServerThreadPool();
  return *pool;
}

WebServerThreadPool::WebServerThreadPool()
    : threadCount_(std::clamp<std::size_t>(availableProcessors(), 1, 4)),
      context_(static_cast<int>(threadCount_)),
      work_(asio::make_work_guard(context_)) {
  // Large stacks: handlers may match long paths with recursive regular expressions.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 64u * 1024 * 1024);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  for (std::size_t i = 0; i < threadCount_; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, &attributes, runContext, &context_) != 0) {
      if (i == 0) std::abort();  // a server without threads could never answer
      threadCount_ = i;
      break;
    }
  }
  pthread_attr_destroy(&attributes);
}
