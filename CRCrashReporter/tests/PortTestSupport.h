#pragma once
// A stand-in for an exception handler registered before the engine's: a receive port served by a thread
// that answers every request with a chosen code and keeps what it saw. Also raw messages for probing a
// server port.

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/CRMachPort.h"

namespace crash_test {

namespace pc = platform::crash;

class ExceptionPortServer {
 public:
  explicit ExceptionPortServer(kern_return_t answer) : answer_(answer) {
    pc::mach_port_allocate(pc::mach_task_self(), pc::MACH_PORT_RIGHT_RECEIVE, &port_);
    pc::mach_port_insert_right(pc::mach_task_self(), port_, port_, pc::MACH_MSG_TYPE_MAKE_SEND);
    thread_ = std::thread([this] { serve(); });
  }
  ~ExceptionPortServer() {
    stop_ = true;
    thread_.join();
    pc::mach_port_mod_refs(pc::mach_task_self(), port_, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  }
  pc::mach_port_t port() const { return port_; }
  std::vector<pc::mach_msg_id_t> ids() const {
    std::lock_guard lock(mutex_);
    return ids_;
  }

 private:
  void serve() {
    alignas(8) std::uint8_t buffer[4096];
    auto* header = reinterpret_cast<pc::mach_msg_header_t*>(buffer);
    while (!stop_) {
      kern_return_t kr = pc::mach_msg(header, pc::MACH_RCV_MSG | pc::MACH_RCV_TIMEOUT, 0, sizeof buffer,
                                      port_, 50, pc::MACH_PORT_NULL);
      if (kr != pc::MACH_MSG_SUCCESS) continue;
      {
        std::lock_guard lock(mutex_);
        ids_.push_back(header->msgh_id);
      }
      pc::exception_reply(header, answer_);
    }
  }

  kern_return_t answer_;
  pc::mach_port_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<pc::mach_msg_id_t> ids_;
  std::thread thread_;
};

// Sends `size` bytes of `message` (whose header is filled in here) to `port` with a fresh reply port and
// returns the reply's code, or the receive failure (MACH_RCV_TIMED_OUT when nothing answers in time).
inline kern_return_t send_raw(pc::mach_port_t port, std::vector<std::uint8_t> message, pc::mach_msg_id_t id,
                              pc::mach_msg_timeout_t timeout_ms = 2000) {
  pc::mach_port_t reply = 0;
  pc::mach_port_allocate(pc::mach_task_self(), pc::MACH_PORT_RIGHT_RECEIVE, &reply);
  pc::mach_msg_header_t header{};
  header.msgh_bits = pc::MACH_MSGH_BITS(pc::MACH_MSG_TYPE_COPY_SEND, pc::MACH_MSG_TYPE_MAKE_SEND_ONCE);
  header.msgh_remote_port = port;
  header.msgh_local_port = reply;
  header.msgh_id = id;
  if (message.size() < sizeof header) message.resize(sizeof header);
  std::memcpy(message.data(), &header, sizeof header);
  kern_return_t kr = pc::mach_msg(reinterpret_cast<pc::mach_msg_header_t*>(message.data()), pc::MACH_SEND_MSG,
                                  static_cast<pc::mach_msg_size_t>(message.size()), 0, 0, 0, 0);
  if (kr == pc::MACH_MSG_SUCCESS) {
    pc::mig_reply_error_t answer{};
    kr = pc::mach_msg(&answer.Head, pc::MACH_RCV_MSG | pc::MACH_RCV_TIMEOUT, 0, sizeof answer, reply,
                      timeout_ms, 0);
    if (kr == pc::MACH_MSG_SUCCESS) kr = answer.RetCode;
  }
  pc::mach_port_mod_refs(pc::mach_task_self(), reply, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  return kr;
}

// An exception request of `size` bytes claiming `code_count` codes.
inline std::vector<std::uint8_t> exception_request(std::size_t size, std::uint32_t code_count,
                                                   pc::thread_t thread) {
  pc::mach_exception_raise_request_t request{};
  request.msgh_body.msgh_descriptor_count = 2;
  request.thread.name = thread;
  request.task.name = pc::mach_task_self();
  request.NDR = pc::NDR_record;
  request.exception = pc::EXC_BAD_ACCESS;
  request.codeCnt = code_count;
  request.code[0] = 1;
  request.code[1] = 0;
  std::vector<std::uint8_t> bytes(size > sizeof request ? size : sizeof request);
  std::memcpy(bytes.data(), &request, sizeof request);
  bytes.resize(size);
  return bytes;
}

}  // namespace crash_test
