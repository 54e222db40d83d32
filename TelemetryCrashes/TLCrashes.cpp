#include "TelemetryCrashes/TLCrashes.h"

#include <csignal>
#include <cstdlib>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/TLTelemetry.h"
#include "TelemetryCrashes/Internals/TLCrashesCXXExceptionHandler.h"
#include "TelemetryCrashes/Internals/TLCrashesLogBuffer.h"
#include "TelemetryCrashes/Internals/TLErrorLogFormatter.h"
#include "TelemetryCrashes/Internals/Util/TLCrashesUtil.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"
#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "TelemetryCrashes/Model/TLHandledErrorLog.h"
#include "TelemetryCrashes/TLWrapperCrashesHelper.h"
#include "platform/MainQueue.h"
#include "platform/UUID.h"

namespace {

constexpr const char* kCrashesTag = "TelemetryCrashes";

std::mutex g_sharedMutex;
std::shared_ptr<TLCrashes> g_shared;
std::atomic<int> g_debuggerOverride{-1};

// The engine's crash-time callback: after the report is written, the log buffer goes to its files.
void writeLogBufferAtCrash(siginfo_t*, ucontext_t*, void*) { TLCrashesLogBuffer::writeAtCrash(); }
const CRCrashReporterCallbacks kCrashCallbacks = {0, nullptr, writeLogBufferAtCrash};

// An uncaught C++ exception becomes an uncaught platform exception of the engine, then the end.
void uncaughtCXXExceptionHandler(const TLCrashesCXXExceptionInfo* info) {
  TLCrashesCXXExceptionWrapperException wrapper(info);
  if (platform::UncaughtExceptionHandler handler = platform::uncaughtExceptionHandler()) handler(wrapper);
  std::abort();
}

bool storedBool(const std::optional<platform::PropertyList>& value) {
  if (!value) return false;
  if (const bool* flag = value->asBoolean()) return *flag;
  if (const std::int64_t* number = value->asInteger()) return *number != 0;
  return false;
}

}  // namespace

// ---- Class-level operations ----

std::shared_ptr<TLCrashes> TLCrashes::sharedInstance() {
  std::lock_guard lock(g_sharedMutex);
  if (!g_shared) g_shared = std::make_shared<TLCrashes>();
  return g_shared;
}

void TLCrashes::resetSharedInstance() {
  std::shared_ptr<TLCrashes> old;
  {
    std::lock_guard lock(g_sharedMutex);
    old = std::move(g_shared);
  }
}

void TLCrashes::setUserConfirmationHandler(UserConfirmationHandler handler) {
  sharedInstance()->setConfirmationHandler(std::move(handler));
}

void TLCrashes::notifyWithUserConfirmation(int userConfirmation) {
  sharedInstance()->notifyWithUserConfirmationAnswer(userConfirmation);
}

bool TLCrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }
bool TLCrashes::hasReceivedMemoryWarningInLastSession() {
  return sharedInstance()->didReceiveMemoryWarningInLastSession();
}
std::shared_ptr<TLErrorReport> TLCrashes::lastSessionCrashReport() {
  return sharedInstance()->getLastSessionCrashReport();
}
void TLCrashes::disableMachExceptionHandler() { sharedInstance()->setEnableMachExceptionHandler(false); }
void TLCrashes::setDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate) {
  sharedInstance()->setCrashesDelegate(delegate);
}

void TLCrashes::trackModelException(const std::shared_ptr<TLException>& exception,
                                    const std::optional<std::map<std::string, std::string>>& properties) {
  sharedInstance()->trackModelExceptionWithProperties(exception, properties);
}

void TLCrashes::sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                     const std::string& incidentIdentifier) {
  sharedInstance()->sendErrorAttachmentsWithIncidentIdentifier(attachments, incidentIdentifier);
}

void TLCrashes::generateTestCrash() {
  auto crashes = sharedInstance();
  std::lock_guard lock(crashes->mutex_);
  if (!crashes->canBeUsed()) return;
  if (TLUtility::currentAppEnvironment() == 0) {
    TLLogWarning(kCrashesTag,
                 "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
    return;
  }
  if (crashes->isDebuggerAttached())
    TLLogWarning(kCrashesTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
  __builtin_trap();
}

void TLCrashes::setDebuggerAttachedForTesting(std::optional<bool> attached) {
  g_debuggerOverride = attached ? (*attached ? 1 : 0) : -1;
}

// ---- Instance ----

TLCrashes::TLCrashes() : TLServiceAbstract(kGroupId, kClassName) {
  TLCrashesRegisterArchivedClasses();
  channelUnitConfiguration_ = TLChannelUnitConfiguration::initWithGroupId(groupId(), 2, 1, 1, 3);
  crashesPathComponent_ = TLCrashesUtil::crashesDir();
  logBufferPathComponent_ = TLCrashesUtil::logBufferDir();
  analyzerInProgressFilePathComponent_ = crashesPathComponent_ + "/" + kAnalyzerFilename;
  setupLogBuffer();
}

TLCrashes::~TLCrashes() {
  if (memoryPressureSource_) memoryPressureSource_->cancel();
}

bool TLCrashes::isDebuggerAttached() const {
  const int override = g_debuggerOverride.load();
  if (override >= 0) return override == 1;
  return TLTelemetry::isDebuggerAttached();
}

std::shared_ptr<TLErrorReport> TLCrashes::getLastSessionCrashReport() const {
  std::lock_guard lock(mutex_);
  return lastSessionCrashReport_;
}

std::shared_ptr<TLChannelUnitProtocol> TLCrashes::bufferChannelUnit() const {
  std::lock_guard lock(mutex_);
  return bufferChannelUnit_;
}

std::vector<std::filesystem::path> TLCrashes::crashFiles() const {
  std::lock_guard lock(mutex_);
  return crashFiles_;
}

void TLCrashes::setCrashesDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

std::shared_ptr<TLCrashesDelegate> TLCrashes::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void TLCrashes::setConfirmationHandler(UserConfirmationHandler handler) {
  std::lock_guard lock(mutex_);
  userConfirmationHandler_ = std::move(handler);
}

void TLCrashes::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                      const String& appSecret, const String& transmissionTargetToken,
                                      bool fromApplication) {
  TLServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (channelGroup)
    channelGroup->addDelegate(std::dynamic_pointer_cast<TLChannelDelegate>(shared_from_this()));
  processLogBufferAfterCrash();
  processMemoryWarningInLastSession();
  TLLogVerbose(kCrashesTag, "Started crash service.");
}

void TLCrashes::updateConfigurationWithAppSecret(const String& appSecret,
                                                 const String& transmissionTargetToken) {
  processLogBufferAfterCrash();
  TLServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
}

void TLCrashes::processMemoryWarningInLastSession() {
  if (!isEnabled()) return;
  auto defaults = TLUserDefaults::shared();
  didReceiveMemoryWarningInLastSession_ =
      storedBool(defaults->objectForKey(kTLAppDidReceiveMemoryWarningKey));
  if (didReceiveMemoryWarningInLastSession_)
    TLLogDebug(kCrashesTag, "The application received a low memory warning in the last session.");
  defaults->removeObjectForKey(kTLAppDidReceiveMemoryWarningKey);
}

void TLCrashes::didReceiveMemoryWarning() {
  TLLogDebug(kCrashesTag, "The application received a low memory warning in the last session.");
  TLUserDefaults::shared()->setObject(platform::PropertyList(true), kTLAppDidReceiveMemoryWarningKey);
}

void TLCrashes::applyEnabledState(bool isEnabled) {
  TLServiceAbstract::applyEnabledState(isEnabled);
  if (isEnabled) {
    auto setupDelegate = TLWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    bool uncaught = true;
    if (setupDelegate) {
      uncaught = setupDelegate->shouldEnableUncaughtExceptionHandler().value_or(true);
      setupDelegate->willSetUpCrashHandlers();
    }
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(uncaught);
    if (setupDelegate) setupDelegate->didSetUpCrashHandlers();

    std::weak_ptr<TLCrashes> weak = std::static_pointer_cast<TLCrashes>(shared_from_this());
    auto source = std::make_unique<TLMemoryPressureSource>([weak] {
      if (auto crashes = weak.lock()) crashes->didReceiveMemoryWarning();
    });
    source->resume();
    {
      std::lock_guard lock(mutex_);
      if (memoryPressureSource_) memoryPressureSource_->cancel();
      memoryPressureSource_ = std::move(source);
    }

    // Switched on after having been off: a crash from that time is never reported.
    if (!this->isEnabled() && crCrashReporter_) crCrashReporter_->purgePendingCrashReport();
    if (crCrashReporter_ && crCrashReporter_->hasPendingCrashReport()) {
      didCrashInLastSession_ = true;
      TLLogDebug(kCrashesTag, "The application crashed in the last session.");
      handleLatestCrashReport();
    }
    auto files = persistedCrashReports();
    {
      std::lock_guard lock(mutex_);
      crashFiles_ = files;
    }
    if (!files.empty()) {
      startDelayedCrashProcessing();
    } else {
      releaseProcessingSemaphore();
      clearContextHistoryAndKeepCurrentSession();
    }
    if (isDebuggerAttached()) {
      TLLogInfo(kCrashesTag,
                "Crashes service has been enabled but the service cannot detect crashes due to running the "
                "application with a debugger attached.");
    } else {
      TLLogInfo(kCrashesTag, "Crashes service has been enabled.");
    }
    return;
  }

  std::unique_ptr<TLMemoryPressureSource> source;
  {
    std::lock_guard lock(mutex_);
    source = std::move(memoryPressureSource_);
  }
  if (source) source->cancel();
  TLLogDebug(kCrashesTag, "Cleaning up all crash files.");
  TLWrapperExceptionManager::deleteAllWrapperExceptions();
  deleteAllFromCrashesDirectory();
  emptyLogBufferFiles();
  removeAnalyzerFile();
  if (crCrashReporter_) crCrashReporter_->purgePendingCrashReport();
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
  TLUserDefaults::shared()->removeObjectForKey(kTLAppDidReceiveMemoryWarningKey);
  TLLogInfo(kCrashesTag, "Crashes service has been disabled.");
}

void TLCrashes::clearContextHistoryAndKeepCurrentSession() {
  TLDeviceTracker::sharedInstance()->clearDevices();
  TLSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
  TLUserIdContext::sharedInstance()->clearUserIdHistory();
}

void TLCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(
    bool enableUncaughtExceptionHandler) {
  if (crCrashReporter_) {
    TLLogDebug(kCrashesTag, "Already configured CRCrashReporter.");
    return;
  }
  if (enableUncaughtExceptionHandler) {
    TLLogDebug(kCrashesTag, "EnableUncaughtExceptionHandler is set to YES");
  } else {
    TLLogDebug(kCrashesTag,
               "EnableUncaughtExceptionHandler is set to NO, we're running in a managed wrapper runtime.");
  }
  std::uint64_t signalHandlerType = CRCrashSignalHandlerTypeBSD;
  if (isMachExceptionHandlerEnabled()) {
    signalHandlerType = CRCrashSignalHandlerTypeMach;
    TLLogVerbose(kCrashesTag, "Enabled Mach exception handler.");
  }
  auto config = CRCrashReporterConfig::initWithSignalHandlerType(
      signalHandlerType, CRCrashSymbolicationStrategyNone, enableUncaughtExceptionHandler);
  crCrashReporter_ = CRCrashReporter::initWithConfiguration(config);
  if (isDebuggerAttached()) {
    TLLogWarning(kCrashesTag,
                 "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
    return;
  }
  const platform::UncaughtExceptionHandler before = platform::uncaughtExceptionHandler();
  crCrashReporter_->setCrashCallbacks(&kCrashCallbacks);
  platform::Error error;
  if (!crCrashReporter_->enableCrashReporter(&error))
    TLLogError(kCrashesTag, "Could not enable crash reporter: {}", error.description);
  const platform::UncaughtExceptionHandler after = platform::uncaughtExceptionHandler();
  if (after != nullptr && after != before) {
    exceptionHandler_ = after;
    TLLogDebug(kCrashesTag, "Exception handler successfully initialized.");
  } else if (!enableUncaughtExceptionHandler && after != nullptr) {
    exceptionHandler_ = after;
    TLLogDebug(
        kCrashesTag,
        "Exception handler successfully initialized but it has not been registered due to the wrapper SDK.");
  } else {
    TLLogError(kCrashesTag,
               "Exception handler could not be set. Make sure there is no other exception handler set up!");
  }
  TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(uncaughtCXXExceptionHandler);
}

void TLCrashes::trackModelExceptionWithProperties(
    const std::shared_ptr<TLException>& exception,
    const std::optional<std::map<std::string, std::string>>& properties) {
  std::lock_guard lock(mutex_);
  if (!canBeUsed() || !isEnabled()) return;
  auto log = TLHandledErrorLog::init();
  log->setUserId(TLUserIdContext::sharedInstance()->userId());
  log->setErrorId(platform::makeUUIDString());
  log->setException(exception);
  if (properties && !properties->empty()) {
    log->setProperties(TLUtility::validateProperties(
        *properties, fmt::format("ErrorLog: {}", *log->errorId()), *log->type()));
  }
  if (auto unit = channelUnit()) unit->enqueueItem(log, 1);
}

// ---- Channel delegate ----

void TLCrashes::channelDidPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                     const std::string& internalId, std::uint64_t) {
  if (!log || !isEnabled()) return;
  std::lock_guard lock(mutex_);
  TLCrashesLogBuffer::bufferLog(log, internalId, targetTokenEncrypter_);
}

void TLCrashes::channelDidCompleteEnqueueingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                                const std::string& internalId) {
  std::lock_guard lock(mutex_);
  TLCrashesLogBuffer::clearWithInternalId(internalId, log);
}

void TLCrashes::notifyDelegateOfLog(const std::shared_ptr<TLLog>& log, int which,
                                    const std::optional<platform::Error>& error) {
  auto crashLog = std::dynamic_pointer_cast<TLAppleErrorLog>(log);
  if (!crashLog) return;
  auto target = delegate();
  if (!target) return;
  auto report = TLErrorLogFormatter::errorReportFromLog(*crashLog);
  auto self = std::static_pointer_cast<TLCrashes>(shared_from_this());
  platform::postToMain([self, target, report, which, error] {
    if (which == 0) target->crashesWillSendErrorReport(*self, report);
    if (which == 1) target->crashesDidSucceedSendingErrorReport(*self, report);
    if (which == 2) target->crashesDidFailSendingErrorReport(*self, report, error);
  });
}

void TLCrashes::channelWillSendLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  notifyDelegateOfLog(log, 0, std::nullopt);
}

void TLCrashes::channelDidSucceedSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  notifyDelegateOfLog(log, 1, std::nullopt);
}

void TLCrashes::channelDidFailSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                         const std::optional<platform::Error>& error) {
  notifyDelegateOfLog(log, 2, error);
}

// ---- Log buffer ----

void TLCrashes::setupLogBuffer() {
  std::lock_guard lock(mutex_);
  auto directory = TLUtility::fullURLForPathComponent(logBufferPathComponent_);
  if (!directory) return;
  TLCrashesLogBuffer::setupWithDirectory(directory->string());
  // Every slot's file exists before anything is armed; one holding a log of a crash stays as it is.
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i) {
    TLUtility::createFileAtPathComponent(
        fmt::format("{}/{}.{}", logBufferPathComponent_, i, TLCrashesLogBuffer::kBufferExtension),
        std::nullopt, false, false);
  }
}

void TLCrashes::processLogBufferAfterCrash() {
  auto group = channelGroup();
  std::shared_ptr<TLChannelUnitProtocol> unit;
  if (group) {
    unit = group->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::initWithGroupId(kBufferGroupId, 2, 1, 50, 1));
  }
  {
    std::lock_guard lock(mutex_);
    bufferChannelUnit_ = unit;
  }
  TLCrashesLogBuffer::processLogBufferAfterCrash(logBufferPathComponent_, unit, targetTokenEncrypter_);
}

void TLCrashes::emptyLogBufferFiles() { TLCrashesLogBuffer::emptyLogBufferFiles(logBufferPathComponent_); }
