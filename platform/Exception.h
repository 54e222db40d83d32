#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace platform {

// A named exception with a reason and the return addresses of the stack it was made on, as the
// platform's exception objects carry them.
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);
  ~Exception() override = default;

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return reason_.c_str(); }
  // Innermost first; recorded when the exception was made.
  virtual std::vector<std::uint64_t> callStackReturnAddresses() const { return returnAddresses_; }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::uint64_t> returnAddresses_;
};

// Called with an Exception that nothing caught, before the process terminates. Setting a handler
// installs a terminate handler that hands such exceptions to it and then runs the terminate handler
// that was in place before.
using UncaughtExceptionHandler = void (*)(const Exception& exception);
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler uncaughtExceptionHandler();

}  // namespace platform
