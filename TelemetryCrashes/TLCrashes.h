#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CRCrashReporter.h"
#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Util/TLEncrypter.h"
#include "Telemetry/TLServiceAbstract.h"
#include "TelemetryCrashes/Internals/TLMemoryPressureSource.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"
#include "TelemetryCrashes/TLCrashesDelegate.h"
#include "platform/Exception.h"

inline constexpr const char* kTLAppDidReceiveMemoryWarningKey = "TLAppDidReceiveMemoryWarning";
inline constexpr const char* kTLUserConfirmationKey = "TLUserConfirmation";

// The telemetry SDK's crash service: arms the crash engine when enabled, keeps a crash-time copy of
// the logs in flight, and at the next start turns the engine's report into a crash log, asks the
// application's consent and sends it on its unit "Crashes"; sends handled errors too.
class TLCrashes : public TLServiceAbstract, public TLChannelDelegate {
 public:
  static constexpr const char* kClassName = "TLCrashes";
  static constexpr const char* kGroupId = "Crashes";
  static constexpr const char* kBufferGroupId = "CrashesBuffer";
  static constexpr const char* kAnalyzerFilename = "TLCrashes.analyzer";
  // Copies in "crashes" larger than this are not reports of the engine (its reports are refused above
  // the same size); they are discarded unread.
  static constexpr std::uintmax_t kMaxCrashFileSize = 1024 * 1024;

  // Receives the pending reports on the main thread; true when the application will answer later
  // through notifyWithUserConfirmation, false to send at once.
  using UserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<TLErrorReport>>&)>;

  // ---- Class-level operations (on the shared instance) ----
  static std::shared_ptr<TLCrashes> sharedInstance();
  static void resetSharedInstance();
  static std::string serviceName() { return kGroupId; }
  static std::string logTag() { return "TelemetryCrashes"; }
  static void setUserConfirmationHandler(UserConfirmationHandler handler);
  static void notifyWithUserConfirmation(int userConfirmation);
  static bool hasCrashedInLastSession();
  static bool hasReceivedMemoryWarningInLastSession();
  static std::shared_ptr<TLErrorReport> lastSessionCrashReport();
  // Chooses signal handlers over the exception server; only before the first enabling in the process.
  static void disableMachExceptionHandler();
  static void setDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate);
  static void trackModelException(
      const std::shared_ptr<TLException>& exception,
      const std::optional<std::map<std::string, std::string>>& properties = std::nullopt);
  static void sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                   const std::string& incidentIdentifier);
  static void generateTestCrash();
  // Tests stand in for a tracer (nullopt: ask the SDK).
  static void setDebuggerAttachedForTesting(std::optional<bool> attached);

  TLCrashes();
  ~TLCrashes() override;

  // ---- Service ----
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const String& appSecret, const String& transmissionTargetToken,
                             bool fromApplication) override;
  void updateConfigurationWithAppSecret(const String& appSecret,
                                        const String& transmissionTargetToken) override;
  void applyEnabledState(bool isEnabled) override;
  std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration() const override {
    return channelUnitConfiguration_;
  }
  std::int64_t initializationPriority() const override { return 999; }
  bool isAppSecretRequired() const override { return true; }

  // ---- Channel delegate ----
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, std::uint64_t flags) override;
  void channelDidCompleteEnqueueingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                       const std::string& internalId) override;
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<platform::Error>& error) override;

  // ---- Instance state and operations ----
  bool didCrashInLastSession() const { return didCrashInLastSession_; }
  bool didReceiveMemoryWarningInLastSession() const { return didReceiveMemoryWarningInLastSession_; }
  std::shared_ptr<TLErrorReport> getLastSessionCrashReport() const;
  bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
  void setEnableMachExceptionHandler(bool enabled) { enableMachExceptionHandler_ = enabled; }
  bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_; }
  void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
  void setCrashesDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate);
  void setConfirmationHandler(UserConfirmationHandler handler);
  void trackModelExceptionWithProperties(const std::shared_ptr<TLException>& exception,
                                         const std::optional<std::map<std::string, std::string>>& properties);
  void sendErrorAttachmentsWithIncidentIdentifier(
      const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
      const std::string& incidentIdentifier);
  void notifyWithUserConfirmationAnswer(int userConfirmation);
  void didReceiveMemoryWarning();
  // The reports awaiting an answer; waits until the first processing pass has run.
  std::optional<std::vector<std::shared_ptr<TLErrorReport>>> unprocessedCrashReports();
  bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds);
  const std::shared_ptr<CRCrashReporter>& crCrashReporter() const { return crCrashReporter_; }
  std::shared_ptr<TLChannelUnitProtocol> bufferChannelUnit() const;
  TLMemoryPressureSource* memoryPressureSource() const { return memoryPressureSource_.get(); }
  std::vector<std::filesystem::path> crashFiles() const;

  // ---- Steps (named for the service's own parts and for tests) ----
  void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);
  void processMemoryWarningInLastSession();
  void clearContextHistoryAndKeepCurrentSession();
  void deleteAllFromCrashesDirectory();
  void removeAnalyzerFile();
  void clearUnprocessedReports();
  void handleLatestCrashReport();
  std::vector<std::filesystem::path> persistedCrashReports();
  void startDelayedCrashProcessing();
  void startCrashProcessing();
  void processCrashReports();
  bool sendCrashReportsOrAwaitUserConfirmation();
  bool userPromptedForConfirmation();
  bool shouldAlwaysSend();
  void handleUserConfirmation(int userConfirmation);
  static bool validatePropertiesForAttachment(const TLErrorAttachmentLog& attachment);
  void setupLogBuffer();
  void processLogBufferAfterCrash();
  void emptyLogBufferFiles();

 private:
  bool isDebuggerAttached() const;
  bool shouldProcessErrorReport(const std::shared_ptr<TLErrorReport>& report);
  std::shared_ptr<TLCrashesDelegate> delegate() const;
  void deleteCrashReportWithFileURL(const std::filesystem::path& url);
  void removeCrashFile(const std::filesystem::path& url);
  void createAnalyzerFile();
  void releaseProcessingSemaphore();
  void notifyDelegateOfLog(const std::shared_ptr<TLLog>& log, int which,
                           const std::optional<platform::Error>& error);

  mutable std::recursive_mutex mutex_;
  bool didCrashInLastSession_ = false;
  bool didReceiveMemoryWarningInLastSession_ = false;
  bool shouldReleaseProcessingSemaphore_ = true;
  bool enableMachExceptionHandler_ = true;
  bool automaticProcessingEnabled_ = true;
  std::weak_ptr<TLCrashesDelegate> delegate_;
  std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration_;
  std::shared_ptr<TLErrorReport> lastSessionCrashReport_;
  std::shared_ptr<TLChannelUnitProtocol> bufferChannelUnit_;
  TLEncrypter targetTokenEncrypter_;
  std::unique_ptr<TLMemoryPressureSource> memoryPressureSource_;
  std::vector<std::filesystem::path> crashFiles_;
  std::string crashesPathComponent_;
  std::string logBufferPathComponent_;
  std::string analyzerInProgressFilePathComponent_;
  std::shared_ptr<CRCrashReporter> crCrashReporter_;
  platform::UncaughtExceptionHandler exceptionHandler_ = nullptr;
  std::optional<std::vector<std::shared_ptr<TLAppleErrorLog>>> unprocessedLogs_;
  std::optional<std::vector<std::shared_ptr<TLErrorReport>>> unprocessedReports_;
  std::optional<std::vector<std::filesystem::path>> unprocessedFilePaths_;
  UserConfirmationHandler userConfirmationHandler_;
  // The delayed-processing semaphore: closed until the first pass ends.
  std::mutex semaphoreMutex_;
  std::condition_variable semaphoreCondition_;
  bool semaphoreOpen_ = false;
};
