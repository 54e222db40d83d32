#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Telemetry/Internals/Context/TLHistoryInfo.h"
#include "Telemetry/Internals/Util/TLClock.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"

// The current usage-session id and the history of session ids across launches, kept under
// "SessionIdHistory". Every launch starts without a session id.
class TLSessionContext {
 public:
  static constexpr const char* kHistoryKey = "SessionIdHistory";

  // The shared instance, over the shared settings and the system clock; created once.
  static std::shared_ptr<TLSessionContext> sharedInstance();
  // Drops the shared instance; the next sharedInstance() loads a fresh one.
  static void resetSharedInstance();

  // A context over the given settings and clock (loads the stored history now).
  TLSessionContext(std::shared_ptr<TLUserDefaults> settings, TLClock clock);

  std::optional<std::string> sessionId() const;
  void setSessionId(std::optional<std::string> sessionId);
  // The session id of the newest entry strictly earlier than the date.
  std::optional<std::string> sessionIdAt(const platform::Date& date) const;
  void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

  // A copy of the history, oldest first.
  std::vector<std::shared_ptr<const TLSessionHistoryInfo>> sessionHistory() const;

 private:
  void store();  // caller holds mutex_

  std::shared_ptr<TLUserDefaults> settings_;
  TLClock clock_;
  // Every enqueued log reads the session id: readers share the lock, only changes take it alone.
  mutable std::shared_mutex mutex_;
  std::shared_ptr<TLSessionHistoryInfo> currentSessionInfo_;
  std::vector<std::shared_ptr<TLSessionHistoryInfo>> sessionHistory_;
};
