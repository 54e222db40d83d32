#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Context/TLHistoryInfo.h"
#include "Telemetry/Internals/Util/TLClock.h"
#include "Telemetry/Internals/Util/TLEncrypter.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"

class TLAuthTokenContext;

// Hears of token and account changes and of tokens about to expire (held strongly, as the channel
// units that listen live as long as the pipeline).
class TLAuthTokenContextDelegate {
 public:
  virtual ~TLAuthTokenContextDelegate() = default;
  virtual void authTokenContextDidUpdateAuthToken(TLAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*authToken*/) {}
  virtual void authTokenContextDidUpdateAccountId(TLAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*accountId*/) {}
  virtual void authTokenContextRefreshAuthTokenForAccountId(TLAuthTokenContext& /*context*/,
                                                            const std::optional<std::string>& /*accountId*/) {
  }
};

// The signed-in user's auth token and a short history of tokens over time (at most 5), sealed by
// the encrypter under "TLTelemetryAuthTokenHistory".
class TLAuthTokenContext {
 public:
  static constexpr const char* kHistoryKey = "TLTelemetryAuthTokenHistory";
  static constexpr std::size_t kMaxHistoryCount = 5;

  static std::shared_ptr<TLAuthTokenContext> sharedInstance();
  static void resetSharedInstance();

  TLAuthTokenContext(std::shared_ptr<TLUserDefaults> settings, std::shared_ptr<TLEncrypter> encrypter,
                     TLClock clock);

  void setAuthToken(std::optional<std::string> authToken, std::optional<std::string> accountId,
                    std::optional<platform::Date> expiresOn);
  std::optional<std::string> authToken();
  std::optional<std::string> accountId();
  // One window per history entry, oldest first; one open window without a token for none.
  std::vector<std::shared_ptr<TLAuthTokenValidityInfo>> authTokenValidityArray();
  // Removes the oldest entry when it holds this token and is not the only one.
  void removeAuthToken(const std::optional<std::string>& authToken);
  // Asks the listeners to refresh when the window is the current token's and expires soon.
  void checkIfTokenNeedsToBeRefreshed(const TLAuthTokenValidityInfo& window);
  // The sign-out of the previous launch, once, unless prevented.
  void finishInitialize();
  void preventResetAuthTokenAfterStart();
  void addDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate);

  // A copy of the history (read from the settings on first use).
  std::vector<std::shared_ptr<TLAuthTokenInfo>> authTokenHistory();

 private:
  std::vector<std::shared_ptr<TLAuthTokenInfo>>& historyLocked();  // caller holds mutex_
  void setAuthTokenHistoryLocked(std::vector<std::shared_ptr<TLAuthTokenInfo>> history);

  std::shared_ptr<TLUserDefaults> settings_;
  std::shared_ptr<TLEncrypter> encrypter_;
  TLClock clock_;
  std::recursive_mutex mutex_;
  bool resetAuthTokenRequired_ = true;
  std::optional<std::vector<std::shared_ptr<TLAuthTokenInfo>>> history_;
  std::vector<std::shared_ptr<TLAuthTokenContextDelegate>> delegates_;
};
