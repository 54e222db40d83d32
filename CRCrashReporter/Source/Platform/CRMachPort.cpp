#include "CRMachPort.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "CRThreads.h"

namespace platform::crash {

namespace {

// ---- Port table ----

enum PortKind : std::uint32_t { kFreeSlot = 0, kClaimedSlot, kReceivePort, kPortSet };

constexpr std::size_t kPortCount = 512;
constexpr std::size_t kSetMembers = 8;
// Table names stand apart from thread and process ids (at most 2^22 on Linux).
constexpr mach_port_t kPortNameBase = 0x40000000u;

struct PortSlot {
  std::atomic<std::uint32_t> kind;
  // Bumped whenever the slot is given out again, so that a waiter notices its port went away.
  std::atomic<std::uint32_t> generation;
  std::atomic<int> receive_fd;
  std::atomic<int> send_fd;
  std::atomic<std::int32_t> send_rights;
  std::atomic<mach_port_t> no_senders_notify;
  std::atomic<mach_port_t> members[kSetMembers];
};

constinit PortSlot g_ports[kPortCount]{};

PortSlot* slot_of(mach_port_t name) {
  if (name < kPortNameBase || name >= kPortNameBase + kPortCount) return nullptr;
  return &g_ports[name - kPortNameBase];
}

PortSlot* live_port(mach_port_t name) {
  PortSlot* slot = slot_of(name);
  if (slot == nullptr || slot->kind.load(std::memory_order_acquire) != kReceivePort) return nullptr;
  return slot;
}

bool claim(mach_port_t* name, PortSlot** out) {
  for (std::size_t i = 0; i < kPortCount; ++i) {
    std::uint32_t expected = kFreeSlot;
    if (g_ports[i].kind.compare_exchange_strong(expected, kClaimedSlot, std::memory_order_acq_rel)) {
      g_ports[i].generation.fetch_add(1, std::memory_order_acq_rel);
      g_ports[i].send_rights.store(0);
      g_ports[i].no_senders_notify.store(MACH_PORT_NULL);
      for (auto& member : g_ports[i].members) member.store(MACH_PORT_NULL);
      *name = kPortNameBase + static_cast<mach_port_t>(i);
      *out = &g_ports[i];
      return true;
    }
  }
  return false;
}

void remove_from_sets(mach_port_t name) {
  for (PortSlot& slot : g_ports) {
    if (slot.kind.load(std::memory_order_acquire) != kPortSet) continue;
    for (auto& member : slot.members) {
      mach_port_t expected = name;
      member.compare_exchange_strong(expected, MACH_PORT_NULL);
    }
  }
}

void destroy(mach_port_t name, PortSlot* slot) {
  const std::uint32_t kind = slot->kind.exchange(kClaimedSlot, std::memory_order_acq_rel);
  if (kind == kReceivePort) {
    remove_from_sets(name);
    close(slot->receive_fd.exchange(-1));
    close(slot->send_fd.exchange(-1));
  }
  slot->generation.fetch_add(1, std::memory_order_acq_rel);
  slot->kind.store(kFreeSlot, std::memory_order_release);
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

mach_msg_return_t send_message(mach_msg_header_t* msg, mach_msg_size_t size, bool timeout,
                               mach_msg_timeout_t ms) {
  if (size < sizeof(mach_msg_header_t)) return MACH_SEND_MSG_TOO_SMALL;
  PortSlot* slot = live_port(msg->msgh_remote_port);
  if (slot == nullptr) return MACH_SEND_INVALID_DEST;
  msg->msgh_size = size;
  const int fd = slot->send_fd.load(std::memory_order_acquire);
  for (;;) {
    ssize_t n = send(fd, msg, size, MSG_NOSIGNAL | (timeout ? MSG_DONTWAIT : 0));
    if (n == static_cast<ssize_t>(size)) return MACH_MSG_SUCCESS;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeout) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(ms)) > 0) continue;
      return MACH_SEND_TIMED_OUT;
    }
    return MACH_SEND_INVALID_DEST;
  }
}

// Waits until one of the ports behind `name` holds a message; answers that port.
mach_msg_return_t wait_readable(mach_port_t name, bool timeout, mach_msg_timeout_t ms, mach_port_t* ready) {
  PortSlot* slot = slot_of(name);
  if (slot == nullptr) return MACH_RCV_INVALID_NAME;
  const std::uint32_t generation = slot->generation.load(std::memory_order_acquire);
  const long long deadline = timeout ? now_ms() + ms : 0;
  for (;;) {
    pollfd fds[kSetMembers];
    mach_port_t names[kSetMembers];
    nfds_t count = 0;
    const std::uint32_t kind = slot->kind.load(std::memory_order_acquire);
    if (slot->generation.load(std::memory_order_acquire) != generation) return MACH_RCV_PORT_DIED;
    if (kind == kReceivePort) {
      fds[0] = {slot->receive_fd.load(), POLLIN, 0};
      names[0] = name;
      count = 1;
    } else if (kind == kPortSet) {
      for (auto& member : slot->members) {
        mach_port_t m = member.load(std::memory_order_acquire);
        PortSlot* port = live_port(m);
        if (port == nullptr) continue;
        fds[count] = {port->receive_fd.load(), POLLIN, 0};
        names[count++] = m;
      }
    } else {
      return MACH_RCV_INVALID_NAME;
    }
    // Short slices, so that a port destroyed meanwhile (its descriptor closed) is noticed.
    int slice = 100;
    if (timeout) {
      long long left = deadline - now_ms();
      if (left <= 0) return MACH_RCV_TIMED_OUT;
      if (left < slice) slice = static_cast<int>(left);
    }
    int n = poll(fds, count, slice);
    if (n <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if ((fds[i].revents & POLLIN) != 0) {
        *ready = names[i];
        return MACH_MSG_SUCCESS;
      }
    }
  }
}

mach_msg_return_t receive_message(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                                  mach_port_t name, mach_msg_timeout_t ms) {
  const bool timeout = (option & MACH_RCV_TIMEOUT) != 0;
  for (;;) {
    mach_port_t port = MACH_PORT_NULL;
    mach_msg_return_t ready = wait_readable(name, timeout, ms, &port);
    if (ready != MACH_MSG_SUCCESS) return ready;
    PortSlot* slot = live_port(port);
    if (slot == nullptr) continue;
    const int fd = slot->receive_fd.load(std::memory_order_acquire);
    ssize_t length = recv(fd, msg, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return MACH_RCV_PORT_DIED;
    }
    if (static_cast<std::size_t>(length) > size) {
      if ((option & MACH_RCV_LARGE) != 0) {
        // The message stays queued; the caller learns its size and receives again.
        if (size >= sizeof(mach_msg_header_t)) msg->msgh_size = static_cast<mach_msg_size_t>(length);
        return MACH_RCV_TOO_LARGE;
      }
      char drop;
      recv(fd, &drop, 1, MSG_DONTWAIT);
      return MACH_RCV_TOO_LARGE;
    }
    std::memset(msg, 0, size < sizeof(mach_msg_header_t) ? size : sizeof(mach_msg_header_t));
    ssize_t n = recv(fd, msg, size, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return MACH_RCV_PORT_DIED;
    }
    if (size < sizeof(mach_msg_header_t)) return MACH_MSG_SUCCESS;
    // As Mach delivers it: the reply port becomes the remote port, with the right the sender made.
    const mach_port_t reply = msg->msgh_local_port;
    const std::uint32_t local_bits = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
    std::uint32_t remote_bits = 0;
    if (local_bits == MACH_MSG_TYPE_MAKE_SEND_ONCE || local_bits == MACH_MSG_TYPE_MOVE_SEND_ONCE) {
      remote_bits = MACH_MSG_TYPE_MOVE_SEND_ONCE;
    } else if (local_bits != 0) {
      remote_bits = MACH_MSG_TYPE_MOVE_SEND;
    }
    msg->msgh_bits = (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) | MACH_MSGH_BITS(remote_bits, 0);
    msg->msgh_remote_port = reply;
    msg->msgh_local_port = port;
    msg->msgh_size = static_cast<mach_msg_size_t>(n);
    return MACH_MSG_SUCCESS;
  }
}

void send_no_senders(mach_port_t port, mach_port_t notify) {
  struct {
    mach_msg_header_t header;
    NDR_record_t ndr;
    std::uint32_t count;
  } message{};
  message.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
  message.header.msgh_remote_port = notify;
  message.header.msgh_local_port = MACH_PORT_NULL;
  message.header.msgh_id = MACH_NOTIFY_NO_SENDERS;
  message.ndr = NDR_record;
  message.count = 0;
  (void)port;
  send_message(&message.header, sizeof message, true, 0);
}

}  // namespace

kern_return_t mach_port_allocate(task_t, mach_port_right_t right, mach_port_t* name) {
  if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET) return KERN_INVALID_VALUE;
  PortSlot* slot = nullptr;
  if (!claim(name, &slot)) return KERN_NO_SPACE;
  if (right == MACH_PORT_RIGHT_PORT_SET) {
    slot->kind.store(kPortSet, std::memory_order_release);
    return KERN_SUCCESS;
  }
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    slot->kind.store(kFreeSlot, std::memory_order_release);
    *name = MACH_PORT_NULL;
    return KERN_RESOURCE_SHORTAGE;
  }
  slot->receive_fd.store(fds[0]);
  slot->send_fd.store(fds[1]);
  slot->kind.store(kReceivePort, std::memory_order_release);
  return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(task_t, mach_port_t name, mach_port_t poly, std::uint32_t disposition) {
  PortSlot* slot = live_port(name);
  if (slot == nullptr) return KERN_INVALID_NAME;
  if (poly != name || disposition != MACH_MSG_TYPE_MAKE_SEND) return KERN_INVALID_VALUE;
  slot->send_rights.fetch_add(1, std::memory_order_acq_rel);
  return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(task_t, mach_port_t name, mach_port_right_t right, int delta) {
  PortSlot* slot = slot_of(name);
  if (slot == nullptr) return KERN_SUCCESS;  // a thread or the task: references cost nothing
  const std::uint32_t kind = slot->kind.load(std::memory_order_acquire);
  switch (right) {
    case MACH_PORT_RIGHT_SEND: {
      if (kind != kReceivePort) return KERN_INVALID_NAME;
      std::int32_t before = slot->send_rights.fetch_add(delta, std::memory_order_acq_rel);
      if (before + delta < 0) {
        slot->send_rights.fetch_sub(delta, std::memory_order_acq_rel);
        return KERN_INVALID_VALUE;
      }
      if (before > 0 && before + delta == 0) {
        mach_port_t notify = slot->no_senders_notify.exchange(MACH_PORT_NULL);
        if (MACH_PORT_VALID(notify)) send_no_senders(name, notify);
      }
      return KERN_SUCCESS;
    }
    case MACH_PORT_RIGHT_RECEIVE:
      if (kind != kReceivePort) return KERN_INVALID_RIGHT;
      if (delta < 0) destroy(name, slot);
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
      if (kind != kPortSet) return KERN_INVALID_RIGHT;
      if (delta < 0) destroy(name, slot);
      return KERN_SUCCESS;
    default:
      return KERN_INVALID_VALUE;
  }
}

kern_return_t mach_port_deallocate(task_t task, mach_port_t name) {
  return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
}

kern_return_t mach_port_request_notification(task_t, mach_port_t name, mach_msg_id_t variant, std::uint32_t,
                                             mach_port_t notify, std::uint32_t disposition,
                                             mach_port_t* previous) {
  PortSlot* slot = live_port(name);
  if (slot == nullptr) return KERN_INVALID_NAME;
  if (variant != MACH_NOTIFY_NO_SENDERS || disposition != MACH_MSG_TYPE_MAKE_SEND_ONCE)
    return KERN_INVALID_VALUE;
  mach_port_t old = slot->no_senders_notify.exchange(notify);
  if (previous != nullptr) *previous = old;
  return KERN_SUCCESS;
}

kern_return_t mach_port_move_member(task_t, mach_port_t member, mach_port_t set) {
  if (live_port(member) == nullptr) return KERN_INVALID_NAME;
  remove_from_sets(member);
  if (set == MACH_PORT_NULL) return KERN_SUCCESS;
  PortSlot* slot = slot_of(set);
  if (slot == nullptr || slot->kind.load(std::memory_order_acquire) != kPortSet) return KERN_INVALID_NAME;
  for (auto& m : slot->members) {
    mach_port_t expected = MACH_PORT_NULL;
    if (m.compare_exchange_strong(expected, member)) return KERN_SUCCESS;
  }
  return KERN_NO_SPACE;
}

bool mach_port_is_live(mach_port_t name) { return live_port(name) != nullptr; }

int mach_port_send_rights(mach_port_t name) {
  PortSlot* slot = live_port(name);
  return slot != nullptr ? slot->send_rights.load() : -1;
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_t) {
  if ((option & MACH_SEND_MSG) != 0) {
    mach_msg_return_t sent = send_message(msg, send_size, (option & MACH_SEND_TIMEOUT) != 0, timeout);
    if (sent != MACH_MSG_SUCCESS) return sent;
  }
  if ((option & MACH_RCV_MSG) != 0) return receive_message(msg, option, rcv_size, rcv_name, timeout);
  return MACH_MSG_SUCCESS;
}

// ---- Exception requests ----

namespace {

// Writes the state and state-identity forms; `ids` picks the port descriptors.
struct RequestWriter {
  std::uint8_t* base;
  std::size_t at = 0;
  void put(const void* data, std::size_t length) {
    std::memcpy(base + at, data, length);
    at += length;
  }
  template <typename T>
  void value(T v) {
    put(&v, sizeof v);
  }
};

mach_msg_port_descriptor_t port_descriptor(mach_port_t name) {
  mach_msg_port_descriptor_t d{};
  d.name = name;
  d.disposition = MACH_MSG_TYPE_COPY_SEND;
  d.type = MACH_MSG_PORT_DESCRIPTOR;
  return d;
}

}  // namespace

kern_return_t exception_raise_to_port(mach_port_t port, exception_behavior_t behavior,
                                      thread_state_flavor_t flavor, thread_t thread, task_t task,
                                      exception_type_t exception, const mach_exception_data_type_t* codes,
                                      mach_msg_type_number_t code_count) {
  const bool wide =
      (static_cast<std::uint32_t>(behavior) & static_cast<std::uint32_t>(MACH_EXCEPTION_CODES)) != 0;
  const exception_behavior_t form = static_cast<exception_behavior_t>(
      static_cast<std::uint32_t>(behavior) & ~static_cast<std::uint32_t>(MACH_EXCEPTION_CODES));
  if (form != EXCEPTION_DEFAULT && form != EXCEPTION_STATE && form != EXCEPTION_STATE_IDENTITY) {
    return KERN_INVALID_ARGUMENT;
  }
  if (code_count > 2) code_count = 2;
  std::uint32_t state[THREAD_STATE_MAX];
  mach_msg_type_number_t state_count = THREAD_STATE_MAX;
  if (form != EXCEPTION_DEFAULT) {
    kern_return_t kr = thread_get_state(thread, flavor, state, &state_count);
    if (kr != KERN_SUCCESS) return kr;
  }
  mach_port_t reply = MACH_PORT_NULL;
  kern_return_t kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &reply);
  if (kr != KERN_SUCCESS) return kr;

  alignas(8) std::uint8_t buffer[sizeof(mach_msg_header_t) + 64 + 16 + 8 + sizeof state + 64];
  RequestWriter w{buffer};
  mach_msg_header_t header{};
  const bool identity = form != EXCEPTION_STATE;  // the default and identity forms carry the ports
  header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                     (identity ? MACH_MSGH_BITS_COMPLEX : 0);
  header.msgh_remote_port = port;
  header.msgh_local_port = reply;
  const mach_msg_id_t base_id = wide ? kMachExceptionRaiseId : kExceptionRaiseId;
  header.msgh_id = base_id + (form - EXCEPTION_DEFAULT);
  w.value(header);
  if (identity) {
    w.value(mach_msg_body_t{2});
    w.value(port_descriptor(thread));
    w.value(port_descriptor(task));
  }
  w.value(NDR_record);
  w.value(static_cast<std::int32_t>(exception));
  w.value(static_cast<std::uint32_t>(code_count));
  for (mach_msg_type_number_t i = 0; i < code_count; ++i) {
    if (wide) {
      w.value(static_cast<std::int64_t>(codes[i]));
    } else {
      w.value(static_cast<std::int32_t>(codes[i]));
    }
  }
  if (form != EXCEPTION_DEFAULT) {
    w.value(static_cast<std::int32_t>(flavor));
    w.value(static_cast<std::uint32_t>(state_count));
    w.put(state, state_count * 4);
  }
  auto* request = reinterpret_cast<mach_msg_header_t*>(buffer);
  kr = mach_msg(request, MACH_SEND_MSG, static_cast<mach_msg_size_t>(w.at), 0, MACH_PORT_NULL,
                MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (kr == MACH_MSG_SUCCESS) {
    // Wait for the reply while the handler's port lives; a state reply carries a new state that is not
    // applied.
    alignas(8) std::uint8_t answer[sizeof(mig_reply_error_t) + 8 + sizeof state];
    auto* reply_header = reinterpret_cast<mach_msg_header_t*>(answer);
    for (;;) {
      kr = mach_msg(reply_header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof answer, reply, 100,
                    MACH_PORT_NULL);
      if (kr != MACH_RCV_TIMED_OUT) break;
      if (!mach_port_is_live(port)) {
        kr = MACH_SEND_INVALID_DEST;
        break;
      }
    }
    if (kr == MACH_MSG_SUCCESS) {
      if (reply_header->msgh_size < sizeof(mig_reply_error_t) ||
          reply_header->msgh_id != header.msgh_id + 100) {
        kr = KERN_FAILURE;
      } else {
        std::memcpy(&kr, answer + offsetof(mig_reply_error_t, RetCode), sizeof kr);
      }
    }
  }
  mach_port_mod_refs(task, reply, MACH_PORT_RIGHT_RECEIVE, -1);
  return kr;
}

mach_msg_return_t exception_reply(const mach_msg_header_t* request, kern_return_t code) {
  mig_reply_error_t reply{};
  reply.Head.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(request->msgh_bits), 0);
  reply.Head.msgh_size = sizeof reply;
  reply.Head.msgh_remote_port = request->msgh_remote_port;
  reply.Head.msgh_local_port = MACH_PORT_NULL;
  reply.Head.msgh_id = request->msgh_id + 100;
  reply.NDR = NDR_record;
  reply.RetCode = code;
  return mach_msg(&reply.Head, MACH_SEND_MSG | MACH_SEND_TIMEOUT, sizeof reply, 0, MACH_PORT_NULL, 0,
                  MACH_PORT_NULL);
}

// ---- Exception-port registry ----

namespace {

struct ExceptionEntry {
  std::atomic<mach_port_t> port;
  std::atomic<exception_behavior_t> behavior;
  std::atomic<thread_state_flavor_t> flavor;
};

struct Registry {
  std::atomic<thread_t> owner;  // 0 for a free thread registry
  ExceptionEntry entries[EXC_TYPES_COUNT];
};

Registry g_task_registry;
constexpr std::size_t kThreadRegistries = 128;
constinit Registry g_thread_registries[kThreadRegistries]{};

std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}

Registry* thread_registry(thread_t thread, bool create) {
  for (Registry& r : g_thread_registries) {
    if (r.owner.load(std::memory_order_acquire) == thread) return &r;
  }
  if (!create) return nullptr;
  for (Registry& r : g_thread_registries) {
    thread_t expected = 0;
    if (r.owner.compare_exchange_strong(expected, thread)) {
      for (ExceptionEntry& e : r.entries) {
        e.port.store(MACH_PORT_NULL);
        e.behavior.store(0);
        e.flavor.store(0);
      }
      return &r;
    }
  }
  return nullptr;
}

void fault_bridge_install();

// The previous entries for `mask`, grouped by identical port, behaviour and flavour. With `take`, the
// entries are given over (their send rights pass to the caller); otherwise the caller gets new rights.
kern_return_t collect(Registry* r, exception_mask_t mask, bool take, exception_mask_t* masks,
                      mach_msg_type_number_t* count, mach_port_t* ports, exception_behavior_t* behaviors,
                      thread_state_flavor_t* flavors) {
  const mach_msg_type_number_t capacity = count != nullptr ? *count : 0;
  mach_msg_type_number_t n = 0;
  for (std::size_t type = 1; type < EXC_TYPES_COUNT; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    mach_port_t port = r != nullptr ? r->entries[type].port.load() : MACH_PORT_NULL;
    exception_behavior_t behavior = r != nullptr ? r->entries[type].behavior.load() : 0;
    thread_state_flavor_t flavor = r != nullptr ? r->entries[type].flavor.load() : 0;
    bool grouped = false;
    for (mach_msg_type_number_t k = 0; k < n; ++k) {
      if (ports[k] == port && behaviors[k] == behavior && flavors[k] == flavor) {
        masks[k] |= 1u << type;
        grouped = true;
        break;
      }
    }
    if (grouped) {
      if (take && MACH_PORT_VALID(port)) mach_port_mod_refs(0, port, MACH_PORT_RIGHT_SEND, -1);
      continue;
    }
    if (n >= capacity) {
      if (take && MACH_PORT_VALID(port)) mach_port_mod_refs(0, port, MACH_PORT_RIGHT_SEND, -1);
      continue;
    }
    masks[n] = 1u << type;
    ports[n] = port;
    behaviors[n] = behavior;
    flavors[n] = flavor;
    if (!take && MACH_PORT_VALID(port)) mach_port_mod_refs(0, port, MACH_PORT_RIGHT_SEND, 1);
    ++n;
  }
  if (count != nullptr) *count = n;
  return KERN_SUCCESS;
}

kern_return_t swap(Registry* r, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
                   thread_state_flavor_t flavor, exception_mask_t* masks, mach_msg_type_number_t* count,
                   mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  if (MACH_PORT_VALID(port) && !mach_port_is_live(port)) return KERN_INVALID_RIGHT;
  if ((mask & ~((1u << EXC_TYPES_COUNT) - 2)) != 0) return KERN_INVALID_ARGUMENT;
  if (masks != nullptr) {
    collect(r, mask, true, masks, count, ports, behaviors, flavors);
  } else {
    for (std::size_t type = 1; type < EXC_TYPES_COUNT; ++type) {
      if ((mask & (1u << type)) == 0) continue;
      mach_port_t old = r->entries[type].port.load();
      if (MACH_PORT_VALID(old)) mach_port_mod_refs(0, old, MACH_PORT_RIGHT_SEND, -1);
    }
  }
  for (std::size_t type = 1; type < EXC_TYPES_COUNT; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    if (MACH_PORT_VALID(port)) mach_port_mod_refs(0, port, MACH_PORT_RIGHT_SEND, 1);
    r->entries[type].behavior.store(behavior);
    r->entries[type].flavor.store(flavor);
    r->entries[type].port.store(port, std::memory_order_release);
  }
  if (MACH_PORT_VALID(port) && (mask & (EXC_MASK_BAD_ACCESS | EXC_MASK_BAD_INSTRUCTION | EXC_MASK_ARITHMETIC |
                                        EXC_MASK_BREAKPOINT)) != 0) {
    fault_bridge_install();
  }
  return KERN_SUCCESS;
}

// ---- Fault bridge ----

struct BridgeSignal {
  int signo;
  struct sigaction previous;
};
BridgeSignal g_bridge[] = {{SIGSEGV, {}}, {SIGBUS, {}}, {SIGILL, {}}, {SIGFPE, {}}, {SIGTRAP, {}}};

void bridge_fallback(int signo) {
  for (BridgeSignal& b : g_bridge) {
    if (b.signo != signo) continue;
    struct sigaction action = b.previous;
    if ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN) {
      action.sa_handler = SIG_DFL;  // a fault that was ignored would come back for ever
    }
    sigaction(signo, &action, nullptr);
  }
  raise(signo);
}

thread_local bool t_bridge_exempt = false;

// The signals behind the requests that faulting threads wait on, so that the handler reports what the
// kernel delivered instead of what the exception maps back to. A slot is claimed by its thread (tid from
// 0), filled, then marked ready; the handler's thread only reads ready slots. A fault while every slot is
// taken goes without one and its request is mapped back from the exception.
struct DeliveredSignal {
  std::atomic<thread_t> thread;
  std::atomic<bool> ready;
  exception_type_t type;
  mach_exception_data_type_t codes[2];
  fault_bridge_signal_t signal;
};
constexpr std::size_t kDeliveredSlots = 64;
constinit DeliveredSignal g_delivered[kDeliveredSlots]{};

DeliveredSignal* note_delivered(thread_t self, exception_type_t type,
                                const mach_exception_data_type_t codes[2],
                                const fault_bridge_signal_t& signal) {
  for (DeliveredSignal& slot : g_delivered) {
    thread_t expected = 0;
    if (!slot.thread.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) continue;
    slot.type = type;
    slot.codes[0] = codes[0];
    slot.codes[1] = codes[1];
    slot.signal = signal;
    slot.ready.store(true, std::memory_order_release);
    return &slot;
  }
  return nullptr;
}

void forget_delivered(DeliveredSignal* slot) {
  if (slot == nullptr) return;
  slot->ready.store(false, std::memory_order_release);
  slot->thread.store(0, std::memory_order_release);
}

// The handler: the kernel's delivery of an exception to the port registered for it (the thread's own
// first, then the task's). The faulting thread parks its registers for the handler to read, sends the
// request and waits for the answer.
void fault_handler(int signo, siginfo_t* info, void* uap) {
  const int saved_errno = errno;
  exception_type_t type = 0;
  mach_exception_data_type_t codes[2];
  if (t_bridge_exempt || !fault_bridge_exception(signo, info->si_code, info->si_addr, &type, codes)) {
    bridge_fallback(signo);
    errno = saved_errno;
    return;
  }
  const thread_t self = mach_thread_self();
  const ExceptionEntry* entry = nullptr;
  if (Registry* r = thread_registry(self, false);
      r != nullptr && MACH_PORT_VALID(r->entries[type].port.load())) {
    entry = &r->entries[type];
  } else if (MACH_PORT_VALID(g_task_registry.entries[type].port.load())) {
    entry = &g_task_registry.entries[type];
  }
  kern_return_t kr = KERN_FAILURE;
  if (entry != nullptr) {
    const bool parked = thread_park(uap);
    const auto* uc = static_cast<const ucontext_t*>(uap);
    DeliveredSignal* delivered = note_delivered(
        self, type, codes,
        {signo, info->si_code, info->si_addr, static_cast<int>(uc->uc_mcontext.gregs[REG_TRAPNO])});
    kr = exception_raise_to_port(entry->port.load(), entry->behavior.load(), entry->flavor.load(), self,
                                 mach_task_self(), type, codes, 2);
    forget_delivered(delivered);
    if (parked) thread_unpark();
  }
  if (kr != KERN_SUCCESS) bridge_fallback(signo);
  errno = saved_errno;
}

void fault_bridge_install() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (BridgeSignal& b : g_bridge) {
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_sigaction = fault_handler;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK;
      sigemptyset(&action.sa_mask);
      // As in the signal dispatcher: a faulting thread is read from its parked registers, never stopped.
      if (int suspend = threads_arm(); suspend != 0) sigaddset(&action.sa_mask, suspend);
      sigaction(b.signo, &action, &b.previous);
    }
  });
}

}  // namespace

void fault_bridge_exempt_current_thread() { t_bridge_exempt = true; }

bool fault_bridge_signal(thread_t thread, exception_type_t type, const mach_exception_data_type_t* codes,
                         mach_msg_type_number_t code_count, fault_bridge_signal_t* out) {
  if (thread == 0 || code_count < 2) return false;
  for (const DeliveredSignal& slot : g_delivered) {
    if (slot.thread.load(std::memory_order_acquire) != thread || !slot.ready.load(std::memory_order_acquire))
      continue;
    if (slot.type != type || slot.codes[0] != codes[0] || slot.codes[1] != codes[1]) continue;
    *out = slot.signal;
    return true;
  }
  return false;
}

bool fault_bridge_exception(int signo, int si_code, void* address, exception_type_t* type,
                            mach_exception_data_type_t codes[2]) {
  // A signal sent by a process carries the sender's pid and uid where a fault has its address.
  if (si_code <= 0) address = nullptr;
  codes[1] = static_cast<mach_exception_data_type_t>(reinterpret_cast<std::uintptr_t>(address));
  switch (signo) {
    case SIGSEGV:
      *type = EXC_BAD_ACCESS;
      codes[0] = si_code == SEGV_MAPERR ? 1 : 2;
      return true;
    case SIGBUS:
      *type = EXC_BAD_ACCESS;
      codes[0] = 10;
      return true;
    case SIGILL:
      *type = EXC_BAD_INSTRUCTION;
      codes[0] = si_code;
      return true;
    case SIGFPE:
      *type = EXC_ARITHMETIC;
      codes[0] = si_code;
      return true;
    case SIGTRAP:
      *type = EXC_BREAKPOINT;
      codes[0] = si_code;
      return true;
    default:
      return false;
  }
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor) {
  if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(registry_mutex());
  return swap(&g_task_registry, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors) {
  if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(registry_mutex());
  return swap(&g_task_registry, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(registry_mutex());
  return collect(&g_task_registry, mask, false, masks, count, ports, behaviors, flavors);
}

kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor) {
  std::lock_guard lock(registry_mutex());
  Registry* r = thread_registry(thread, true);
  if (r == nullptr) return KERN_RESOURCE_SHORTAGE;
  return swap(r, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count,
                                          mach_port_t* ports, exception_behavior_t* behaviors,
                                          thread_state_flavor_t* flavors) {
  std::lock_guard lock(registry_mutex());
  Registry* r = thread_registry(thread, true);
  if (r == nullptr) return KERN_RESOURCE_SHORTAGE;
  return swap(r, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* ports,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  std::lock_guard lock(registry_mutex());
  return collect(thread_registry(thread, false), mask, false, masks, count, ports, behaviors, flavors);
}

}  // namespace platform::crash
