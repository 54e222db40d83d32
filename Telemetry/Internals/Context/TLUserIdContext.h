#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Context/TLHistoryInfo.h"
#include "Telemetry/Internals/Util/TLClock.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"

class TLUserIdContext;

// Hears of every change of the current user id (held weakly by the context).
class TLUserIdContextDelegate {
 public:
  virtual ~TLUserIdContextDelegate() = default;
  virtual void userIdContextDidUpdateUserId(TLUserIdContext& /*context*/,
                                            const std::optional<std::string>& /*userId*/) {}
};

// The application-supplied user id, its history across launches ("UserIdHistory") and the rules for
// sending it.
class TLUserIdContext {
 public:
  static constexpr const char* kHistoryKey = "UserIdHistory";

  static std::shared_ptr<TLUserIdContext> sharedInstance();
  static void resetSharedInstance();

  // A context over the given settings and clock; loads the history, adds this launch's entry and
  // stores it at once.
  TLUserIdContext(std::shared_ptr<TLUserDefaults> settings, TLClock clock);

  std::optional<std::string> userId() const;
  // Makes the id current (an equal id changes nothing) and tells the listeners outside the lock.
  void setUserId(std::optional<std::string> userId);
  // The user id of the newest entry strictly earlier than the date.
  std::optional<std::string> userIdAt(const platform::Date& date) const;
  // Empties the history but for the current entry.
  void clearUserIdHistory();
  void addDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate);

  std::size_t historyCount() const;

  // At most 256 UTF-16 units (logged when longer).
  static bool isUserIdValidForTelemetry(const std::optional<std::string>& userId);
  // Absent, a name without ":", or "c:" followed by a name (logged otherwise).
  static bool isUserIdValidForEventCollector(const std::optional<std::string>& userId);
  // "c:" before an id without ":"; anything else unchanged.
  static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

 private:
  void store();  // caller holds mutex_

  std::shared_ptr<TLUserDefaults> settings_;
  TLClock clock_;
  mutable std::mutex mutex_;
  std::shared_ptr<TLUserIdHistoryInfo> currentUserIdInfo_;
  std::vector<std::shared_ptr<TLUserIdHistoryInfo>> userIdHistory_;
  std::vector<std::weak_ptr<TLUserIdContextDelegate>> delegates_;
};
