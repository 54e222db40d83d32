#include "CRCrashSignalHandler.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CRCrashReporterCallbacks.h"
#include "CRCrashReporterError.h"
#include "Platform/CRThreads.h"
#include "crcrash_async_llist.h"
#include "crcrash_write_report.h"

namespace pc = platform::crash;

CRCrashReporterCallbacks crcrash_crash_callbacks;

namespace {

struct PreviousAction {
  int signo;
  struct sigaction action;
};

// Both lists are read by the dispatcher without a lock; they live as long as the process.
crcrash_async_llist<crcrash_signal_handler_callback_t>& callbacks() {
  static auto* list = new crcrash_async_llist<crcrash_signal_handler_callback_t>();
  return *list;
}
crcrash_async_llist<PreviousAction>& previous_actions() {
  static auto* list = new crcrash_async_llist<PreviousAction>();
  return *list;
}

std::atomic<CRCrashSignalHandler::SigaltstackFunction> g_sigaltstack{nullptr};

int call_sigaltstack(const stack_t* stack, stack_t* old) {
  CRCrashSignalHandler::SigaltstackFunction function = g_sigaltstack.load();
  return function != nullptr ? function(stack, old) : sigaltstack(stack, old);
}

// Finds the action that was in force before the dispatcher; false when the signal was never registered.
bool find_previous(int signo, struct sigaction* out) {
  auto& list = previous_actions();
  list.set_reading(true);
  bool found = false;
  for (auto* n = list.head(); n != nullptr; n = list.next(n)) {
    if (n->value.signo == signo) {
      *out = n->value.action;
      found = true;
      break;
    }
  }
  list.set_reading(false);
  return found;
}

// One step of the chain: the entry after `context` (a node), or the head when `context` is null.
bool chain_step(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                crcrash_signal_handler_callback_t*) {
  auto& list = callbacks();
  using node = crcrash_async_llist<crcrash_signal_handler_callback_t>::node;
  list.set_reading(true);
  node* current = context != nullptr ? list.next(static_cast<node*>(context)) : list.head();
  bool handled = false;
  if (current != nullptr) {
    crcrash_signal_handler_callback_t next{chain_step, current};
    handled = current->value.callback(signo, info, uap, current->value.context,
                                      list.next(current) != nullptr ? &next : nullptr);
  }
  list.set_reading(false);
  return handled;
}

bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void*,
                              crcrash_signal_handler_callback_t* next) {
  if (crcrash_signal_handler_forward(next, signo, info, uap)) return true;
  struct sigaction previous;
  if (!find_previous(signo, &previous)) return false;
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction == nullptr) return false;
    previous.sa_sigaction(signo, info, uap);
    return true;
  }
  if (previous.sa_handler == SIG_IGN) return true;
  if (previous.sa_handler == SIG_DFL) return false;
  previous.sa_handler(signo);
  return true;
}

void set_default_action(int signo) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

// The installed handler. The thread parks its registers first, so that a report written meanwhile by
// another thread shows it where it faulted instead of inside this handler.
void dispatcher(int signo, siginfo_t* info, void* uap) {
  const int saved_errno = errno;
  const bool parked = pc::thread_park(uap);
  if (!chain_step(signo, info, static_cast<ucontext_t*>(uap), nullptr, nullptr)) {
    // Nobody handled it: the action from before the dispatcher (or the default) takes it, so that the
    // raise below never comes back into this handler.
    struct sigaction previous;
    if (find_previous(signo, &previous) &&
        !((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN)) {
      sigaction(signo, &previous, nullptr);
    } else {
      set_default_action(signo);
    }
    raise(signo);
  }
  if (parked) pc::thread_unpark();
  errno = saved_errno;
}

std::mutex& registration_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

bool crcrash_signal_handler_forward(crcrash_signal_handler_callback_t* next, int signo, siginfo_t* info,
                                    ucontext_t* uap) {
  if (next == nullptr) return false;
  return next->callback(signo, info, uap, next->context, nullptr);
}

bool crcrash_signal_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                   crcrash_signal_handler_callback_t*) {
  auto* handler_context = static_cast<crcrash_handler_context_t*>(context);
  pc::cr_mcontext64 mctx;
  pc::mcontext_from_ucontext(uap, &mctx);
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_mcontext_init(&state, &mctx);

  crcrash_log_bsd_signal_info_t bsd{};
  crcrash_async_signal_from_linux(info->si_signo, info->si_code, static_cast<int>(mctx.es.trapno), &bsd.signo,
                                  &bsd.code);
  bsd.address = crcrash_async_signal_address(info->si_code, info->si_addr);
  crcrash_log_signal_info_t signal_info{&bsd, nullptr};
  (void)signo;

  // A fault inside the writer comes back here on the writing thread and is answered at once; a crash on
  // another thread meanwhile parks and waits inside crcrash_write_report.
  crcrash_error_t result =
      crcrash_write_report(handler_context, pc::mach_thread_self(), &state, &signal_info);

  // From here on a fault, or the raise that follows, ends the process.
  for (int armed : crcrash_armed_signals) set_default_action(armed);
  if (result == CRCRASH_ERR_NONE && crcrash_crash_callbacks.handleSignal != nullptr) {
    crcrash_crash_callbacks.handleSignal(info, uap, crcrash_crash_callbacks.context);
  }
  return false;
}

CRCrashSignalHandler& CRCrashSignalHandler::sharedHandler() {
  static CRCrashSignalHandler* shared = new CRCrashSignalHandler();
  return *shared;
}

CRCrashSignalHandler::CRCrashSignalHandler() {
  std::memset(&sigstk_, 0, sizeof sigstk_);
  sigstk_.ss_size = 0x10000;
  sigstk_.ss_sp = std::malloc(sigstk_.ss_size);
  sigstk_.ss_flags = 0;
}

bool CRCrashSignalHandler::registerHandlerForSignal(int signo, crcrash_signal_handler_callback_func callback,
                                                    void* context, platform::Error* error) {
  if (!registerHandlerWithSignal(signo, error)) return false;
  callbacks().nasync_prepend({callback, context});
  return true;
}

bool CRCrashSignalHandler::registerHandlerWithSignal(int signo, platform::Error* error) {
  std::lock_guard lock(registration_mutex());
  if (call_sigaltstack(&sigstk_, nullptr) != 0) {
    return platform::fail(error, crcrash_posix_error("Could not initialize alternative signal stack", errno));
  }
  callbacks().nasync_append({previous_action_callback, nullptr});
  struct sigaction existing;
  if (find_previous(signo, &existing)) return true;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = dispatcher;
  action.sa_flags = SA_ONSTACK | SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  // The thread-suspension signal waits while a crash handler runs: a thread inside the handler is parked
  // with its fault registers, and a report written meanwhile by another thread takes those.
  if (int suspend = pc::threads_arm(); suspend != 0) sigaddset(&action.sa_mask, suspend);
  PreviousAction previous{signo, {}};
  if (sigaction(signo, &action, &previous.action) != 0) {
    return platform::fail(error, crcrash_posix_error("Failed to register signal handler", errno));
  }
  previous_actions().nasync_append(previous);
  return true;
}

void CRCrashSignalHandler::resetHandlers() {
  std::lock_guard lock(registration_mutex());
  auto& list = callbacks();
  while (auto* n = list.head()) list.nasync_remove_node(n);
  auto& previous = previous_actions();
  while (auto* n = previous.head()) previous.nasync_remove_node(n);
}

void CRCrashSignalHandler::setSigaltstackFunctionForTesting(SigaltstackFunction function) {
  g_sigaltstack.store(function);
}

// ---- Alternate stacks of new threads ----

namespace {

struct ThreadAltStack {
  void* mapping;
  std::size_t length;
  stack_t stack;
  stack_t previous;
};

pthread_key_t g_alt_stack_key;
pthread_once_t g_alt_stack_once = PTHREAD_ONCE_INIT;

void release_alt_stack(void* value) {
  auto* record = static_cast<ThreadAltStack*>(value);
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == record->stack.ss_sp) {
    // Give the thread back what it had before (nothing, or a stack of a sanitizer's runtime).
    if ((record->previous.ss_flags & SS_DISABLE) != 0 || record->previous.ss_sp == nullptr) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    } else {
      record->previous.ss_flags = 0;
      sigaltstack(&record->previous, nullptr);
    }
  }
  munmap(record->mapping, record->length);
  std::free(record);
}

void make_key() { pthread_key_create(&g_alt_stack_key, release_alt_stack); }

// Maps the stack with a PROT_NONE guard page below it, so that an overflow of the handler itself faults
// instead of running into other memory.
void install_alt_stack() {
  pthread_once(&g_alt_stack_once, make_key);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t length = pc::kThreadAltStackSize + page;
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return;
  auto* record = static_cast<ThreadAltStack*>(std::malloc(sizeof(ThreadAltStack)));
  if (record == nullptr || mprotect(mapping, page, PROT_NONE) != 0) {
    std::free(record);
    munmap(mapping, length);
    return;
  }
  record->mapping = mapping;
  record->length = length;
  std::memset(&record->stack, 0, sizeof record->stack);
  record->stack.ss_sp = static_cast<char*>(mapping) + page;
  record->stack.ss_size = pc::kThreadAltStackSize;
  if (sigaltstack(&record->stack, &record->previous) != 0) {
    std::free(record);
    munmap(mapping, length);
    return;
  }
  pthread_setspecific(g_alt_stack_key, record);
}

struct ThreadStart {
  void* (*routine)(void*);
  void* argument;
};

void* start_with_alt_stack(void* value) {
  ThreadStart start = *static_cast<ThreadStart*>(value);
  std::free(value);
  install_alt_stack();
  return start.routine(start.argument);
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// The pthread_create the wrapper hands each thread on to. Where a sanitizer's runtime is linked into the
// executable (clang's -fsanitize=address, thread, fuzzer...), its pthread_create interceptor is a weak
// definition in the executable that this wrapper overrides, and the next pthread_create after the
// executable is the C library's: a thread started there is unknown to the sanitizer, which then never
// scans its stack and registers (LeakSanitizer reports every block only such a thread points to as
// leaked) nor follows its synchronisation. So when a sanitizer runtime is present, in whatever object,
// the wrapper forwards to its interceptor, found by the interceptor's own name: looking up
// "pthread_create" by default scope would find this wrapper again. The runtime's interceptor then
// starts the thread with the C library's function. Without a sanitizer the next definition is the C
// library's.
PthreadCreate resolve_next_pthread_create() {
  // LLVM 17 and later name the interceptor with three underscores; earlier runtimes, GCC's among them,
  // with two.
  for (const char* name : {"___interceptor_pthread_create", "__interceptor_pthread_create"}) {
    if (void* interceptor = dlsym(RTLD_DEFAULT, name); interceptor != nullptr) {
      return reinterpret_cast<PthreadCreate>(interceptor);
    }
  }
  return reinterpret_cast<PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
}

}  // namespace

stack_t platform::crash::thread_alt_stack() {
  pthread_once(&g_alt_stack_once, make_key);
  auto* record = static_cast<ThreadAltStack*>(pthread_getspecific(g_alt_stack_key));
  if (record == nullptr) return stack_t{};
  return record->stack;
}

// Exported by the executable (see CMakeLists.txt), so that threads started by any library get the stack.
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread,
                                                                     const pthread_attr_t* attributes,
                                                                     void* (*routine)(void*),
                                                                     void* argument) {
  static const PthreadCreate next = resolve_next_pthread_create();
  if (next == nullptr) return EAGAIN;
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (start == nullptr) return next(thread, attributes, routine, argument);
  *start = {routine, argument};
  int result = next(thread, attributes, start_with_alt_stack, start);
  if (result != 0) std::free(start);
  return result;
}
