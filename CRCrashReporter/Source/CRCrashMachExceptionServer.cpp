#include "CRCrashMachExceptionServer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstring>

#include "CRCrashReporterError.h"
#include "Platform/CRThreads.h"
#include "crcrash_async.h"

namespace pc = platform::crash;

namespace {

std::size_t round_page(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

void* allocate_buffer(std::size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Whether a request is the one form this server answers: mach_exception_raise, long enough for the codes
// it claims. A request with n codes is 68 + 8n bytes (header 24, body 4, two port descriptors 24, NDR 8,
// exception 4, code count 4, then the codes).
bool valid_request(const pc::mach_msg_header_t* header, std::uint32_t* code_count) {
  if (header->msgh_id != pc::kMachExceptionRaiseId) return false;
  const auto* request = reinterpret_cast<const pc::mach_exception_raise_request_t*>(header);
  *code_count = request->codeCnt;
  return static_cast<std::uint64_t>(header->msgh_size) >=
         pc::kExceptionRequestFixedSize + 8ull * static_cast<std::uint64_t>(request->codeCnt);
}

void* exception_server_thread(void* argument) {
  auto* context = static_cast<crcrash_exception_server_context*>(argument);
  std::size_t size = round_page(sizeof(pc::mach_exception_raise_request_t));
  auto* buffer = static_cast<pc::mach_msg_header_t*>(allocate_buffer(size));
  if (buffer == nullptr) {
    std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", pc::KERN_RESOURCE_SHORTAGE);
    return nullptr;
  }
  for (;;) {
    kern_return_t kr =
        pc::mach_msg(buffer, pc::MACH_RCV_MSG | pc::MACH_RCV_LARGE, 0, static_cast<pc::mach_msg_size_t>(size),
                     context->port_set, pc::MACH_MSG_TIMEOUT_NONE, pc::MACH_PORT_NULL);
    if (kr == pc::MACH_RCV_TOO_LARGE) {
      const std::size_t wanted = round_page(buffer->msgh_size);
      munmap(buffer, size);
      buffer = static_cast<pc::mach_msg_header_t*>(allocate_buffer(wanted));
      if (buffer == nullptr) {
        std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n", pc::KERN_RESOURCE_SHORTAGE);
        return nullptr;
      }
      size = wanted;
      continue;
    }
    if (kr != pc::MACH_MSG_SUCCESS) {
      CRCRASH_DEBUG("Unexpected error in mach_msg(): 0x%x", kr);
      if (kr == pc::MACH_RCV_INVALID_NAME || kr == pc::MACH_RCV_PORT_DIED) break;
      continue;
    }
    if (buffer->msgh_local_port == context->notify_port) {
      if (buffer->msgh_id == pc::MACH_NOTIFY_NO_SENDERS) continue;
      if (buffer->msgh_id == kExceptionServerStopId) {
        pthread_mutex_lock(&context->lock);
        const bool requested = __atomic_load_n(&context->server_should_stop, __ATOMIC_ACQUIRE) != 0;
        if (requested) {
          context->server_stop_done = true;
          pthread_cond_signal(&context->server_cond);
          pthread_mutex_unlock(&context->lock);
          munmap(buffer, size);
          return nullptr;
        }
        pthread_mutex_unlock(&context->lock);
        continue;  // a stop nobody asked for
      }
    }
    kern_return_t result = pc::KERN_FAILURE;
    std::uint32_t code_count = 0;
    if (buffer->msgh_size < sizeof(pc::mach_exception_raise_request_t)) {
      CRCRASH_DEBUG("Unexpected message size of %llu", static_cast<unsigned long long>(buffer->msgh_size));
    } else if (!valid_request(buffer, &code_count)) {
      CRCRASH_DEBUG("Unexpected exception request (id %d, size %u, %u codes)", buffer->msgh_id,
                    buffer->msgh_size, code_count);
    } else {
      const auto* request = reinterpret_cast<const pc::mach_exception_raise_request_t*>(buffer);
      // The codes sit at offset 68, off their 8-byte alignment: they move 4 bytes up first (the buffer, a
      // whole number of pages, always has room, since a request's size is 4 more than a multiple of 8).
      auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
      std::memmove(bytes + offsetof(pc::mach_exception_raise_request_t, code) + 4,
                   bytes + offsetof(pc::mach_exception_raise_request_t, code),
                   static_cast<std::size_t>(code_count) * sizeof(mach_exception_data_type_t));
      const auto* codes = reinterpret_cast<const mach_exception_data_type_t*>(
          bytes + offsetof(pc::mach_exception_raise_request_t, code) + 4);
      result = context->callback(request->task.name, request->thread.name, request->exception, codes,
                                 code_count, context->callback_context);
    }
    kr = pc::exception_reply(buffer, result);
    if (kr != pc::MACH_MSG_SUCCESS)
      CRCRASH_DEBUG("Unexpected failure replying to Mach exception message: 0x%x", kr);
  }
  munmap(buffer, size);
  return nullptr;
}

struct ServerStart {
  crcrash_exception_server_context* context;
  std::atomic<thread_t> thread{0};
};

void* start_server(void* argument) {
  auto* start = static_cast<ServerStart*>(argument);
  crcrash_exception_server_context* context = start->context;
  // A fault of the server itself (inside a callback) takes the signal's action instead of waiting for
  // an answer from this very thread.
  pc::fault_bridge_exempt_current_thread();
  start->thread.store(pc::mach_thread_self());
  return exception_server_thread(context);
}

void release_ports(crcrash_exception_server_context* context) {
  const task_t task = pc::mach_task_self();
  if (context->server_port != 0)
    pc::mach_port_mod_refs(task, context->server_port, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  if (context->notify_port != 0)
    pc::mach_port_mod_refs(task, context->notify_port, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  if (context->port_set != 0)
    pc::mach_port_mod_refs(task, context->port_set, pc::MACH_PORT_RIGHT_PORT_SET, -1);
}

}  // namespace

// ---- Server ----

std::shared_ptr<CRCrashMachExceptionServer> CRCrashMachExceptionServer::initWithCallBack(
    crcrash_exception_server_callback callback, void* callback_context, platform::Error* error) {
  auto* context =
      static_cast<crcrash_exception_server_context*>(calloc(1, sizeof(crcrash_exception_server_context)));
  if (context == nullptr)
    return platform::fail(error, crcrash_error(0, "Failed to allocate the server")), nullptr;
  context->callback = callback;
  context->callback_context = callback_context;
  if (int e = pthread_mutex_init(&context->lock, nullptr); e != 0) {
    free(context);
    platform::fail(error, crcrash_posix_error("Mutex initialization failed", e));
    return nullptr;
  }
  if (int e = pthread_cond_init(&context->server_cond, nullptr); e != 0) {
    pthread_mutex_destroy(&context->lock);
    free(context);
    platform::fail(error, crcrash_posix_error("Condition initialization failed", e));
    return nullptr;
  }
  std::shared_ptr<CRCrashMachExceptionServer> server(new CRCrashMachExceptionServer());
  auto cleanup = [&](platform::Error failure) {
    release_ports(context);
    pthread_cond_destroy(&context->server_cond);
    pthread_mutex_destroy(&context->lock);
    free(context);
    server->context_ = nullptr;
    platform::fail(error, std::move(failure));
    return nullptr;
  };
  const task_t task = pc::mach_task_self();
  kern_return_t kr = pc::mach_port_allocate(task, pc::MACH_PORT_RIGHT_RECEIVE, &context->server_port);
  if (kr == pc::KERN_SUCCESS)
    kr = pc::mach_port_allocate(task, pc::MACH_PORT_RIGHT_RECEIVE, &context->notify_port);
  if (kr != pc::KERN_SUCCESS)
    return cleanup(crcrash_mach_error("Failed to allocate exception server's port", kr));
  kr = pc::mach_port_insert_right(task, context->server_port, context->server_port,
                                  pc::MACH_MSG_TYPE_MAKE_SEND);
  if (kr != pc::KERN_SUCCESS)
    return cleanup(crcrash_mach_error("Failed to add send right to exception server's port", kr));
  kr = pc::mach_port_request_notification(task, context->server_port, pc::MACH_NOTIFY_NO_SENDERS, 1,
                                          context->notify_port, pc::MACH_MSG_TYPE_MAKE_SEND_ONCE, nullptr);
  if (kr != pc::KERN_SUCCESS) {
    return cleanup(
        crcrash_mach_error("Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port", kr));
  }
  kr = pc::mach_port_allocate(task, pc::MACH_PORT_RIGHT_PORT_SET, &context->port_set);
  if (kr != pc::KERN_SUCCESS)
    return cleanup(crcrash_mach_error("Failed to allocate exception server's port set", kr));
  kr = pc::mach_port_move_member(task, context->server_port, context->port_set);
  if (kr != pc::KERN_SUCCESS)
    return cleanup(crcrash_mach_error("Failed to add exception server port to port set", kr));
  kr = pc::mach_port_move_member(task, context->notify_port, context->port_set);
  if (kr != pc::KERN_SUCCESS) {
    return cleanup(crcrash_mach_error("Failed to add exception server notify port to port set", kr));
  }
  pthread_attr_t attributes;
  if (int e = pthread_attr_init(&attributes); e != 0) {
    return cleanup(crcrash_posix_error("Failed to initialize pthread_attr", e));
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  ServerStart start{context};
  pthread_t thread;
  int e = pthread_create(&thread, &attributes, start_server, &start);
  pthread_attr_destroy(&attributes);
  if (e != 0) return cleanup(crcrash_posix_error("Failed to create exception server thread", e));
  while (start.thread.load() == 0) sched_yield();
  context->server_thread = start.thread.load();
  server->context_ = context;
  return server;
}

CRCrashMachExceptionServer::~CRCrashMachExceptionServer() {
  if (context_ == nullptr) return;
  __atomic_store_n(&context_->server_should_stop, 1, __ATOMIC_RELEASE);
  pc::mach_msg_header_t stop{};
  stop.msgh_bits = pc::MACH_MSGH_BITS(pc::MACH_MSG_TYPE_COPY_SEND, 0);
  stop.msgh_size = sizeof stop;
  stop.msgh_remote_port = context_->notify_port;
  stop.msgh_id = kExceptionServerStopId;
  kern_return_t kr = pc::mach_msg(&stop, pc::MACH_SEND_MSG, sizeof stop, 0, pc::MACH_PORT_NULL,
                                  pc::MACH_MSG_TIMEOUT_NONE, pc::MACH_PORT_NULL);
  if (kr != pc::MACH_MSG_SUCCESS) {
    CRCRASH_DEBUG("Unexpected error sending termination message to background thread: %d", kr);
    return;
  }
  pthread_mutex_lock(&context_->lock);
  while (!context_->server_stop_done) pthread_cond_wait(&context_->server_cond, &context_->lock);
  pthread_mutex_unlock(&context_->lock);
  release_ports(context_);
  pthread_cond_destroy(&context_->server_cond);
  pthread_mutex_destroy(&context_->lock);
  free(context_);
}

mach_port_t CRCrashMachExceptionServer::copySendRightForServer(platform::Error* error) {
  pthread_mutex_lock(&context_->lock);
  kern_return_t kr = pc::mach_port_insert_right(pc::mach_task_self(), context_->server_port,
                                                context_->server_port, pc::MACH_MSG_TYPE_MAKE_SEND);
  pthread_mutex_unlock(&context_->lock);
  if (kr != pc::KERN_SUCCESS) {
    platform::fail(error, crcrash_mach_error("Failed to insert Mach send right", kr));
    return pc::MACH_PORT_NULL;
  }
  return context_->server_port;
}

std::shared_ptr<CRCrashMachExceptionPort> CRCrashMachExceptionServer::exceptionPortWithMask(
    exception_mask_t mask, platform::Error* error) {
  mach_port_t port = copySendRightForServer(error);
  if (!pc::MACH_PORT_VALID(port)) return nullptr;
  auto result = CRCrashMachExceptionPort::initWithServerPort(
      port, mask, pc::EXCEPTION_DEFAULT | pc::MACH_EXCEPTION_CODES, platform::crash::x86_THREAD_STATE);
  pc::mach_port_mod_refs(pc::mach_task_self(), port, pc::MACH_PORT_RIGHT_SEND, -1);
  return result;
}

thread_t CRCrashMachExceptionServer::serverThread() const {
  assert(context_ != nullptr && "No handler registered!");
  pthread_mutex_lock(&context_->lock);
  thread_t thread = context_->server_thread;
  pthread_mutex_unlock(&context_->lock);
  return thread;
}

// ---- Ports and port sets ----

std::shared_ptr<CRCrashMachExceptionPort> CRCrashMachExceptionPort::initWithServerPort(
    mach_port_t port, exception_mask_t mask, exception_behavior_t behavior, thread_state_flavor_t flavor) {
  std::shared_ptr<CRCrashMachExceptionPort> result(new CRCrashMachExceptionPort());
  result->port_ = port;
  result->mask_ = mask;
  result->behavior_ = behavior;
  result->flavor_ = flavor;
  if (pc::MACH_PORT_VALID(port)) {
    kern_return_t kr = pc::mach_port_mod_refs(pc::mach_task_self(), port, pc::MACH_PORT_RIGHT_SEND, 1);
    if (kr != pc::KERN_SUCCESS) CRCRASH_DEBUG("Unexpected error incrementing mach port reference: %d", kr);
  }
  return result;
}

CRCrashMachExceptionPort::~CRCrashMachExceptionPort() {
  if (!pc::MACH_PORT_VALID(port_)) return;
  kern_return_t kr = pc::mach_port_mod_refs(pc::mach_task_self(), port_, pc::MACH_PORT_RIGHT_SEND, -1);
  if (kr != pc::KERN_SUCCESS) CRCRASH_DEBUG("Unexpected failure deallocating Mach port: %d", kr);
}

namespace {

using SwapFunction = kern_return_t (*)(mach_port_t, exception_mask_t, mach_port_t, exception_behavior_t,
                                       thread_state_flavor_t, exception_mask_t*, mach_msg_type_number_t*,
                                       mach_port_t*, exception_behavior_t*, thread_state_flavor_t*);
using GetFunction = kern_return_t (*)(mach_port_t, exception_mask_t, exception_mask_t*,
                                      mach_msg_type_number_t*, mach_port_t*, exception_behavior_t*,
                                      thread_state_flavor_t*);

// A port set made from the registry's answer; the rights the answer carried are given back once the port
// objects hold their own.
std::shared_ptr<CRCrashMachExceptionPortSet> set_from(const crcrash_mach_exception_port_set& state) {
  auto set = CRCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(state);
  for (std::uint32_t i = 0; i < state.count; ++i) {
    if (pc::MACH_PORT_VALID(state.ports[i]))
      pc::mach_port_mod_refs(pc::mach_task_self(), state.ports[i], pc::MACH_PORT_RIGHT_SEND, -1);
  }
  return set;
}

bool register_with(SwapFunction swap, mach_port_t target, const CRCrashMachExceptionPort& port,
                   std::shared_ptr<CRCrashMachExceptionPortSet>* previous, platform::Error* error) {
  crcrash_mach_exception_port_set state{};
  state.count = pc::EXC_TYPES_COUNT;
  kern_return_t kr = swap(target, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                          state.masks, &state.count, state.ports, state.behaviors, state.flavors);
  if (kr != pc::KERN_SUCCESS)
    return platform::fail(error, crcrash_mach_error("Failed to swap mach exception ports", kr));
  auto set = set_from(state);
  if (previous != nullptr) *previous = set;
  return true;
}

std::shared_ptr<CRCrashMachExceptionPortSet> ports_with(GetFunction get, mach_port_t target,
                                                        exception_mask_t mask, platform::Error* error) {
  crcrash_mach_exception_port_set state{};
  state.count = pc::EXC_TYPES_COUNT;
  kern_return_t kr =
      get(target, mask, state.masks, &state.count, state.ports, state.behaviors, state.flavors);
  if (kr != pc::KERN_SUCCESS) {
    platform::fail(error, crcrash_mach_error("Failed to fetch mach exception ports", kr));
    return nullptr;
  }
  return set_from(state);
}

}  // namespace

bool CRCrashMachExceptionPort::registerForTask(task_t task,
                                               std::shared_ptr<CRCrashMachExceptionPortSet>* previous,
                                               platform::Error* error) const {
  return register_with(pc::task_swap_exception_ports, task, *this, previous, error);
}

bool CRCrashMachExceptionPort::registerForThread(thread_t thread,
                                                 std::shared_ptr<CRCrashMachExceptionPortSet>* previous,
                                                 platform::Error* error) const {
  return register_with(pc::thread_swap_exception_ports, thread, *this, previous, error);
}

std::shared_ptr<CRCrashMachExceptionPortSet> CRCrashMachExceptionPort::exceptionPortsForTask(
    task_t task, exception_mask_t mask, platform::Error* error) {
  return ports_with(pc::task_get_exception_ports, task, mask, error);
}

std::shared_ptr<CRCrashMachExceptionPortSet> CRCrashMachExceptionPort::exceptionPortsForThread(
    thread_t thread, exception_mask_t mask, platform::Error* error) {
  return ports_with(pc::thread_get_exception_ports, thread, mask, error);
}

std::shared_ptr<CRCrashMachExceptionPortSet> CRCrashMachExceptionPortSet::initWithSet(
    std::vector<std::shared_ptr<CRCrashMachExceptionPort>> ports) {
  assert(ports.size() <= pc::EXC_TYPES_COUNT && "Set size exceeds EXC_TYPES_COUNT");
  auto result = std::make_shared<CRCrashMachExceptionPortSet>();
  if (ports.size() > pc::EXC_TYPES_COUNT) ports.resize(pc::EXC_TYPES_COUNT);
  for (const auto& port : ports) {
    const std::uint32_t i = result->async_.count++;
    result->async_.masks[i] = port->mask();
    result->async_.ports[i] = port->server_port();
    result->async_.behaviors[i] = port->behavior();
    result->async_.flavors[i] = port->flavor();
  }
  result->ports_ = std::move(ports);
  return result;
}

std::shared_ptr<CRCrashMachExceptionPortSet> CRCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(
    const crcrash_mach_exception_port_set& set) {
  std::vector<std::shared_ptr<CRCrashMachExceptionPort>> ports;
  for (std::uint32_t i = 0; i < set.count && i < pc::EXC_TYPES_COUNT; ++i) {
    ports.push_back(CRCrashMachExceptionPort::initWithServerPort(set.ports[i], set.masks[i], set.behaviors[i],
                                                                 set.flavors[i]));
  }
  return initWithSet(std::move(ports));
}

// ---- Forwarding and mapping ----

exception_mask_t crcrash_exception_to_mask(exception_type_t exception) {
  if (exception >= 1 && exception <= 10) return 1u << exception;
  if (exception == pc::EXC_GUARD) return pc::EXC_MASK_GUARD;
  CRCRASH_DEBUG("Unhandled exception type %d; exception_to_mask() should be updated", exception);
  return 1u << (exception & 31);
}

kern_return_t CRCrashMachExceptionForward(task_t task, thread_t thread, exception_type_t exception,
                                          const mach_exception_data_type_t* codes,
                                          mach_msg_type_number_t count,
                                          const crcrash_mach_exception_port_set* port_state) {
  if (port_state == nullptr) return pc::KERN_FAILURE;
  const exception_mask_t mask = crcrash_exception_to_mask(exception);
  for (std::uint32_t i = 0; i < port_state->count && i < pc::EXC_TYPES_COUNT; ++i) {
    if (!pc::MACH_PORT_VALID(port_state->ports[i]) || (port_state->masks[i] & mask) == 0) continue;
    const exception_behavior_t behavior = port_state->behaviors[i];
    const auto form = static_cast<exception_behavior_t>(
        static_cast<std::uint32_t>(behavior) & ~static_cast<std::uint32_t>(pc::MACH_EXCEPTION_CODES));
    const bool wide =
        (static_cast<std::uint32_t>(behavior) & static_cast<std::uint32_t>(pc::MACH_EXCEPTION_CODES)) != 0;
    if (form != pc::EXCEPTION_DEFAULT && form != pc::EXCEPTION_STATE &&
        form != pc::EXCEPTION_STATE_IDENTITY) {
      CRCRASH_DEBUG("Unsupported exception behavior: 0x%x (MACH_EXCEPTION_CODES=%s)",
                    static_cast<unsigned>(behavior), wide ? "true" : "false");
      return pc::KERN_FAILURE;
    }
    if (form != pc::EXCEPTION_DEFAULT) {
      std::uint32_t state[pc::THREAD_STATE_MAX];
      mach_msg_type_number_t state_count = pc::THREAD_STATE_MAX;
      kern_return_t kr = pc::thread_get_state(thread, port_state->flavors[i], state, &state_count);
      if (kr != pc::KERN_SUCCESS) {
        CRCRASH_DEBUG("Failed to fetch thread state for thread=0x%x, flavor=0x%x, kr=0x%x", thread,
                      static_cast<unsigned>(port_state->flavors[i]), kr);
        return kr;
      }
    }
    // The state forms' new state, when a handler sends one back, is not applied to the thread.
    return pc::exception_raise_to_port(port_state->ports[i], behavior, port_state->flavors[i], thread, task,
                                       exception, codes, count);
  }
  return pc::KERN_FAILURE;
}

bool crcrash_async_mach_exception_get_siginfo(exception_type_t exception,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t count, int* signo, int* si_code,
                                              std::uint64_t* address) {
  if (count < 2) {
    CRCRASH_DEBUG("Unexpected Mach code count of %u; can't map to UNIX exception", count);
    return false;
  }
  const mach_exception_data_type_t code0 = codes[0];
  *address = static_cast<std::uint64_t>(codes[1]);
  switch (exception) {
    case pc::EXC_BAD_ACCESS:
      if (code0 == pc::KERN_INVALID_ADDRESS) {
        *signo = 11;
      } else {
        *signo = 10;
      }
      if (*signo == 11) {
        *si_code = code0 == 1 ? 1 : code0 == 2 ? 2 : 0;
      } else {
        *si_code = 2;
      }
      return true;
    case pc::EXC_BAD_INSTRUCTION:
      *signo = 4;
      *si_code = 0;
      return true;
    case pc::EXC_ARITHMETIC:
      *signo = 8;
      *si_code = 0;
      return true;
    case pc::EXC_EMULATION:
      *signo = 7;
      *si_code = 0;
      return true;
    case pc::EXC_SOFTWARE:
      switch (code0) {
        case 0x10000:
          *signo = 12;
          break;
        case 0x10001:
          *signo = 13;
          break;
        case 0x10002:
          *signo = 6;
          break;
        case 0x10003:
          *signo = 9;
          break;
        default:
          CRCRASH_DEBUG("Unexpected EXC_SOFTWARE code of %lld", static_cast<long long>(code0));
          *signo = 6;
          break;
      }
      *si_code = 0;
      return true;
    case pc::EXC_BREAKPOINT:
      *signo = 5;
      *si_code = 1;
      return true;
    default:
      return false;
  }
}
