#include "TelemetryAnalytics/Internals/Session/TLSessionTracker.h"

#include <cmath>

#include "Telemetry/Internals/Model/TLNoAutoAssignSessionIdLog.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryAnalytics/Model/TLAnalyticsLogs.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"
#include "platform/Bundle.h"
#include "platform/UUID.h"

std::shared_ptr<TLSessionTracker> TLSessionTracker::init(std::shared_ptr<TLSessionContext> context,
                                                         TLClock clock) {
  return std::make_shared<TLSessionTracker>(std::move(context), std::move(clock));
}

TLSessionTracker::TLSessionTracker(std::shared_ptr<TLSessionContext> context, TLClock clock)
    : context_(context ? std::move(context) : TLSessionContext::sharedInstance()),
      clock_(clock ? std::move(clock) : TLSystemClock()) {
  // An old form of the session history that nothing reads any more.
  TLUserDefaults::shared()->removeObjectForKey(kPastSessionsKey);
}

TLSessionTracker::~TLSessionTracker() { observers_.clear(); }

bool TLSessionTracker::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

void TLSessionTracker::setDelegate(const std::shared_ptr<TLSessionTrackerDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void TLSessionTracker::start() {
  {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
  }
  if (TLUtility::applicationState() < TLApplicationStateBackground) renewSessionId();
  std::weak_ptr<TLSessionTracker> weak = weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  std::vector<platform::ObserverToken> observers;
  observers.push_back(center.addObserverForName(kTLApplicationDidResignActiveNotification, nullptr,
                                                [weak](const platform::Notification&) {
                                                  if (auto self = weak.lock())
                                                    self->applicationDidEnterBackground();
                                                }));
  observers.push_back(center.addObserverForName(kTLApplicationWillBecomeActiveNotification, nullptr,
                                                [weak](const platform::Notification&) {
                                                  if (auto self = weak.lock())
                                                    self->applicationWillEnterForeground();
                                                }));
  std::lock_guard lock(mutex_);
  observers_ = std::move(observers);
}

void TLSessionTracker::stop() {
  std::vector<platform::ObserverToken> observers;
  {
    std::lock_guard lock(mutex_);
    if (!started_) return;
    observers = std::move(observers_);
    observers_.clear();
    started_ = false;
  }
  observers.clear();
  context_->setSessionId(std::nullopt);
}

void TLSessionTracker::applicationDidEnterBackground() {
  std::lock_guard lock(datesMutex_);
  lastEnteredBackgroundTime_ = clock_();
}

void TLSessionTracker::applicationWillEnterForeground() {
  {
    std::lock_guard lock(datesMutex_);
    lastEnteredForegroundTime_ = clock_();
  }
  renewSessionId();
}

void TLSessionTracker::renewSessionId() {
  std::shared_ptr<TLStartSessionLog> log;
  std::shared_ptr<TLSessionTrackerDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (!started_) return;
    if (context_->sessionId() && !hasSessionTimedOut()) return;
    std::string sessionId = platform::makeUUIDString();
    context_->setSessionId(sessionId);
    TLLogInfo(kTLAnalyticsLogTag, "New session ID: {}", sessionId);
    log = TLStartSessionLog::init();
    log->setSid(sessionId);
    delegate = delegate_.lock();
  }
  // The log goes out after the lock, so the channel's delegates may call back into the tracker.
  if (delegate) delegate->sessionTrackerProcessLog(*this, log);
}

bool TLSessionTracker::hasSessionTimedOut() {
  std::lock_guard lock(mutex_);
  platform::Date now = clock_();
  std::optional<platform::Date> created = lastCreatedLogTime(), foreground, background;
  {
    std::lock_guard dates(datesMutex_);
    foreground = lastEnteredForegroundTime_;
    background = lastEnteredBackgroundTime_;
  }
  double timeout = sessionTimeout_;
  bool idle = !created || now.timeIntervalSince(*created) >= timeout;
  if (platform::Bundle::executablePath().string().find(".appex/") != std::string::npos) return idle;
  bool stillInactive = background && foreground && background->timeIntervalSince(*foreground) > 0 &&
                       now.timeIntervalSince(*background) >= timeout;
  bool wasInactive = background && (foreground ? foreground->timeIntervalSince(*background) : 0.0) >= timeout;
  return idle && (stillInactive || wasInactive);
}

void TLSessionTracker::channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  if (!log) return;
  if (dynamic_cast<TLStartSessionLog*>(log.get()) || dynamic_cast<TLStartServiceLog*>(log.get())) return;
  if (!dynamic_cast<TLNoAutoAssignSessionIdLog*>(log.get())) log->setSid(context_->sessionId());
  lastCreatedLogTime_.store(clock_().timeIntervalSince1970(), std::memory_order_relaxed);
}

std::optional<platform::Date> TLSessionTracker::lastCreatedLogTime() const {
  double seconds = lastCreatedLogTime_.load(std::memory_order_relaxed);
  if (std::isnan(seconds)) return std::nullopt;
  return platform::Date::fromTimeIntervalSince1970(seconds);
}

std::optional<platform::Date> TLSessionTracker::lastEnteredForegroundTime() const {
  std::lock_guard lock(datesMutex_);
  return lastEnteredForegroundTime_;
}

std::optional<platform::Date> TLSessionTracker::lastEnteredBackgroundTime() const {
  std::lock_guard lock(datesMutex_);
  return lastEnteredBackgroundTime_;
}
