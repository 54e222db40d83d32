#pragma once
// The engine's error objects (domain CRCrashReporterErrorDomain) and the exception raised on misuse.

#include <stdexcept>
#include <string>

#include "CRCrashReport.h"
#include "platform/Error.h"

// Error codes of CRCrashReporterErrorDomain.
enum CRCrashReporterError : int {
  CRCrashReporterErrorUnknown = 0,
  CRCrashReporterErrorOperatingSystem = 1,
  CRCrashReporterErrorCrashReportInvalid = 2,
  CRCrashReporterErrorResourceBusy = 3,
};

inline constexpr const char* CRCrashReporterExceptionName = "CRCrashReporterException";
inline constexpr const char* NSMachErrorDomain = "NSMachErrorDomain";

// Raised when the reporter is used against its rules (callbacks set after enabling, a second enable of
// the same reporter, no identifier to be found).
class CRCrashReporterException : public std::runtime_error {
 public:
  explicit CRCrashReporterException(const std::string& reason) : std::runtime_error(reason) {}
  const char* name() const { return CRCrashReporterExceptionName; }
};

// An error of the engine's domain with the message as its description, and the underlying error (domain
// and code) in userInfo["NSUnderlyingError"] when there is one.
platform::Error crcrash_error(int code, const std::string& message);
platform::Error crcrash_error(int code, const std::string& message, const platform::Error& underlying);
// Code 1 with an underlying NSPOSIXErrorDomain error carrying errno.
platform::Error crcrash_posix_error(const std::string& message, int error);
// Code 1 with an underlying NSMachErrorDomain error carrying the kern_return_t.
platform::Error crcrash_mach_error(const std::string& message, int kr);
