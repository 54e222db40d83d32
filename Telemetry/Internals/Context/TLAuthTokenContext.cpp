#include "Telemetry/Internals/Context/TLAuthTokenContext.h"

#include <algorithm>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {
std::mutex gSharedMutex;
std::shared_ptr<TLAuthTokenContext> gShared;
constexpr std::size_t kMaxAccountIdLength = 36;
}  // namespace

std::shared_ptr<TLAuthTokenContext> TLAuthTokenContext::sharedInstance() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared)
    gShared = std::make_shared<TLAuthTokenContext>(TLUserDefaults::shared(), std::make_shared<TLEncrypter>(),
                                                   TLSystemClock());
  return gShared;
}

void TLAuthTokenContext::resetSharedInstance() {
  std::lock_guard lock(gSharedMutex);
  gShared.reset();
}

TLAuthTokenContext::TLAuthTokenContext(std::shared_ptr<TLUserDefaults> settings,
                                       std::shared_ptr<TLEncrypter> encrypter, TLClock clock)
    : settings_(std::move(settings)), encrypter_(std::move(encrypter)), clock_(std::move(clock)) {}

std::vector<std::shared_ptr<TLAuthTokenInfo>>& TLAuthTokenContext::historyLocked() {
  if (history_) return *history_;
  std::vector<std::shared_ptr<TLAuthTokenInfo>> history;
  bool read = false;
  auto stored = settings_->objectForKey(kHistoryKey);
  if (stored && stored->asData()) {
    if (auto archive = encrypter_->decryptData(*stored->asData())) {
      auto root = TLUnarchivedObject(*archive);
      if (auto array = root.asArray()) {
        read = true;
        for (const auto& item : *array) {
          auto entry = item.asObjectOfClass<TLAuthTokenInfo>();
          if (!entry) {
            read = false;
            history.clear();
            break;
          }
          history.push_back(std::move(entry));
        }
      }
    }
  }
  if (read) {
    TLLogDebug(kTLLogTag, "Retrieved history state.");
  } else {
    TLLogWarning(kTLLogTag, "Failed to retrieve history state or none was found.");
  }
  history_ = std::move(history);
  return *history_;
}

void TLAuthTokenContext::setAuthTokenHistoryLocked(std::vector<std::shared_ptr<TLAuthTokenInfo>> history) {
  std::optional<platform::Data> sealed;
  if (!history.empty()) sealed = encrypter_->encryptData(TLArchivedData(platform::ArchiveObject(history)));
  // Memory follows the change the listeners are told of, even when it cannot be stored.
  history_ = std::move(history);
  if (!sealed) {
    TLLogWarning(kTLLogTag, "Failed to save new history state.");
    return;
  }
  settings_->setObject(platform::PropertyList(std::move(*sealed)), kHistoryKey);
  TLLogDebug(kTLLogTag, "Saved new history state.");
}

std::vector<std::shared_ptr<TLAuthTokenInfo>> TLAuthTokenContext::authTokenHistory() {
  std::lock_guard lock(mutex_);
  return historyLocked();
}

void TLAuthTokenContext::setAuthToken(std::optional<std::string> authToken,
                                      std::optional<std::string> accountId,
                                      std::optional<platform::Date> expiresOn) {
  if (!authToken) {
    accountId.reset();
    expiresOn.reset();
  }
  std::vector<std::shared_ptr<TLAuthTokenContextDelegate>> listeners;
  bool newUser = false;
  {
    std::lock_guard lock(mutex_);
    auto history = historyLocked();
    std::shared_ptr<TLAuthTokenInfo> last = history.empty() ? nullptr : history.back();
    if (last && last->authToken() == authToken) return;
    newUser = !last || last->accountId() != accountId;
    platform::Date now = clock_();
    platform::Date start = now;
    if (last && last->expiresOn() && *last->expiresOn() < now) {
      if (authToken && newUser) {
        history.push_back(
            TLAuthTokenInfo::initWithAuthToken(std::nullopt, std::nullopt, last->expiresOn(), now));
      } else {
        start = *last->expiresOn();
      }
    }
    if (authToken || !history.empty())
      history.push_back(TLAuthTokenInfo::initWithAuthToken(authToken, accountId, start, expiresOn));
    if (history.size() > kMaxHistoryCount) {
      history.erase(history.begin(), history.end() - kMaxHistoryCount);
      TLLogDebug(kTLLogTag, "Size of the token history is exceeded. The oldest token has been removed.");
    }
    listeners = delegates_;
    setAuthTokenHistoryLocked(std::move(history));
  }
  std::optional<std::string> shownAccountId = accountId;
  if (shownAccountId && TLUtility::utf16Length(*shownAccountId) > kMaxAccountIdLength)
    shownAccountId = TLUtility::truncatedToUTF16Length(*shownAccountId, kMaxAccountIdLength);
  for (const auto& delegate : listeners) {
    delegate->authTokenContextDidUpdateAuthToken(*this, authToken);
    if (newUser) delegate->authTokenContextDidUpdateAccountId(*this, shownAccountId);
  }
}

std::optional<std::string> TLAuthTokenContext::authToken() {
  std::lock_guard lock(mutex_);
  auto& history = historyLocked();
  return history.empty() ? std::nullopt : history.back()->authToken();
}

std::optional<std::string> TLAuthTokenContext::accountId() {
  std::lock_guard lock(mutex_);
  auto& history = historyLocked();
  return history.empty() ? std::nullopt : history.back()->accountId();
}

std::vector<std::shared_ptr<TLAuthTokenValidityInfo>> TLAuthTokenContext::authTokenValidityArray() {
  std::vector<std::shared_ptr<TLAuthTokenInfo>> history = authTokenHistory();
  std::vector<std::shared_ptr<TLAuthTokenValidityInfo>> windows;
  if (history.empty()) {
    windows.push_back(TLAuthTokenValidityInfo::initWithAuthToken(std::nullopt, std::nullopt, std::nullopt));
    return windows;
  }
  for (std::size_t i = 0; i < history.size(); ++i) {
    std::optional<platform::Date> end = history[i]->expiresOn();
    if (i + 1 < history.size() && history[i + 1]->startTime()) end = history[i + 1]->startTime();
    windows.push_back(
        TLAuthTokenValidityInfo::initWithAuthToken(history[i]->authToken(), history[i]->startTime(), end));
  }
  return windows;
}

void TLAuthTokenContext::removeAuthToken(const std::optional<std::string>& authToken) {
  std::lock_guard lock(mutex_);
  auto history = historyLocked();
  if (history.size() <= 1) {
    TLLogDebug(kTLLogTag,
               "Couldn't remove token from history; token history is empty or contains only current one.");
    return;
  }
  if (authToken && history.front()->authToken() && *history.front()->authToken() == *authToken) {
    history.erase(history.begin());
    setAuthTokenHistoryLocked(std::move(history));
    TLLogDebug(kTLLogTag, "The token has been removed from the history.");
    return;
  }
  TLLogDebug(kTLLogTag, "Couldn't remove token from history; the token isn't oldest or is already removed.");
}

void TLAuthTokenContext::checkIfTokenNeedsToBeRefreshed(const TLAuthTokenValidityInfo& window) {
  std::vector<std::shared_ptr<TLAuthTokenContextDelegate>> listeners;
  std::optional<std::string> accountId;
  {
    std::lock_guard lock(mutex_);
    auto& history = historyLocked();
    if (history.empty()) return;
    const auto& current = history.back();
    if (!window.authToken() || !current->authToken() || *window.authToken() != *current->authToken()) return;
    if (!window.expiresSoon(clock_())) return;
    listeners = delegates_;
    accountId = current->accountId();
  }
  for (const auto& delegate : listeners) {
    TLLogInfo(kTLLogTag, "The token needs to be refreshed.");
    delegate->authTokenContextRefreshAuthTokenForAccountId(*this, accountId);
  }
}

void TLAuthTokenContext::finishInitialize() {
  {
    std::lock_guard lock(mutex_);
    if (!resetAuthTokenRequired_) return;
    resetAuthTokenRequired_ = false;
  }
  setAuthToken(std::nullopt, std::nullopt, std::nullopt);
}

void TLAuthTokenContext::preventResetAuthTokenAfterStart() {
  std::lock_guard lock(mutex_);
  resetAuthTokenRequired_ = false;
}

void TLAuthTokenContext::addDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  if (std::find(delegates_.begin(), delegates_.end(), delegate) == delegates_.end())
    delegates_.push_back(delegate);
}

void TLAuthTokenContext::removeDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase(delegates_, delegate);
}
