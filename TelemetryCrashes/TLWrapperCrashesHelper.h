#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"
#include "TelemetryCrashes/TLCrashesDelegate.h"

// How a wrapper SDK (a layer for another runtime) steers crash handling. This program has none; the
// service still asks it on its normal paths.
class TLWrapperCrashesHelper {
 public:
  static void setCrashHandlerSetupDelegate(const std::shared_ptr<TLCrashHandlerSetupDelegate>& delegate);
  static std::shared_ptr<TLCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();
  static void setAutomaticProcessing(bool automaticProcessing);
  static std::optional<std::vector<std::shared_ptr<TLErrorReport>>> unprocessedCrashReports();
  static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
      const std::vector<std::string>& filteredIds);
  static void sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                   const std::string& incidentIdentifier);
};
