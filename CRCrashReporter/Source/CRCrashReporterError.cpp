#include "CRCrashReporterError.h"

#include <cstring>

platform::Error crcrash_error(int code, const std::string& message) {
  platform::Error error = platform::Error::make(CRCrashReporterErrorDomain, code, message);
  error.userInfo["NSLocalizedDescription"] = message;
  return error;
}

platform::Error crcrash_error(int code, const std::string& message, const platform::Error& underlying) {
  platform::Error error = crcrash_error(code, message);
  error.userInfo["NSUnderlyingError"] = {
      {"domain", underlying.domain}, {"code", underlying.code}, {"description", underlying.description}};
  return error;
}

platform::Error crcrash_posix_error(const std::string& message, int error) {
  return crcrash_error(CRCrashReporterErrorOperatingSystem, message,
                       platform::Error::make(platform::kPOSIXErrorDomain, error, std::strerror(error)));
}

platform::Error crcrash_mach_error(const std::string& message, int kr) {
  return crcrash_error(CRCrashReporterErrorOperatingSystem, message,
                       platform::Error::make(NSMachErrorDomain, kr, "Mach error " + std::to_string(kr)));
}
