#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Util/TLClock.h"
#include "platform/ApplicationActivity.h"
#include "platform/NotificationCenter.h"

// The application's activity, posted on the default notification centre by the desktop layer
// (platform::ApplicationActivity).
inline constexpr const char* kTLApplicationDidResignActiveNotification =
    platform::kApplicationDidResignActiveNotification;
inline constexpr const char* kTLApplicationWillBecomeActiveNotification =
    platform::kApplicationWillBecomeActiveNotification;

class TLSessionTracker;

// Receives each start-session log.
class TLSessionTrackerDelegate {
 public:
  virtual ~TLSessionTrackerDelegate() = default;
  virtual void sessionTrackerProcessLog(TLSessionTracker& tracker, const std::shared_ptr<TLLog>& log) = 0;
};

// Decides when a usage session begins: at the first start, and when the application becomes active
// again after an inactivity of at least the timeout with no log prepared within it. Keeps the
// current id in the session context, announces each new session with a start-session log, and
// stamps the current id on the other logs passing through the channel group.
class TLSessionTracker : public TLChannelDelegate, public std::enable_shared_from_this<TLSessionTracker> {
 public:
  static constexpr double kDefaultSessionTimeout = 20.0;
  static constexpr const char* kPastSessionsKey = "pastSessionsKey";

  // Over the shared session context and the system clock unless given others.
  static std::shared_ptr<TLSessionTracker> init(std::shared_ptr<TLSessionContext> context = nullptr,
                                                TLClock clock = TLSystemClock());
  TLSessionTracker(std::shared_ptr<TLSessionContext> context, TLClock clock);
  ~TLSessionTracker() override;

  void start();
  void stop();
  void renewSessionId();
  bool hasSessionTimedOut();
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();

  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

  bool isStarted() const;
  void setDelegate(const std::shared_ptr<TLSessionTrackerDelegate>& delegate);
  double sessionTimeout() const { return sessionTimeout_; }
  void setSessionTimeout(double seconds) { sessionTimeout_ = seconds; }
  std::optional<platform::Date> lastCreatedLogTime() const;
  std::optional<platform::Date> lastEnteredForegroundTime() const;
  std::optional<platform::Date> lastEnteredBackgroundTime() const;
  const std::shared_ptr<TLSessionContext>& context() const { return context_; }

 private:
  std::shared_ptr<TLSessionContext> context_;
  TLClock clock_;
  double sessionTimeout_ = kDefaultSessionTimeout;
  mutable std::recursive_mutex mutex_;
  bool started_ = false;
  std::weak_ptr<TLSessionTrackerDelegate> delegate_;
  // The dates are written from the observers and the preparing threads. Every log stamps the time
  // it was created, so that one is an atomic (seconds since 1970; NaN for none) and takes no lock.
  mutable std::mutex datesMutex_;
  std::atomic<double> lastCreatedLogTime_{std::numeric_limits<double>::quiet_NaN()};
  std::optional<platform::Date> lastEnteredForegroundTime_;
  std::optional<platform::Date> lastEnteredBackgroundTime_;
  std::vector<platform::ObserverToken> observers_;
};
