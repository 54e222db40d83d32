#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"
#include "platform/Error.h"

class TLCrashes;

// The application's optional hooks into crash processing. A hook left as it is counts as not
// implemented: nullopt from the asking ones.
class TLCrashesDelegate {
 public:
  virtual ~TLCrashesDelegate() = default;
  // Whether to process the report (not implemented: yes).
  virtual std::optional<bool> crashesShouldProcessErrorReport(
      TLCrashes& /*crashes*/, const std::shared_ptr<TLErrorReport>& /*report*/) {
    return std::nullopt;
  }
  // Files to send with the report.
  virtual std::optional<std::vector<std::shared_ptr<TLErrorAttachmentLog>>> attachmentsWithCrashes(
      TLCrashes& /*crashes*/, const std::shared_ptr<TLErrorReport>& /*report*/) {
    return std::nullopt;
  }
  // Sending callbacks, on the main queue.
  virtual void crashesWillSendErrorReport(TLCrashes& /*crashes*/,
                                          const std::shared_ptr<TLErrorReport>& /*report*/) {}
  virtual void crashesDidSucceedSendingErrorReport(TLCrashes& /*crashes*/,
                                                   const std::shared_ptr<TLErrorReport>& /*report*/) {}
  virtual void crashesDidFailSendingErrorReport(TLCrashes& /*crashes*/,
                                                const std::shared_ptr<TLErrorReport>& /*report*/,
                                                const std::optional<platform::Error>& /*error*/) {}
};

// How a wrapper SDK takes part in arming: every hook optional.
class TLCrashHandlerSetupDelegate {
 public:
  virtual ~TLCrashHandlerSetupDelegate() = default;
  virtual void willSetUpCrashHandlers() {}
  virtual void didSetUpCrashHandlers() {}
  // Whether to hook uncaught exceptions (not implemented: yes).
  virtual std::optional<bool> shouldEnableUncaughtExceptionHandler() { return std::nullopt; }
};

// The application's answers to the consent question.
enum TLUserConfirmation : int {
  TLUserConfirmationDontSend = 0,
  TLUserConfirmationSend = 1,
  TLUserConfirmationAlways = 2,
};
