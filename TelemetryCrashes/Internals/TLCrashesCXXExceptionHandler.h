#pragma once

#include <cstdint>
#include <vector>

#include "platform/Exception.h"

// An uncaught C++ exception as the terminate handler hands it to its handlers: valid only while they
// run (it lives on the terminate handler's stack).
struct TLCrashesCXXExceptionInfo {
  // The runtime's handle of the current exception (a std::exception_ptr).
  const void* exceptionObject = nullptr;
  // The type's name as the compiler encodes it (not demangled).
  const char* typeName = nullptr;
  // what() of a std::exception, the characters of a std::string or a C string; null otherwise.
  const char* messageText = nullptr;
  // Return addresses of the throw site, innermost first.
  std::uint32_t frameCount = 0;
  const std::uint64_t* frameAddresses = nullptr;
};

using TLCrashesUncaughtCXXExceptionHandler = void (*)(const TLCrashesCXXExceptionInfo* info);

// The handlers called when the process is about to end by an uncaught C++ exception. The first handler
// installs a terminate handler (and starts recording each thread's throw sites in the program's own
// __cxa_throw); removing the last one puts the previous terminate handler back.
class TLCrashesUncaughtCXXExceptionHandlerManager {
 public:
  // Duplicates are allowed: a handler added twice is called twice.
  static void addCXXExceptionHandler(TLCrashesUncaughtCXXExceptionHandler handler);
  // Removes the first occurrence.
  static void removeCXXExceptionHandler(TLCrashesUncaughtCXXExceptionHandler handler);
  static std::uint32_t countCXXExceptionHandler();
};

// A platform exception that carries an uncaught C++ exception: its demangled type as the name, its
// message as the reason and the throw site's frames as its stack.
class TLCrashesCXXExceptionWrapperException : public platform::Exception {
 public:
  explicit TLCrashesCXXExceptionWrapperException(const TLCrashesCXXExceptionInfo* info);
  static TLCrashesCXXExceptionWrapperException initWithCXXExceptionInfo(
      const TLCrashesCXXExceptionInfo* info) {
    return TLCrashesCXXExceptionWrapperException(info);
  }

  std::vector<std::uint64_t> callStackReturnAddresses() const override;
  const TLCrashesCXXExceptionInfo* info() const { return info_; }

 private:
  const TLCrashesCXXExceptionInfo* info_;
};
