#include "TelemetryCrashes/TLWrapperCrashesHelper.h"

#include <mutex>

#include "TelemetryCrashes/TLCrashes.h"

namespace {
std::mutex g_wrapperHelperMutex;
std::weak_ptr<TLCrashHandlerSetupDelegate> g_setupDelegate;
}  // namespace

void TLWrapperCrashesHelper::setCrashHandlerSetupDelegate(
    const std::shared_ptr<TLCrashHandlerSetupDelegate>& delegate) {
  std::lock_guard lock(g_wrapperHelperMutex);
  g_setupDelegate = delegate;
}

std::shared_ptr<TLCrashHandlerSetupDelegate> TLWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
  std::lock_guard lock(g_wrapperHelperMutex);
  return g_setupDelegate.lock();
}

void TLWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
  TLCrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

std::optional<std::vector<std::shared_ptr<TLErrorReport>>> TLWrapperCrashesHelper::unprocessedCrashReports() {
  return TLCrashes::sharedInstance()->unprocessedCrashReports();
}

bool TLWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& filteredIds) {
  return TLCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
}

void TLWrapperCrashesHelper::sendErrorAttachments(
    const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
    const std::string& incidentIdentifier) {
  TLCrashes::sendErrorAttachments(attachments, incidentIdentifier);
}
