#include "Telemetry/Internals/Context/TLUserIdContext.h"

#include "Telemetry/Internals/Context/TLHistoryStorage.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {
std::mutex gSharedMutex;
std::shared_ptr<TLUserIdContext> gShared;
constexpr std::size_t kMaxUserIdLength = 256;
constexpr const char* kUserIdPrefix = "c";
}  // namespace

std::shared_ptr<TLUserIdContext> TLUserIdContext::sharedInstance() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared) gShared = std::make_shared<TLUserIdContext>(TLUserDefaults::shared(), TLSystemClock());
  return gShared;
}

void TLUserIdContext::resetSharedInstance() {
  std::lock_guard lock(gSharedMutex);
  gShared.reset();
}

TLUserIdContext::TLUserIdContext(std::shared_ptr<TLUserDefaults> settings, TLClock clock)
    : settings_(std::move(settings)), clock_(std::move(clock)) {
  userIdHistory_ = TLLoadHistory<TLUserIdHistoryInfo>(*settings_, kHistoryKey);
  TLLogDebug(kTLLogTag, "{} userId(s) in the history.", userIdHistory_.size());
  currentUserIdInfo_ = TLUserIdHistoryInfo::initWithTimestamp(clock_(), std::nullopt);
  userIdHistory_.push_back(currentUserIdInfo_);
  std::lock_guard lock(mutex_);
  store();
}

std::optional<std::string> TLUserIdContext::userId() const {
  std::lock_guard lock(mutex_);
  return currentUserIdInfo_->userId();
}

void TLUserIdContext::setUserId(std::optional<std::string> userId) {
  std::vector<std::shared_ptr<TLUserIdContextDelegate>> listeners;
  {
    std::lock_guard lock(mutex_);
    if (currentUserIdInfo_->userId() == userId) return;
    currentUserIdInfo_->setTimestamp(clock_());
    currentUserIdInfo_->setUserId(userId);
    if (!userIdHistory_.empty()) userIdHistory_.pop_back();
    userIdHistory_.push_back(currentUserIdInfo_);
    store();
    TLLogVerbose(kTLLogTag, "Stored new userId:{} and timestamp: {}.", userId.value_or("(null)"),
                 TLUtility::dateToISO8601(*currentUserIdInfo_->timestamp()));
    for (const auto& weak : delegates_) {
      if (auto delegate = weak.lock()) listeners.push_back(std::move(delegate));
    }
  }
  for (const auto& delegate : listeners) delegate->userIdContextDidUpdateUserId(*this, userId);
}

std::optional<std::string> TLUserIdContext::userIdAt(const platform::Date& date) const {
  std::lock_guard lock(mutex_);
  for (auto it = userIdHistory_.rbegin(); it != userIdHistory_.rend(); ++it) {
    if ((*it)->timestamp() && *(*it)->timestamp() < date) return (*it)->userId();
  }
  return std::nullopt;
}

void TLUserIdContext::clearUserIdHistory() {
  std::lock_guard lock(mutex_);
  userIdHistory_.clear();
  userIdHistory_.push_back(currentUserIdInfo_);
  store();
  TLLogVerbose(kTLLogTag, "Cleared old userIds while keeping current userId.");
}

void TLUserIdContext::addDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
  delegates_.push_back(delegate);
}

void TLUserIdContext::removeDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [&](const auto& weak) {
    auto locked = weak.lock();
    return !locked || locked == delegate;
  });
}

std::size_t TLUserIdContext::historyCount() const {
  std::lock_guard lock(mutex_);
  return userIdHistory_.size();
}

void TLUserIdContext::store() { TLStoreHistory(*settings_, kHistoryKey, userIdHistory_); }

bool TLUserIdContext::isUserIdValidForTelemetry(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (TLUtility::utf16Length(*userId) > kMaxUserIdLength) {
    TLLogError(kTLLogTag, "userId is limited to {} characters.", kMaxUserIdLength);
    return false;
  }
  return true;
}

bool TLUserIdContext::isUserIdValidForEventCollector(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (userId->empty()) {
    TLLogError(kTLLogTag, "userId must not be empty.");
    return false;
  }
  auto colon = userId->find(':');
  if (colon == std::string::npos) return true;
  std::string prefix = userId->substr(0, colon);
  if (prefix == kUserIdPrefix) {
    if (colon + 1 == userId->size()) {
      TLLogError(kTLLogTag, "userId must not be empty.");
      return false;
    }
    return true;
  }
  TLLogError(kTLLogTag, "userId prefix must be '{}', '{}' is not supported.", kUserIdPrefix, prefix);
  return false;
}

std::optional<std::string> TLUserIdContext::prefixedUserIdFromUserId(
    const std::optional<std::string>& userId) {
  if (userId && userId->find(':') == std::string::npos) return std::string(kUserIdPrefix) + ":" + *userId;
  return userId;
}
