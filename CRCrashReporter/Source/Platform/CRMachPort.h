#pragma once
// Mach message ports on Linux terms, for the exception server and its forwarding:
// - a receive right is a slot of a process-wide table over a SOCK_SEQPACKET socket pair (senders write
//   one end, the receiver reads the other), so each message arrives whole and in order;
// - send rights are counted; when the count of a port falls to 0 and a no-senders notification was
//   requested, a MACH_NOTIFY_NO_SENDERS message (id 70) goes to the notify port;
// - a port set is a slot listing its member ports, received from with poll;
// - messages are byte-exact Mach messages; on receipt the header's ports are swapped as Mach does
//   (remote = the reply port, local = the port received on);
// - the exception ports of the task and of each thread are a registry of 14 entries each, changed with
//   swap (and set) and read with get; registering a port for faults arms the fault bridge, which turns
//   SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGTRAP into exception requests to the registered port.
// Sending, receiving, raising and the fault bridge are async-signal-safe; the registry is changed in
// normal context.

#include <cstddef>
#include <cstdint>

#include "CRMach.h"

namespace platform::crash {

using mach_msg_return_t = kern_return_t;
using mach_msg_bits_t = std::uint32_t;
using mach_msg_size_t = std::uint32_t;
using mach_msg_id_t = std::int32_t;
using mach_msg_option_t = std::int32_t;
using mach_msg_timeout_t = std::uint32_t;
using mach_port_right_t = std::uint32_t;
using exception_type_t = int;
using exception_mask_t = std::uint32_t;
using exception_behavior_t = int;
using thread_state_flavor_t = int;
using mach_exception_data_type_t = std::int64_t;

inline constexpr mach_port_t MACH_PORT_DEAD = 0xFFFFFFFFu;
inline bool MACH_PORT_VALID(mach_port_t name) { return name != MACH_PORT_NULL && name != MACH_PORT_DEAD; }

inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;

inline constexpr std::uint32_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr std::uint32_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr std::uint32_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr std::uint32_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr std::uint32_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
inline constexpr std::uint32_t MACH_MSG_PORT_DESCRIPTOR = 0;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS(std::uint32_t remote, std::uint32_t local) {
  return remote | (local << 8);
}
inline constexpr std::uint32_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) { return bits & 0x1F; }
inline constexpr std::uint32_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) { return (bits >> 8) & 0x1F; }

inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x10;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_NO_SPACE = 3;

inline constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;

// Exception types, masks and behaviours.
inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr std::size_t EXC_TYPES_COUNT = 14;
inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<exception_behavior_t>(0x80000000u);
inline constexpr mach_msg_type_number_t THREAD_STATE_MAX = 614;

// Message ids of the exception requests (32-bit codes, then 64-bit codes); a reply is the id + 100.
inline constexpr mach_msg_id_t kExceptionRaiseId = 2401;
inline constexpr mach_msg_id_t kExceptionRaiseStateId = 2402;
inline constexpr mach_msg_id_t kExceptionRaiseStateIdentityId = 2403;
inline constexpr mach_msg_id_t kMachExceptionRaiseId = 2405;
inline constexpr mach_msg_id_t kMachExceptionRaiseStateId = 2406;
inline constexpr mach_msg_id_t kMachExceptionRaiseStateIdentityId = 2407;

struct mach_msg_header_t {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_t msgh_voucher_port;
  mach_msg_id_t msgh_id;
};
struct mach_msg_body_t {
  std::uint32_t msgh_descriptor_count;
};
struct mach_msg_port_descriptor_t {
  mach_port_t name;
  std::uint32_t pad1;
  std::uint16_t pad2;
  std::uint8_t disposition;
  std::uint8_t type;
};
struct NDR_record_t {
  std::uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
};
inline constexpr NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

#pragma pack(push, 4)
// mach_exception_raise with its two 64-bit codes: 84 bytes. A request with `codeCnt` codes is
// 68 + 8 * codeCnt bytes long.
struct mach_exception_raise_request_t {
  mach_msg_header_t Head;
  mach_msg_body_t msgh_body;
  mach_msg_port_descriptor_t thread;
  mach_msg_port_descriptor_t task;
  NDR_record_t NDR;
  exception_type_t exception;
  mach_msg_type_number_t codeCnt;
  std::int64_t code[2];
};
// The plain reply: 36 bytes.
struct mig_reply_error_t {
  mach_msg_header_t Head;
  NDR_record_t NDR;
  kern_return_t RetCode;
};
#pragma pack(pop)
static_assert(sizeof(mach_exception_raise_request_t) == 84);
static_assert(sizeof(mig_reply_error_t) == 36);
inline constexpr std::size_t kExceptionRequestFixedSize = 68;

// ---- Ports ----
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_t* name);
kern_return_t mach_port_insert_right(task_t task, mach_port_t name, mach_port_t poly,
                                     std::uint32_t disposition);
// Changes the count of a right: SEND (a count of 0 sends the no-senders notification), RECEIVE or
// PORT_SET with -1 (destroys the port or set). Thread and task names (not table ports) are accepted and
// ignored, as their references cost nothing here.
kern_return_t mach_port_mod_refs(task_t task, mach_port_t name, mach_port_right_t right, int delta);
// Drops one send right.
kern_return_t mach_port_deallocate(task_t task, mach_port_t name);
kern_return_t mach_port_request_notification(task_t task, mach_port_t name, mach_msg_id_t variant,
                                             std::uint32_t sync, mach_port_t notify,
                                             std::uint32_t disposition, mach_port_t* previous);
kern_return_t mach_port_move_member(task_t task, mach_port_t member, mach_port_t set);
// Whether `name` is a live receive port of the table.
bool mach_port_is_live(mach_port_t name);
// The number of send rights of a port (-1 for a name that is no port).
int mach_port_send_rights(mach_port_t name);

// Sends and/or receives, as mach_msg does (MACH_SEND_MSG, MACH_RCV_MSG, MACH_RCV_LARGE,
// MACH_SEND_TIMEOUT, MACH_RCV_TIMEOUT in milliseconds).
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_t notify);

// ---- Exception requests ----
// Raises an exception to `port` in the form its behaviour asks for (default, state or state identity;
// 64-bit codes with MACH_EXCEPTION_CODES, else codes cut to 32 bits) and waits for the reply. The state
// forms read the thread's registers with thread_get_state and `flavor` first. Returns the reply's code,
// or the failure of sending, of the thread state or of receiving (a port that dies while a request waits
// ends the wait).
kern_return_t exception_raise_to_port(mach_port_t port, exception_behavior_t behavior,
                                      thread_state_flavor_t flavor, thread_t thread, task_t task,
                                      exception_type_t exception, const mach_exception_data_type_t* codes,
                                      mach_msg_type_number_t code_count);
// Sends the reply to a request: the request's remote disposition, id + 100, the NDR record, `code`.
mach_msg_return_t exception_reply(const mach_msg_header_t* request, kern_return_t code);

// ---- Exception-port registry ----
kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors);
kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count,
                                          mach_port_t* ports, exception_behavior_t* behaviors,
                                          thread_state_flavor_t* flavors);
kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* ports,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors);

// Marks the calling thread as one whose faults are never delivered as exception requests (the exception
// server's own thread: a request to itself would never be answered); they take the signal's action.
void fault_bridge_exempt_current_thread();

// The fault bridge's request for a signal: exception type and the two codes. EXC_BAD_ACCESS with code[0]
// 1 (SEGV_MAPERR), 2 (any other SIGSEGV) or 10 (SIGBUS); EXC_BAD_INSTRUCTION, EXC_ARITHMETIC or
// EXC_BREAKPOINT with the Linux si_code; code[1] is the fault address, 0 for a signal sent by a process
// (si_code <= 0, whose si_addr holds the sender's pid and uid). False for other signals.
bool fault_bridge_exception(int signo, int si_code, void* address, exception_type_t* type,
                            mach_exception_data_type_t codes[2]);

// The signal the kernel delivered to a thread whose fault the bridge turned into an exception request:
// Linux signal number, si_code, si_addr and the machine context's trap number.
struct fault_bridge_signal_t {
  int signo;
  int code;
  void* address;
  int trapno;
};

// While `thread` waits in the fault bridge for the answer to a request of this type and these codes, the
// signal behind that request; false for a request that did not come from a Linux signal (raised by other
// means, or by a thread that is not waiting in the bridge). Async-signal-safe.
bool fault_bridge_signal(thread_t thread, exception_type_t type, const mach_exception_data_type_t* codes,
                         mach_msg_type_number_t code_count, fault_bridge_signal_t* out);

}  // namespace platform::crash
