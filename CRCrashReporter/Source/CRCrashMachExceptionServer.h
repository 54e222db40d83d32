#pragma once
// The exception server: a thread of its own receives the exception requests of the task on a port set
// (the server port and its notify port) and answers each with its callback's result. With it the
// exception-port value classes, forwarding to the ports registered before, and the mapping from
// exception to signal.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "Platform/CRMachPort.h"
#include "crcrash_async.h"
#include "platform/Error.h"

using platform::crash::exception_behavior_t;
using platform::crash::exception_mask_t;
using platform::crash::exception_type_t;
using platform::crash::mach_exception_data_type_t;
using platform::crash::mach_msg_type_number_t;
using platform::crash::thread_state_flavor_t;

// (task, thread, exception type, codes, code count, context) → the code the server puts in its reply.
typedef kern_return_t (*crcrash_exception_server_callback)(task_t task, thread_t thread,
                                                           exception_type_t type,
                                                           const mach_exception_data_type_t* codes,
                                                           mach_msg_type_number_t code_count, void* context);

struct crcrash_exception_server_context {
  thread_t server_thread;
  mach_port_t server_port;
  mach_port_t notify_port;
  mach_port_t port_set;
  crcrash_exception_server_callback callback;
  void* callback_context;
  pthread_mutex_t lock;
  pthread_cond_t server_cond;
  std::uint32_t server_should_stop;
  bool server_stop_done;
};

// The stop message's id, sent to the notify port.
inline constexpr std::int32_t kExceptionServerStopId = static_cast<std::int32_t>(0xDEADBEEF);

// The async-safe form of a port set, copied by value into the crash paths' context.
struct crcrash_mach_exception_port_set {
  std::uint32_t count;
  exception_mask_t masks[platform::crash::EXC_TYPES_COUNT];
  mach_port_t ports[platform::crash::EXC_TYPES_COUNT];
  exception_behavior_t behaviors[platform::crash::EXC_TYPES_COUNT];
  thread_state_flavor_t flavors[platform::crash::EXC_TYPES_COUNT];
};

class CRCrashMachExceptionPortSet;

// One exception port with the mask, behaviour and flavour it is registered with; holds a send right.
class CRCrashMachExceptionPort {
 public:
  static std::shared_ptr<CRCrashMachExceptionPort> initWithServerPort(mach_port_t port, exception_mask_t mask,
                                                                      exception_behavior_t behavior,
                                                                      thread_state_flavor_t flavor);
  ~CRCrashMachExceptionPort();
  CRCrashMachExceptionPort(const CRCrashMachExceptionPort&) = delete;
  CRCrashMachExceptionPort& operator=(const CRCrashMachExceptionPort&) = delete;

  mach_port_t server_port() const { return port_; }
  exception_mask_t mask() const { return mask_; }
  exception_behavior_t behavior() const { return behavior_; }
  thread_state_flavor_t flavor() const { return flavor_; }

  // Swaps the task's (or a thread's) exception ports for this one; the ports registered before come back
  // in `previous` when it is given.
  bool registerForTask(task_t task, std::shared_ptr<CRCrashMachExceptionPortSet>* previous,
                       platform::Error* error) const;
  bool registerForThread(thread_t thread, std::shared_ptr<CRCrashMachExceptionPortSet>* previous,
                         platform::Error* error) const;

  static std::shared_ptr<CRCrashMachExceptionPortSet> exceptionPortsForTask(task_t task,
                                                                            exception_mask_t mask,
                                                                            platform::Error* error);
  static std::shared_ptr<CRCrashMachExceptionPortSet> exceptionPortsForThread(thread_t thread,
                                                                              exception_mask_t mask,
                                                                              platform::Error* error);

 private:
  CRCrashMachExceptionPort() = default;
  mach_port_t port_ = 0;
  exception_mask_t mask_ = 0;
  exception_behavior_t behavior_ = 0;
  thread_state_flavor_t flavor_ = 0;
};

class CRCrashMachExceptionPortSet {
 public:
  // At most 14 ports.
  static std::shared_ptr<CRCrashMachExceptionPortSet> initWithSet(
      std::vector<std::shared_ptr<CRCrashMachExceptionPort>> ports);
  static std::shared_ptr<CRCrashMachExceptionPortSet> initWithAsyncSafeRepresentation(
      const crcrash_mach_exception_port_set& set);

  const std::vector<std::shared_ptr<CRCrashMachExceptionPort>>& set() const { return ports_; }
  const crcrash_mach_exception_port_set& asyncSafeRepresentation() const { return async_; }
  auto begin() const { return ports_.begin(); }
  auto end() const { return ports_.end(); }

 private:
  std::vector<std::shared_ptr<CRCrashMachExceptionPort>> ports_;
  crcrash_mach_exception_port_set async_{};
};

class CRCrashMachExceptionServer {
 public:
  static std::shared_ptr<CRCrashMachExceptionServer> initWithCallBack(
      crcrash_exception_server_callback callback, void* context, platform::Error* error);
  // Stops the server thread (the stop handshake) and releases its ports.
  ~CRCrashMachExceptionServer();
  CRCrashMachExceptionServer(const CRCrashMachExceptionServer&) = delete;
  CRCrashMachExceptionServer& operator=(const CRCrashMachExceptionServer&) = delete;

  // A new send right to the server port, or 0.
  mach_port_t copySendRightForServer(platform::Error* error);
  std::shared_ptr<CRCrashMachExceptionPort> exceptionPortWithMask(exception_mask_t mask,
                                                                  platform::Error* error);
  thread_t serverThread() const;
  // For tests: the server port and the notify port.
  mach_port_t serverPort() const { return context_->server_port; }
  mach_port_t notifyPort() const { return context_->notify_port; }

 private:
  CRCrashMachExceptionServer() = default;
  crcrash_exception_server_context* context_ = nullptr;
};

// Offers the exception to the first registered port whose mask covers it, in the form its behaviour asks for;
// KERN_FAILURE when none does.
kern_return_t CRCrashMachExceptionForward(task_t task, thread_t thread, exception_type_t exception,
                                          const mach_exception_data_type_t* codes,
                                          mach_msg_type_number_t count,
                                          const crcrash_mach_exception_port_set* port_state);

// The mask bit of an exception type.
exception_mask_t crcrash_exception_to_mask(exception_type_t exception);

// Maps an exception to a signal and si_code in the Darwin numbering the report uses; si_addr is code[1].
bool crcrash_async_mach_exception_get_siginfo(exception_type_t exception,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t count, int* signo, int* si_code,
                                              std::uint64_t* address);
