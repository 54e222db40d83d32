#pragma once
// The crash engine's public face: configuration and report paths, arming capture once per process, the
// report left by the previous run, and live reports.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "CRCrashMachExceptionServer.h"
#include "CRCrashProcessInfo.h"
#include "CRCrashReporterCallbacks.h"
#include "CRCrashReporterConfig.h"
#include "CRCrashReporterError.h"
#include "crcrash_write_report.h"
#include "platform/Bundle.h"
#include "platform/Data.h"

// What the crash paths need, complete before any handler is armed: the report context and the copy of
// the exception ports registered before the engine's.
struct crcrash_reporter_handler_state {
  crcrash_handler_context_t report;
  crcrash_mach_exception_port_set previous_ports;
};

// The engine's exception-server callback (its context is a crcrash_reporter_handler_state): offers the
// exception to the previous ports first; when none handles it, writes the report with the exception
// mapped to a signal, calls the crash callbacks' handleSignal and answers KERN_FAILURE, so that the
// exception goes on to end the process.
kern_return_t crcrash_mach_exception_callback(task_t task, thread_t thread, exception_type_t type,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t code_count, void* context);

class CRCrashReporter : public std::enable_shared_from_this<CRCrashReporter> {
 public:
  // Made once from the main bundle and the default configuration.
  static std::shared_ptr<CRCrashReporter> sharedReporter();
  static std::shared_ptr<CRCrashReporter> init();
  static std::shared_ptr<CRCrashReporter> initWithConfiguration(
      std::shared_ptr<const CRCrashReporterConfig> config);
  // Identifier and versions from the bundle; a null bundle (or one without an identifier) falls back to
  // the process name. Throws CRCrashReporterException when neither can be found.
  static std::shared_ptr<CRCrashReporter> initWithBundle(const platform::Bundle* bundle,
                                                         std::shared_ptr<const CRCrashReporterConfig> config);
  static std::shared_ptr<CRCrashReporter> initWithApplicationIdentifier(
      std::string identifier, std::string version, std::optional<std::string> marketingVersion,
      std::shared_ptr<const CRCrashReporterConfig> config);

  bool hasPendingCrashReport() const;
  // The pending report's bytes; a file over 1 MiB is refused unread (code 2).
  std::optional<platform::Data> loadPendingCrashReportData(platform::Error* error = nullptr) const;
  bool purgePendingCrashReport(platform::Error* error = nullptr) const;

  // Arms capture: once per process (a second enable anywhere fails with code 3).
  bool enableCrashReporter(platform::Error* error = nullptr);
  // Must be called before enabling; throws CRCrashReporterException afterwards.
  void setCrashCallbacks(const CRCrashReporterCallbacks* callbacks);

  // A report of the process as it is now, crashed on `thread` (a thread id of this process).
  std::optional<platform::Data> generateLiveReportWithThread(thread_t thread,
                                                             platform::Error* error = nullptr);
  std::optional<platform::Data> generateLiveReport(platform::Error* error = nullptr);

  // Starts an exception server with `callback` and registers it for the task with the mask for this host;
  // the ports registered before go to `previous`.
  std::shared_ptr<CRCrashMachExceptionServer> enableMachExceptionServerWithPreviousPortSet(
      std::shared_ptr<CRCrashMachExceptionPortSet>* previous, crcrash_exception_server_callback callback,
      void* context, platform::Error* error);

  static std::uint32_t mapToAsyncSymbolicationStrategy(std::uint64_t strategy) {
    return static_cast<std::uint32_t>(strategy & 3);
  }
  bool populateCrashReportDirectory(platform::Error* error = nullptr) const;

  const std::filesystem::path& crashReportDirectory() const { return crashReportDirectory_; }
  std::filesystem::path queuedCrashReportDirectory() const {
    return crashReportDirectory_ / "queued_reports";
  }
  std::filesystem::path crashReportPath() const { return crashReportDirectory_ / "live_report.crcrash"; }
  bool isEnabled() const { return enabled_; }
  const std::string& applicationIdentifier() const { return applicationIdentifier_; }

  // The exception mask registered for a host whose Darwin major version is `major` (0x6E, or 0x106E from
  // 13 on). Tests may fix the version the reporter reads (nullopt: the host's own).
  static platform::crash::exception_mask_t machExceptionMaskForDarwinMajor(std::uint64_t major);
  static void setDarwinMajorVersionForTesting(std::optional<std::uint64_t> major);

  // The process-wide context the crash paths write through (for tests).
  static const crcrash_reporter_handler_state& handlerState();

 private:
  CRCrashReporter() = default;

  std::shared_ptr<const CRCrashReporterConfig> config_;
  bool enabled_ = false;
  std::shared_ptr<CRCrashMachExceptionServer> machServer_;
  std::shared_ptr<CRCrashMachExceptionPortSet> previousMachPorts_;
  std::string applicationIdentifier_;
  std::string applicationVersion_;
  std::optional<std::string> applicationMarketingVersion_;
  std::filesystem::path crashReportDirectory_;
};
