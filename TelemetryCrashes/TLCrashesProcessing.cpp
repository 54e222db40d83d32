// Crash report processing and user confirmation of the crash service.
#include <cmath>
#include <filesystem>

#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryCrashes/Internals/TLErrorLogFormatter.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"
#include "TelemetryCrashes/TLCrashes.h"
#include "platform/DispatchQueue.h"
#include "platform/Files.h"
#include "platform/MainQueue.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProcessingTag = "TelemetryCrashes";

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void TLCrashes::handleLatestCrashReport() {
  bool copied = false;
  bool consumed = false;  // unloadable or undecodable reports are purged as well
  if (TLUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_)) {
    TLLogError(kProcessingTag, "Error on loading the crash report, it will be purged.");
    consumed = true;
  } else {
    createAnalyzerFile();
    platform::Error error;
    auto data = crCrashReporter_->loadPendingCrashReportData(&error);
    if (!data) {
      TLLogError(kProcessingTag, "Couldn't load crash report: {}", error.description);
      consumed = true;
    } else {
      platform::Error decodeError;
      auto report = CRCrashReport::initWithData(*data, &decodeError);
      if (!report) {
        TLLogWarning(kProcessingTag, "Couldn't parse crash report: {}", decodeError.description);
        consumed = true;
      } else {
        // Named by the seconds since 2001; a name already taken (two crashes within one second) gets
        // "-2", "-3", ... so no earlier copy is ever overwritten.
        const std::string base =
            fmt::format("{:.0f}", std::round(platform::Date::now().timeIntervalSinceReferenceDate()));
        std::string name = base;
        for (int n = 2; TLUtility::fileExistsForPathComponent(crashesPathComponent_ + "/" + name); ++n)
          name = fmt::format("{}-{}", base, n);
        copied = TLUtility::createFileAtPathComponent(crashesPathComponent_ + "/" + name, *data, true, false)
                     .has_value();
        auto errorReport = TLErrorLogFormatter::errorReportFromCrashReport(report);
        {
          std::lock_guard lock(mutex_);
          lastSessionCrashReport_ = errorReport;
        }
        if (errorReport) TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
      }
    }
  }
  removeAnalyzerFile();
  // The engine's report goes only once its copy is safe (or when it can never be read): a failed copy
  // leaves it for the next start.
  if (copied || consumed) crCrashReporter_->purgePendingCrashReport();
}

std::vector<fs::path> TLCrashes::persistedCrashReports() {
  std::vector<fs::path> reports;
  auto files = TLUtility::contentsOfDirectory(crashesPathComponent_, {"name", "fileSize", "isRegularFile"});
  if (!files) {
    TLLogError(kProcessingTag, "No persisted crashes found.");
    return reports;
  }
  static const char* const kIgnored[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};
  for (const auto& file : *files) {
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(file, error))) continue;
    const auto size = fs::file_size(file, error);
    if (error || size == 0) continue;
    const std::string name = file.filename().string();
    bool ignored = false;
    for (const char* suffix : kIgnored) ignored = ignored || endsWith(name, suffix);
    if (ignored) continue;
    if (size > kMaxCrashFileSize) {
      TLLogWarning(kProcessingTag, "Crash report found but couldn't parse it, discard the crash report: {}",
                   "the file is larger than 1 MiB");
      deleteCrashReportWithFileURL(file);
      continue;
    }
    reports.push_back(file);
  }
  return reports;
}

void TLCrashes::startDelayedCrashProcessing() {
  std::weak_ptr<TLCrashes> weak = std::static_pointer_cast<TLCrashes>(shared_from_this());
  platform::DispatchQueue::global()->after(platform::Seconds(1.0), [weak] {
    auto crashes = weak.lock();
    if (!crashes) return;
    crashes->startCrashProcessing();
    crashes->releaseProcessingSemaphore();
  });
}

void TLCrashes::releaseProcessingSemaphore() {
  std::lock_guard lock(mutex_);
  if (!shouldReleaseProcessingSemaphore_) return;
  shouldReleaseProcessingSemaphore_ = false;
  {
    std::lock_guard semaphoreLock(semaphoreMutex_);
    semaphoreOpen_ = true;
  }
  semaphoreCondition_.notify_all();
}

void TLCrashes::startCrashProcessing() {
  if (isAutomaticProcessingEnabled() && TLUtility::applicationState() == TLApplicationStateBackground) {
    TLLogWarning(kProcessingTag,
                 "Crashes will not be processed because the application is in the background.");
    return;
  }
  TLLogDebug(kProcessingTag, "Start delayed CrashManager processing");
  if (exceptionHandler_ != nullptr && exceptionHandler_ != platform::uncaughtExceptionHandler()) {
    TLLogWarning(
        kProcessingTag,
        "Another exception handler was added. If this invokes any kind of exit() after processing the "
        "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT "
        "be reported to Telemetry!");
  }
  processCrashReports();
}

void TLCrashes::processCrashReports() {
  if (!isEnabled()) {
    TLLogDebug(kProcessingTag, "Crashes service is disabled; discard all crash reports");
    deleteAllFromCrashesDirectory();
    TLWrapperExceptionManager::deleteAllWrapperExceptions();
    return;
  }
  std::vector<fs::path> files;
  {
    std::lock_guard lock(mutex_);
    unprocessedLogs_.emplace();
    unprocessedReports_.emplace();
    unprocessedFilePaths_.emplace();
    files = crashFiles_;
  }
  std::map<fs::path, std::shared_ptr<const CRCrashReport>> reports;
  std::map<fs::path, std::shared_ptr<TLErrorReport>> errorReports;
  for (const auto& file : files) {
    auto data = platform::files::readSmallRegularFile(file, kMaxCrashFileSize);
    if (!data || data->empty()) continue;
    platform::Error error;
    auto report = CRCrashReport::initWithData(*data, &error);
    if (report) {
      reports[file] = report;
      errorReports[file] = TLErrorLogFormatter::errorReportFromCrashReport(report);
    } else {
      TLLogWarning(kProcessingTag, "Crash report found but couldn't parse it, discard the crash report: {}",
                   error.description);
      deleteCrashReportWithFileURL(file);
      removeCrashFile(file);
    }
  }
  std::vector<std::shared_ptr<TLErrorReport>> all;
  for (const auto& [file, report] : errorReports) all.push_back(report);
  TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(all);

  for (const auto& [file, report] : reports) {
    TLLogVerbose(kProcessingTag, "Crash reports found");
    auto log = TLErrorLogFormatter::errorLogFromCrashReport(*report);
    const auto& errorReport = errorReports[file];
    if (isAutomaticProcessingEnabled() && !shouldProcessErrorReport(errorReport)) {
      TLLogDebug(kProcessingTag, "shouldProcessErrorReport returned NO, discard the crash report: {}",
                 file.string());
      if (errorReport && errorReport->incidentIdentifier())
        TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*errorReport->incidentIdentifier());
      deleteCrashReportWithFileURL(file);
      removeCrashFile(file);
      continue;
    }
    if (isAutomaticProcessingEnabled()) {
      TLLogDebug(
          kProcessingTag,
          "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: {}",
          file.string());
    } else {
      TLLogDebug(kProcessingTag,
                 "Automatic crash processing is disabled, storing the crash report for later processing: {}",
                 file.string());
    }
    std::lock_guard lock(mutex_);
    unprocessedLogs_->push_back(log);
    unprocessedReports_->push_back(errorReport);
    unprocessedFilePaths_->push_back(file);
  }
  if (isAutomaticProcessingEnabled()) sendCrashReportsOrAwaitUserConfirmation();
}

bool TLCrashes::shouldProcessErrorReport(const std::shared_ptr<TLErrorReport>& report) {
  auto target = delegate();
  if (!target) return true;
  return target->crashesShouldProcessErrorReport(*this, report).value_or(true);
}

bool TLCrashes::shouldAlwaysSend() {
  auto value = TLUserDefaults::shared()->objectForKey(kTLUserConfirmationKey);
  if (!value) return false;
  if (const bool* flag = value->asBoolean()) return *flag;
  if (const std::int64_t* number = value->asInteger()) return *number != 0;
  return false;
}

bool TLCrashes::sendCrashReportsOrAwaitUserConfirmation() {
  const bool alwaysSend = shouldAlwaysSend();
  bool empty = false;
  {
    std::lock_guard lock(mutex_);
    empty = !unprocessedReports_ || unprocessedReports_->empty();
  }
  if (empty) return alwaysSend;
  if (alwaysSend) {
    TLLogDebug(kProcessingTag,
               "The flag for user confirmation is set to TLUserConfirmationAlways, continue sending logs");
    handleUserConfirmation(TLUserConfirmationSend);
    return true;
  }
  if (isAutomaticProcessingEnabled()) {
    bool hasHandler = false;
    {
      std::lock_guard lock(mutex_);
      hasHandler = static_cast<bool>(userConfirmationHandler_);
    }
    if (!hasHandler || !userPromptedForConfirmation()) {
      TLLogDebug(kProcessingTag,
                 "The user confirmation handler is not implemented or returned NO, continue sending logs");
      handleUserConfirmation(TLUserConfirmationSend);
    }
    return false;
  }
  TLLogDebug(
      kProcessingTag,
      "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
  return false;
}

bool TLCrashes::userPromptedForConfirmation() {
  UserConfirmationHandler handler;
  std::vector<std::shared_ptr<TLErrorReport>> reports;
  {
    std::lock_guard lock(mutex_);
    handler = userConfirmationHandler_;
    if (unprocessedReports_) reports = *unprocessedReports_;
  }
  if (!handler) return false;
  bool answer = false;
  auto ask = [&] { answer = handler(reports); };
  // The handler runs on the main thread; this thread waits for its answer.
  if (auto queue = platform::MainQueue::shared()) {
    queue->sync(ask);
  } else {
    ask();
  }
  return answer;
}

void TLCrashes::notifyWithUserConfirmationAnswer(int userConfirmation) {
  bool usable = false;
  {
    std::lock_guard lock(mutex_);
    usable = static_cast<bool>(userConfirmationHandler_) || unprocessedReports_.has_value();
  }
  if (usable) {
    handleUserConfirmation(userConfirmation);
  } else {
    TLLogError(kProcessingTag,
               "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
               "userConfirmationHandler. "
               "For more information refer to the documentation.");
  }
}

void TLCrashes::handleUserConfirmation(int userConfirmation) {
  std::vector<std::shared_ptr<TLAppleErrorLog>> logs;
  std::vector<std::shared_ptr<TLErrorReport>> reports;
  std::vector<fs::path> files;
  {
    std::lock_guard lock(mutex_);
    if (unprocessedLogs_) logs = *unprocessedLogs_;
    if (unprocessedReports_) reports = *unprocessedReports_;
    if (unprocessedFilePaths_) files = *unprocessedFilePaths_;
  }
  if (userConfirmation == TLUserConfirmationDontSend) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      deleteCrashReportWithFileURL(files[i]);
      if (i < reports.size() && reports[i] && reports[i]->incidentIdentifier())
        TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*reports[i]->incidentIdentifier());
      removeCrashFile(files[i]);
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    return;
  }
  if (userConfirmation == TLUserConfirmationAlways)
    TLUserDefaults::shared()->setObject(platform::PropertyList(true), kTLUserConfirmationKey);
  auto target = delegate();
  const std::size_t count = std::min({logs.size(), reports.size(), files.size()});
  for (std::size_t i = 0; i < count; ++i) {
    const auto& log = logs[i];
    const auto& report = reports[i];
    std::vector<std::shared_ptr<TLErrorAttachmentLog>> attachments;
    std::optional<std::vector<std::shared_ptr<TLErrorAttachmentLog>>> answered;
    if (target) answered = target->attachmentsWithCrashes(*this, report);
    if (answered) {
      attachments = std::move(*answered);
    } else {
      TLLogDebug(kProcessingTag, "attachmentsWithCrashes is not implemented");
    }
    if (log->timestamp()) {
      log->setSid(TLSessionContext::sharedInstance()->sessionIdAt(*log->timestamp()));
      log->setUserId(TLUserIdContext::sharedInstance()->userIdAt(*log->timestamp()));
    }
    if (auto unit = channelUnit()) unit->enqueueItem(log, 2);
    const std::string incident = report && report->incidentIdentifier() ? *report->incidentIdentifier() : "";
    sendErrorAttachmentsWithIncidentIdentifier(attachments, incident);
    deleteCrashReportWithFileURL(files[i]);
    if (!incident.empty()) TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(incident);
    removeCrashFile(files[i]);
  }
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
}

void TLCrashes::sendErrorAttachmentsWithIncidentIdentifier(
    const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
    const std::string& incidentIdentifier) {
  unsigned sent = 0;
  for (const auto& attachment : attachments) {
    if (!attachment) continue;
    attachment->setErrorId(incidentIdentifier);
    if (validatePropertiesForAttachment(*attachment)) {
      if (auto unit = channelUnit()) unit->enqueueItem(attachment, 1);
      ++sent;
    } else {
      TLLogError(kProcessingTag, "Not all required fields are present in TLErrorAttachmentLog.");
    }
  }
  if (sent >= 3)
    TLLogWarning(kProcessingTag, "A limit of {} attachments per error report might be enforced by server.",
                 2u);
}

bool TLCrashes::validatePropertiesForAttachment(const TLErrorAttachmentLog& attachment) {
  return attachment.errorId() && !attachment.errorId()->empty() && attachment.attachmentId() &&
         !attachment.attachmentId()->empty() && attachment.data() && !attachment.data()->empty() &&
         attachment.contentType() && !attachment.contentType()->empty();
}

std::optional<std::vector<std::shared_ptr<TLErrorReport>>> TLCrashes::unprocessedCrashReports() {
  {
    std::unique_lock lock(semaphoreMutex_);
    semaphoreCondition_.wait(lock, [this] { return semaphoreOpen_; });
  }
  std::lock_guard lock(mutex_);
  return unprocessedReports_;
}

bool TLCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& filteredIds) {
  {
    std::lock_guard lock(mutex_);
    if (unprocessedReports_ && unprocessedLogs_ && unprocessedFilePaths_) {
      for (std::size_t i = unprocessedReports_->size(); i-- > 0;) {
        const auto& report = (*unprocessedReports_)[i];
        const std::string incident =
            report && report->incidentIdentifier() ? *report->incidentIdentifier() : "";
        if (std::find(filteredIds.begin(), filteredIds.end(), incident) != filteredIds.end()) continue;
        if (!incident.empty()) TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(incident);
        deleteCrashReportWithFileURL((*unprocessedFilePaths_)[i]);
        removeCrashFile((*unprocessedFilePaths_)[i]);
        unprocessedReports_->erase(unprocessedReports_->begin() + static_cast<std::ptrdiff_t>(i));
        unprocessedLogs_->erase(unprocessedLogs_->begin() + static_cast<std::ptrdiff_t>(i));
        unprocessedFilePaths_->erase(unprocessedFilePaths_->begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  return sendCrashReportsOrAwaitUserConfirmation();
}

void TLCrashes::clearUnprocessedReports() {
  std::lock_guard lock(mutex_);
  if (unprocessedLogs_) unprocessedLogs_->clear();
  if (unprocessedReports_) unprocessedReports_->clear();
  if (unprocessedFilePaths_) unprocessedFilePaths_->clear();
}

void TLCrashes::deleteAllFromCrashesDirectory() {
  TLUtility::deleteItemForPathComponent(crashesPathComponent_);
  std::lock_guard lock(mutex_);
  crashFiles_.clear();
}

void TLCrashes::deleteCrashReportWithFileURL(const fs::path& url) { TLUtility::deleteFileAtURL(url); }

void TLCrashes::removeCrashFile(const fs::path& url) {
  std::lock_guard lock(mutex_);
  crashFiles_.erase(std::remove(crashFiles_.begin(), crashFiles_.end(), url), crashFiles_.end());
}

void TLCrashes::createAnalyzerFile() {
  if (!TLUtility::createFileAtPathComponent(analyzerInProgressFilePathComponent_, std::nullopt, false, false))
    TLLogError(kProcessingTag, "Couldn't create crash analyzer file.");
}

void TLCrashes::removeAnalyzerFile() {
  if (TLUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_))
    TLUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_);
}
