#include "Telemetry/Internals/Context/TLSessionContext.h"

#include "Telemetry/Internals/Context/TLHistoryStorage.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {
std::mutex gSharedMutex;
std::shared_ptr<TLSessionContext> gShared;
}  // namespace

std::shared_ptr<TLSessionContext> TLSessionContext::sharedInstance() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared) gShared = std::make_shared<TLSessionContext>(TLUserDefaults::shared(), TLSystemClock());
  return gShared;
}

void TLSessionContext::resetSharedInstance() {
  std::lock_guard lock(gSharedMutex);
  gShared.reset();
}

TLSessionContext::TLSessionContext(std::shared_ptr<TLUserDefaults> settings, TLClock clock)
    : settings_(std::move(settings)), clock_(std::move(clock)) {
  sessionHistory_ = TLLoadHistory<TLSessionHistoryInfo>(*settings_, kHistoryKey);
  TLLogDebug(kTLLogTag, "{} session(s) in the history.", sessionHistory_.size());
  currentSessionInfo_ = TLSessionHistoryInfo::initWithTimestamp(clock_(), std::nullopt);
  sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> TLSessionContext::sessionId() const {
  std::shared_lock lock(mutex_);
  return currentSessionInfo_->sessionId();
}

void TLSessionContext::setSessionId(std::optional<std::string> sessionId) {
  std::lock_guard lock(mutex_);
  if (!sessionHistory_.empty()) sessionHistory_.pop_back();
  currentSessionInfo_->setSessionId(std::move(sessionId));
  currentSessionInfo_->setTimestamp(clock_());
  sessionHistory_.push_back(currentSessionInfo_);
  store();
  TLLogVerbose(kTLLogTag, "Stored new session with id:{} and timestamp: {}.",
               currentSessionInfo_->sessionId().value_or("(null)"),
               TLUtility::dateToISO8601(*currentSessionInfo_->timestamp()));
}

std::optional<std::string> TLSessionContext::sessionIdAt(const platform::Date& date) const {
  std::shared_lock lock(mutex_);
  for (auto it = sessionHistory_.rbegin(); it != sessionHistory_.rend(); ++it) {
    if ((*it)->timestamp() && *(*it)->timestamp() < date) return (*it)->sessionId();
  }
  return std::nullopt;
}

void TLSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  std::lock_guard lock(mutex_);
  sessionHistory_.clear();
  if (keepCurrentSession) sessionHistory_.push_back(currentSessionInfo_);
  store();
  TLLogVerbose(kTLLogTag, "Cleared old sessions.");
}

std::vector<std::shared_ptr<const TLSessionHistoryInfo>> TLSessionContext::sessionHistory() const {
  std::shared_lock lock(mutex_);
  std::vector<std::shared_ptr<const TLSessionHistoryInfo>> copy;
  for (const auto& entry : sessionHistory_)
    copy.push_back(TLSessionHistoryInfo::initWithTimestamp(entry->timestamp(), entry->sessionId()));
  return copy;
}

void TLSessionContext::store() { TLStoreHistory(*settings_, kHistoryKey, sessionHistory_); }
