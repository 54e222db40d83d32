#include "TelemetryCrashes/Internals/TLCrashesCXXExceptionHandler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>

namespace {

constexpr int kMaxFrames = 128;

// What a thread's last throw left: the object and the throw site's return addresses.
struct ThrowSiteRecord {
  void* thrownObject;
  std::uint64_t addresses[kMaxFrames];
  std::uint32_t count;
};

class SpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

SpinLock g_lock;
// Lives for the process: a terminate handler may run while static objects are being destroyed.
std::vector<TLCrashesUncaughtCXXExceptionHandler>& handlers() {
  static auto* list = new std::vector<TLCrashesUncaughtCXXExceptionHandler>();
  return *list;
}
std::atomic<bool> g_installed{false};
std::terminate_handler g_previousTerminate = nullptr;

pthread_key_t g_recordKey;
std::once_flag g_keyOnce;

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));
CxaThrow g_nextThrow = nullptr;
const void* g_objcEhtypeVtable = nullptr;
std::once_flag g_resolveOnce;

void releaseRecord(void* record) { std::free(record); }

// Inlined into its caller whatever the optimisation, so that the first address is the caller's own (the
// throw hook's, or the terminate handler's), which the terminate handler drops.
[[gnu::always_inline]] inline std::uint32_t captureReturnAddresses(std::uint64_t* out) {
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  if (count < 0) count = 0;
  for (int i = 0; i < count; ++i) out[i] = reinterpret_cast<std::uint64_t>(frames[i]);
  return static_cast<std::uint32_t>(count);
}

void callPreviousOrAbort(std::terminate_handler previous) {
  if (previous != nullptr) {
    previous();
    return;
  }
  std::abort();
}

void terminateHandler() {
  std::exception_ptr current = std::current_exception();
  g_lock.lock();
  if (!current) {
    std::terminate_handler previous = g_previousTerminate;
    g_lock.unlock();
    callPreviousOrAbort(previous);
    return;
  }

  TLCrashesCXXExceptionInfo info;
  info.exceptionObject = &current;
  const std::type_info* type = abi::__cxa_current_exception_type();
  info.typeName = type != nullptr ? type->name() : nullptr;

  std::uint64_t local[kMaxFrames] = {};
  auto* record = static_cast<ThrowSiteRecord*>(pthread_getspecific(g_recordKey));
  if (record != nullptr) {
    // The first address is the throw hook itself.
    info.frameCount = record->count ? record->count - 1 : 0;
    info.frameAddresses = record->addresses + 1;
  } else {
    const std::uint32_t count = captureReturnAddresses(local);
    info.frameCount = count ? count - 1 : 0;
    info.frameAddresses = local + 1;
  }

  bool platformObject = false;
  try {
    std::rethrow_exception(current);
  } catch (const platform::Exception&) {
    // The platform's own exception objects go to the platform's uncaught-exception handling, which
    // reports them with their own name, reason and stack.
    platformObject = true;
  } catch (const std::exception& exception) {
    info.messageText = exception.what();
  } catch (const std::exception* exception) {
    info.messageText = exception != nullptr ? exception->what() : nullptr;
  } catch (const std::string& text) {
    info.messageText = text.c_str();
  } catch (const std::string* text) {
    info.messageText = text != nullptr ? text->c_str() : nullptr;
  } catch (const char* text) {
    info.messageText = text;
  } catch (...) {
  }

  if (!platformObject) {
    for (TLCrashesUncaughtCXXExceptionHandler handler : handlers()) handler(&info);
  }
  std::terminate_handler previous = g_previousTerminate;
  g_lock.unlock();
  if (platformObject && previous == nullptr) std::abort();
  callPreviousOrAbort(previous);
}

void resolveNextThrow() {
  g_nextThrow = reinterpret_cast<CxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  // Objective-C exceptions carry their own type information; this runtime has none.
  g_objcEhtypeVtable = dlsym(RTLD_DEFAULT, "objc_ehtype_vtable");
}

}  // namespace

// The program's own entry of the C++ runtime: every throw passes here, records its throw site for the
// terminate handler (once a handler is installed), then goes on into the runtime's own __cxa_throw.
namespace __cxxabiv1 {
extern "C" void __cxa_throw(void* thrownObject, std::type_info* type, void (*destructor)(void*)) {
  std::call_once(g_resolveOnce, resolveNextThrow);
  const bool objectiveC =
      type != nullptr && g_objcEhtypeVtable != nullptr &&
      *reinterpret_cast<const void* const*>(type) == static_cast<const char*>(g_objcEhtypeVtable) + 16;
  if (!objectiveC && g_installed.load(std::memory_order_relaxed)) {
    auto* record = static_cast<ThrowSiteRecord*>(pthread_getspecific(g_recordKey));
    if (record == nullptr) {
      record = static_cast<ThrowSiteRecord*>(std::calloc(1, sizeof(ThrowSiteRecord)));
      if (record != nullptr && pthread_setspecific(g_recordKey, record) != 0) {
        std::free(record);
        record = nullptr;
      }
    }
    if (record != nullptr) {
      record->thrownObject = thrownObject;
      record->count = captureReturnAddresses(record->addresses);
    }
  }
  if (g_nextThrow == nullptr) std::abort();
  g_nextThrow(thrownObject, type, destructor);
  std::abort();
}
}  // namespace __cxxabiv1

void TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
    TLCrashesUncaughtCXXExceptionHandler handler) {
  std::call_once(g_keyOnce, [] {
    pthread_key_create(&g_recordKey, releaseRecord);
    // The first backtrace loads the unwinder library; done here rather than inside a throw.
    void* frames[4];
    backtrace(frames, 4);
  });
  g_lock.lock();
  if (!g_installed.load()) {
    g_previousTerminate = std::set_terminate(terminateHandler);
    g_installed.store(true);
  }
  handlers().push_back(handler);
  g_lock.unlock();
}

void TLCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    TLCrashesUncaughtCXXExceptionHandler handler) {
  g_lock.lock();
  auto& list = handlers();
  auto found = std::find(list.begin(), list.end(), handler);
  if (found != list.end()) list.erase(found);
  if (g_installed.load() && list.empty()) {
    std::terminate_handler displaced = std::set_terminate(g_previousTerminate);
    if (displaced != terminateHandler) {
      // Someone replaced ours meanwhile: theirs stays, and so do we beneath it.
      std::set_terminate(displaced);
    } else {
      g_installed.store(false);
      g_previousTerminate = nullptr;
    }
  }
  g_lock.unlock();
}

std::uint32_t TLCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
  g_lock.lock();
  auto count = static_cast<std::uint32_t>(handlers().size());
  g_lock.unlock();
  return count;
}

namespace {
std::string demangledName(const char* typeName) {
  if (typeName == nullptr) return std::string();
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeName, nullptr, nullptr, &status);
  if (demangled == nullptr || status != 0) {
    std::free(demangled);
    return typeName;
  }
  std::string name = demangled;
  std::free(demangled);
  return name;
}
}  // namespace

TLCrashesCXXExceptionWrapperException::TLCrashesCXXExceptionWrapperException(
    const TLCrashesCXXExceptionInfo* info)
    : platform::Exception(demangledName(info ? info->typeName : nullptr),
                          info && info->messageText ? info->messageText : ""),
      info_(info) {}

std::vector<std::uint64_t> TLCrashesCXXExceptionWrapperException::callStackReturnAddresses() const {
  if (info_ == nullptr || info_->frameAddresses == nullptr) return {};
  return std::vector<std::uint64_t>(info_->frameAddresses, info_->frameAddresses + info_->frameCount);
}
