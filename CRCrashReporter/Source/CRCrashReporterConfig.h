#pragma once
// The reporter's configuration: which handlers to arm, how to symbolicate, whether to hook uncaught
// exceptions. Immutable.

#include <cstdint>
#include <memory>

// signalHandlerType: 0 signal handlers, 1 exception server with a SIGABRT signal handler, other values arm
// no handler.
inline constexpr std::uint64_t CRCrashSignalHandlerTypeBSD = 0;
inline constexpr std::uint64_t CRCrashSignalHandlerTypeMach = 1;
// symbolicationStrategy bits: 1 symbol tables, 2 Objective-C metadata.
inline constexpr std::uint64_t CRCrashSymbolicationStrategyNone = 0;
inline constexpr std::uint64_t CRCrashSymbolicationStrategySymbolTable = 1;
inline constexpr std::uint64_t CRCrashSymbolicationStrategyObjC = 2;
inline constexpr std::uint64_t CRCrashSymbolicationStrategyAll = 3;

class CRCrashReporterConfig {
 public:
  // (0, 0, true).
  static std::shared_ptr<const CRCrashReporterConfig> defaultConfiguration() {
    return initWithSignalHandlerType(0, 0, true);
  }
  static std::shared_ptr<const CRCrashReporterConfig> initWithSignalHandlerType(
      std::uint64_t signalHandlerType, std::uint64_t symbolicationStrategy,
      bool shouldRegisterUncaughtExceptionHandler = true) {
    return std::shared_ptr<const CRCrashReporterConfig>(new CRCrashReporterConfig(
        signalHandlerType, symbolicationStrategy, shouldRegisterUncaughtExceptionHandler));
  }

  std::uint64_t signalHandlerType() const { return signalHandlerType_; }
  std::uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
  bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }

 private:
  CRCrashReporterConfig(std::uint64_t type, std::uint64_t strategy, bool exceptions)
      : signalHandlerType_(type),
        symbolicationStrategy_(strategy),
        shouldRegisterUncaughtExceptionHandler_(exceptions) {}
  std::uint64_t signalHandlerType_;
  std::uint64_t symbolicationStrategy_;
  bool shouldRegisterUncaughtExceptionHandler_;
};
