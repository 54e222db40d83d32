#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace platform {

// An error report: a domain, a code within it, a readable description and free user info.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  nlohmann::json userInfo = nlohmann::json::object();

  static Error make(std::string domain, std::int64_t code, std::string description) {
    return Error{std::move(domain), code, std::move(description), nlohmann::json::object()};
  }
  // An error in the POSIX domain from an errno value, with the system's text after the context.
  static Error fromErrno(int err, const std::string& context);
};

inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// Stores the error when the caller asked for one (the out-argument may be null); returns false so
// that failing paths can write `return fail(error, ...)`.
inline bool fail(Error* out, Error error) {
  if (out) *out = std::move(error);
  return false;
}

}  // namespace platform
