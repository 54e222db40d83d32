#include "Telemetry/Internals/Channel/TLChannelUnitDefault.h"

#include <algorithm>
#include <shared_mutex>
#include <utility>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLRandomId.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {

platform::Error canceledError() {
  return platform::Error::make(kTLTelemetryErrorDomain, kTLCanceledErrorCode, kTLCanceledErrorDesc);
}

std::string describe(const void* object) { return fmt::format("{}", object); }

}  // namespace

std::shared_ptr<TLChannelUnitDefault> TLChannelUnitDefault::initWithIngestion(
    std::shared_ptr<TLIngestionProtocol> ingestion, std::shared_ptr<TLStorage> storage,
    std::shared_ptr<TLChannelUnitConfiguration> configuration,
    std::shared_ptr<platform::DispatchQueue> logsQueue,
    std::shared_ptr<TLAuthTokenContext> authTokenContext) {
  auto unit = std::make_shared<TLChannelUnitDefault>(std::move(ingestion), std::move(storage),
                                                     std::move(configuration), std::move(logsQueue),
                                                     std::move(authTokenContext));
  std::weak_ptr<TLChannelUnitDefault> weak = unit;
  // Logs stored by an earlier run go out with the unit's next flush, when its timer fires. They never
  // count towards a batch: sending them at once would hold the logs made right after the start
  // behind loading, encoding and handing over whole batches, and a kill then would lose those.
  unit->logsDispatchQueue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    auto stored = self->storage_->countLogsWithGroupId(self->configuration_->groupId());
    if (stored && *stored > 0) self->storedByEarlierRun_ = true;
  });
  if (unit->ingestion_) {
    unit->ingestion_->addDelegate(unit);
    if (unit->ingestion_->isPaused()) unit->pauseWithIdentifyingObject(unit->ingestion_);
  }
  return unit;
}

TLChannelUnitDefault::TLChannelUnitDefault(std::shared_ptr<TLIngestionProtocol> ingestion,
                                           std::shared_ptr<TLStorage> storage,
                                           std::shared_ptr<TLChannelUnitConfiguration> configuration,
                                           std::shared_ptr<platform::DispatchQueue> logsQueue,
                                           std::shared_ptr<TLAuthTokenContext> authTokenContext)
    : configuration_(std::move(configuration)),
      logsDispatchQueue_(std::move(logsQueue)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      authTokenContext_(std::move(authTokenContext)) {}

TLChannelUnitDefault::~TLChannelUnitDefault() {
  if (timerSource_) timerSource_->cancel();
}

TLIdentifyingObject TLChannelUnitDefault::identity() { return shared_from_this(); }

std::shared_ptr<TLChannelUnitConfiguration> TLChannelUnitDefault::configuration() const {
  return configuration_;
}
void TLChannelUnitDefault::setConfiguration(std::shared_ptr<TLChannelUnitConfiguration> configuration) {
  configuration_ = std::move(configuration);
}
std::shared_ptr<platform::DispatchQueue> TLChannelUnitDefault::logsDispatchQueue() const {
  return logsDispatchQueue_;
}
void TLChannelUnitDefault::setLogsDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue) {
  logsDispatchQueue_ = std::move(queue);
}

std::string TLChannelUnitDefault::oldestPendingLogTimestampKey() const {
  return std::string(kTLStartTimerPrefix) + ":" + configuration_->groupId();
}

// ---- Delegates ----

void TLChannelUnitDefault::addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(delegatesMutex_);
  auto table = std::make_shared<std::vector<std::weak_ptr<TLChannelDelegate>>>(*delegates_);
  table->push_back(delegate);
  delegates_ = std::move(table);
}

void TLChannelUnitDefault::removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  std::lock_guard lock(delegatesMutex_);
  auto table = std::make_shared<std::vector<std::weak_ptr<TLChannelDelegate>>>(*delegates_);
  std::erase_if(*table, [&](const std::weak_ptr<TLChannelDelegate>& weak) {
    auto held = weak.lock();
    return !held || held == delegate;
  });
  delegates_ = std::move(table);
}

template <typename Fn>
void TLChannelUnitDefault::enumerateDelegates(Fn&& fn) {
  std::shared_ptr<const std::vector<std::weak_ptr<TLChannelDelegate>>> snapshot;
  {
    std::shared_lock lock(delegatesMutex_);
    snapshot = delegates_;
  }
  for (const auto& weak : *snapshot)
    if (auto delegate = weak.lock()) fn(*delegate);
}

// ---- Enqueue ----

void TLChannelUnitDefault::enqueueItem(const std::shared_ptr<TLLog>& item, std::uint64_t flags) {
  if (item) {
    if (!item->timestamp()) item->setTimestamp(platform::Date::now());
    if (!item->device()) item->setDevice(TLDeviceTracker::sharedInstance()->device());
  }
  if (!item || !item->isValid()) {
    TLLogWarning(kTLLogTag, "Log is not valid.");
    return;
  }
  enumerateDelegates([&](TLChannelDelegate& delegate) { delegate.channelPrepareLog(*this, item); });
  std::string internalId = TLRandomUUIDString();
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelDidPrepareLog(*this, item, internalId, flags); });
  // The log joins the logs handed over since the last queue task was queued; the first of them
  // queues the task. The task is queued before its hand-over takes any log, and the hand-over is
  // closed under the exclusive lock after every push in progress, so a task queued by anyone after
  // this call returns (a sync on the queue, a state change of the unit) runs after the log was taken.
  auto node = std::make_unique<PendingLog>(PendingLog{item, flags, std::move(internalId), nullptr});
  {
    std::shared_lock shared(handOverMutex_);
    if (handOver_) {
      handOver_->push(node.release());
      return;
    }
  }
  std::lock_guard lock(handOverMutex_);
  if (!handOver_) {
    handOver_ = std::make_shared<HandOver>();
    auto self = shared_from_this();
    logsDispatchQueue_->async([self, handOver = handOver_] {
      {
        std::lock_guard taken(self->handOverMutex_);
        if (self->handOver_ == handOver) self->handOver_.reset();
      }
      auto logs = handOver->take();
      self->processLogs(logs);
    });
  }
  handOver_->push(node.release());
}

TLChannelUnitDefault::HandOver::~HandOver() {
  // Iteratively: a long list must not recurse.
  PendingLog* node = top.exchange(nullptr);
  while (node) delete std::exchange(node, node->next);
}

void TLChannelUnitDefault::HandOver::push(PendingLog* node) {
  node->next = top.load(std::memory_order_relaxed);
  while (!top.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

TLChannelUnitDefault::PendingLogs TLChannelUnitDefault::HandOver::take() {
  PendingLog* newest = top.exchange(nullptr, std::memory_order_acquire);
  PendingLog* oldest = nullptr;
  std::size_t count = 0;
  while (newest) {
    PendingLog* next = newest->next;
    newest->next = oldest;
    oldest = newest;
    newest = next;
    ++count;
  }
  PendingLogs logs;
  logs.reserve(count);
  while (oldest) {
    logs.push_back(std::move(*oldest));
    delete std::exchange(oldest, oldest->next);
  }
  return logs;
}

void TLChannelUnitDefault::asyncInOrder(std::function<void()> task) {
  // Logs enqueued from now on wait for a task queued after this one.
  std::lock_guard lock(handOverMutex_);
  handOver_.reset();
  logsDispatchQueue_->async(std::move(task));
}

void TLChannelUnitDefault::processLogs(PendingLogs& logs) {
  // At most this many logs share one store transaction, so other work on the queue waits little.
  constexpr std::size_t kMostLogsPerWrite = 256;
  enum class Outcome { filtered, notReady, discarded, save };
  for (std::size_t begin = 0; begin < logs.size(); begin += kMostLogsPerWrite) {
    const std::size_t end = std::min(logs.size(), begin + kMostLogsPerWrite);
    std::vector<Outcome> outcomes;
    outcomes.reserve(end - begin);
    std::vector<TLStorage::Item> toSave;
    for (std::size_t i = begin; i < end; ++i) {
      const auto& item = logs[i].log;
      bool filtered = false;
      enumerateDelegates([&](TLChannelDelegate& delegate) {
        if (!filtered && delegate.channelUnitShouldFilterLog(*this, item)) filtered = true;
      });
      if (filtered) {
        outcomes.push_back(Outcome::filtered);
      } else if (!ingestion_ || !ingestion_->isReadyToSend()) {
        outcomes.push_back(Outcome::notReady);
      } else if (discardLogs_) {
        outcomes.push_back(Outcome::discarded);
      } else {
        outcomes.push_back(Outcome::save);
        TLLogDebug(kTLLogTag, "Saving log, type: {}, flags: {}.", item->type().value_or(""),
                   static_cast<unsigned>(logs[i].flags));
        toSave.push_back({item, logs[i].flags});
      }
    }
    std::vector<bool> saved;
    if (!toSave.empty()) saved = storage_->saveLogs(toSave, configuration_->groupId());
    // Every log hears of its end in the order the logs came.
    std::size_t savedIndex = 0;
    std::uint64_t stored = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const auto& item = logs[i].log;
      switch (outcomes[i - begin]) {
        case Outcome::filtered:
          TLLogDebug(kTLLogTag, "Log of type '{}' was filtered out by delegate(s)",
                     item->type().value_or(""));
          break;
        case Outcome::notReady:
          TLLogDebug(
              kTLLogTag,
              "Log of type '{}' was not filtered out by delegate(s) but ingestion is not ready to send it.",
              item->type().value_or(""));
          break;
        case Outcome::discarded:
          TLLogWarning(kTLLogTag, "Channel {} disabled in log discarding mode, discard this log.",
                       configuration_->groupId());
          notifyFailureBeforeSendingForItem(item, canceledError());
          break;
        case Outcome::save:
          if (savedIndex < saved.size() && saved[savedIndex]) ++stored;
          ++savedIndex;
          break;
      }
      enumerateDelegates([&](TLChannelDelegate& delegate) {
        delegate.channelDidCompleteEnqueueingLog(*this, item, logs[i].internalId);
      });
    }
    // Counted once every log of the write heard of its end, so a flush never sends a log before.
    if (stored > 0) {
      itemsCount_ += stored;
      checkPendingLogs();
    }
  }
}

void TLChannelUnitDefault::notifyFailureBeforeSendingForItem(const std::shared_ptr<TLLog>& item,
                                                             const std::optional<platform::Error>& error) {
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelWillSendLog(*this, item);
    delegate.channelDidFailSendingLog(*this, item, error);
  });
}

// ---- Flushing ----

void TLChannelUnitDefault::checkPendingLogs() {
  if (!paused_ && configuration_->flushInterval() == TLChannelUnitConfiguration::kDefaultFlushInterval &&
      itemsCount_ >= configuration_->batchSizeLimit()) {
    flushQueue();
    return;
  }
  if (itemsCount_ == 0 && !storedByEarlierRun_) return;
  std::uint64_t seconds = resolveFlushInterval();
  if (paused_) return;
  if (seconds == 0) {
    flushQueue();
  } else if (!hasPendingTimer()) {
    // A timer already armed is kept: new logs never postpone the send.
    startTimer(seconds);
  }
}

std::uint64_t TLChannelUnitDefault::resolveFlushInterval() {
  std::uint64_t interval = configuration_->flushInterval();
  if (interval < 4) return interval;
  auto settings = TLUserDefaults::shared();
  auto key = oldestPendingLogTimestampKey();
  auto now = platform::Date::now();
  auto stored = settings->objectForKey(key);
  const platform::Date* start = stored ? stored->asDate() : nullptr;
  if (!start || now.timeIntervalSince1970() < start->timeIntervalSince1970()) {
    settings->setObject(platform::PropertyList(now), key);
    return interval;
  }
  double elapsed = now.timeIntervalSince(*start);
  if (elapsed > static_cast<double>(interval)) {
    settings->removeObjectForKey(key);
    return 0;
  }
  return interval - static_cast<std::uint64_t>(elapsed);
}

bool TLChannelUnitDefault::hasPendingTimer() const { return timerSource_ && !timerSource_->isCancelled(); }

void TLChannelUnitDefault::startTimer(std::uint64_t seconds) {
  if (!enabled_) return;
  resetTimer();
  std::weak_ptr<TLChannelUnitDefault> weak = shared_from_this();
  timerSource_ = platform::DispatchTimer::make(logsDispatchQueue_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->itemsCount_ > 0 || self->storedByEarlierRun_) self->flushQueue();
    self->resetTimer();
    TLUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
  });
  timerSource_->startAfter(platform::Seconds(static_cast<double>(seconds)), platform::Seconds(1),
                           platform::Seconds(1));
}

void TLChannelUnitDefault::resetTimer() {
  if (timerSource_) timerSource_->cancel();
}

void TLChannelUnitDefault::flushQueue() {
  if (!ingestion_ || !enabled_ || !ingestion_->isReadyToSend()) return;
  resetTimer();
  if (paused_ || pendingBatchQueueFull_) {
    if (itemsCount_ >= configuration_->batchSizeLimit()) {
      availableBatchFromStorage_ = true;
      itemsCount_ = 0;
    }
    return;
  }
  itemsCount_ = 0;
  // The flush goes through the store until it is empty or the batches in flight are at their limit.
  storedByEarlierRun_ = false;
  TokenArray tokens;
  if (authTokenContext_) tokens = authTokenContext_->authTokenValidityArray();
  if (tokens.empty())
    tokens.push_back(std::make_shared<TLAuthTokenValidityInfo>(std::nullopt, std::nullopt, std::nullopt));
  flushQueueForTokenArray(tokens, 0);
}

void TLChannelUnitDefault::flushQueueForTokenArray(const TokenArray& tokens, std::size_t index) {
  const auto& window = tokens[index];
  std::vector<std::string> excluded(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
  bool more = storage_->loadLogsWithGroupId(
      configuration_->groupId(), configuration_->batchSizeLimit(), excluded, window->startTime(),
      window->endTime(), [&](const TLStorage::Logs& logs, const std::optional<std::string>& batchId) {
        if (authTokenContext_) authTokenContext_->checkIfTokenNeedsToBeRefreshed(*window);
        if (!logs.empty()) {
          sendLogContainer(TLLogContainer::initWithBatchId(batchId, logs), tokens, index);
        } else if (index == 0 && window->endTime() && authTokenContext_) {
          if (storage_->countLogsBeforeDate(*window->endTime()) == std::optional<std::uint64_t>(0))
            authTokenContext_->removeAuthToken(window->authToken());
        }
      });
  reportDiscardedLogs();
  availableBatchFromStorage_ = more;
  flushNextBatchFromQueueForTokenArray(tokens, index);
}

void TLChannelUnitDefault::reportDiscardedLogs() {
  // Stored logs that read back invalid are gone from the store; their senders hear they failed.
  auto discarded = storage_->takeDiscardedLogsWithGroupId(configuration_->groupId());
  if (discarded.empty()) return;
  auto error = platform::Error::make(kTLTelemetryErrorDomain, kTLLogInvalidContainerErrorCode,
                                     "The stored log is not valid.");
  for (const auto& log : discarded) notifyFailureBeforeSendingForItem(log, error);
}

void TLChannelUnitDefault::flushNextBatchFromQueueForTokenArray(const TokenArray& tokens, std::size_t index) {
  if (pendingBatchQueueFull_) return;
  if (availableBatchFromStorage_) {
    flushQueueForTokenArray(tokens, index);
  } else if (index + 1 < tokens.size()) {
    flushQueueForTokenArray(tokens, index + 1);
  }
}

void TLChannelUnitDefault::sendLogContainer(const std::shared_ptr<TLLogContainer>& container,
                                            const TokenArray& tokens, std::size_t index) {
  const std::string batchId = container->batchId().value_or("");
  pendingBatchIds_.push_back(batchId);
  if (pendingBatchIds_.size() >= configuration_->pendingBatchesLimit()) pendingBatchQueueFull_ = true;
  if (TLLogger::isEnabled(TLLogLevelDebug) && TLLogger::currentLogLevel() <= TLLogLevelDebug) {
    const auto& logs = container->logs();
    for (std::size_t j = 0; j < logs.size(); ++j) {
      TLLogDebug(kTLLogTag, "Sending {}/{} log, group Id: {}, batch Id: {}, session Id: {}, payload:\n{}",
                 j + 1, logs.size(), configuration_->groupId(), batchId, logs[j]->sid().value_or("(null)"),
                 logs[j]->serializeLogWithPrettyPrinting(true).value_or(""));
    }
  }
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    for (const auto& log : container->logs()) delegate.channelWillSendLog(*this, log);
  });
  std::weak_ptr<TLChannelUnitDefault> weak = shared_from_this();
  ingestion_->sendAsync(
      container, tokens[index]->authToken(),
      [weak, container, tokens, index](
          const std::optional<std::string>& callId, const std::shared_ptr<const TLHttpResponse>& response,
          const std::optional<platform::Data>&, const std::optional<platform::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        std::int64_t status = response ? response->statusCode : 0;
        std::string id = callId.value_or("");
        self->logsDispatchQueue_->async([self, container, tokens, index, id, status, error] {
          auto found = std::find(self->pendingBatchIds_.begin(), self->pendingBatchIds_.end(), id);
          if (found == self->pendingBatchIds_.end()) {
            TLLogWarning(kTLLogTag, "Batch Id {} not expected, ignore.", id);
            return;
          }
          if (status == 200) {
            TLLogDebug(kTLLogTag, "Log(s) sent with success, batch Id:{}.", id);
            self->enumerateDelegates([&](TLChannelDelegate& delegate) {
              for (const auto& log : container->logs()) delegate.channelDidSucceedSendingLog(*self, log);
            });
            self->storage_->deleteLogsWithBatchId(id, self->configuration_->groupId());
          } else {
            TLLogError(kTLLogTag, "Log(s) sent with failure, batch Id:{}, status code:{}", id, status);
            self->enumerateDelegates([&](TLChannelDelegate& delegate) {
              for (const auto& log : container->logs()) delegate.channelDidFailSendingLog(*self, log, error);
            });
          }
          self->pendingBatchIds_.erase(
              std::find(self->pendingBatchIds_.begin(), self->pendingBatchIds_.end(), id));
          if (self->pendingBatchQueueFull_ &&
              self->pendingBatchIds_.size() < self->configuration_->pendingBatchesLimit()) {
            self->pendingBatchQueueFull_ = false;
            if (status == 200) self->flushNextBatchFromQueueForTokenArray(tokens, index);
          }
        });
      });
}

// ---- Enabled state ----

void TLChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  auto self = shared_from_this();
  asyncInOrder([self, isEnabled, deleteDataOnDisabled] {
    if (isEnabled != self->enabled_) {
      self->enabled_ = isEnabled;
      if (isEnabled) {
        self->resumeWithIdentifyingObjectSync(self->identity());
      } else {
        self->pauseWithIdentifyingObjectSync(self->identity());
      }
    }
    if (isEnabled || !deleteDataOnDisabled) {
      self->discardLogs_ = false;
    } else {
      TLLogDebug(kTLLogTag, "Delete all logs for group Id {}", self->configuration_->groupId());
      self->deleteAllLogsWithErrorSync(canceledError());
      self->itemsCount_ = 0;
      self->storedByEarlierRun_ = false;
      self->availableBatchFromStorage_ = false;
      self->pendingBatchQueueFull_ = false;
      // The batches in flight were dropped with their calls: their answers, if any, are not expected.
      self->pendingBatchIds_.clear();
      self->resetTimer();
      TLUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
      self->discardLogs_ = true;
    }
    self->enumerateDelegates([&](TLChannelDelegate& delegate) {
      delegate.channelDidSetEnabled(*self, isEnabled, deleteDataOnDisabled);
    });
  });
}

void TLChannelUnitDefault::deleteAllLogsWithErrorSync(const platform::Error& error) {
  for (const auto& batchId : pendingBatchIds_)
    storage_->deleteLogsWithBatchId(batchId, configuration_->groupId());
  auto deleted = storage_->deleteLogsWithGroupId(configuration_->groupId());
  for (const auto& log : deleted) notifyFailureBeforeSendingForItem(log, error);
}

// ---- Pause lanes ----

void TLChannelUnitDefault::pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  auto self = shared_from_this();
  asyncInOrder([self, identifyingObject] { self->pauseWithIdentifyingObjectSync(identifyingObject); });
}

void TLChannelUnitDefault::resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  auto self = shared_from_this();
  asyncInOrder([self, identifyingObject] { self->resumeWithIdentifyingObjectSync(identifyingObject); });
}

void TLChannelUnitDefault::pauseWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject) {
  pausedIdentifyingObjects_[identifyingObject.get()] = identifyingObject;
  TLLogVerbose(kTLLogTag, "Identifying object {} added to pause lane for channel {}.",
               describe(identifyingObject.get()), configuration_->groupId());
  if (!paused_) {
    TLLogDebug(kTLLogTag, "Pause channel {}.", configuration_->groupId());
    paused_ = true;
    resetTimer();
  }
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidPauseWithIdentifyingObject(*this, identifyingObject);
  });
}

void TLChannelUnitDefault::resumeWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject) {
  pausedIdentifyingObjects_.erase(identifyingObject.get());
  // Objects that are gone hold nothing any more.
  std::erase_if(pausedIdentifyingObjects_, [](const auto& entry) { return entry.second.expired(); });
  TLLogVerbose(kTLLogTag, "Identifying object {} removed from pause lane for channel {}.",
               describe(identifyingObject.get()), configuration_->groupId());
  if (pausedIdentifyingObjects_.empty() && paused_) {
    TLLogDebug(kTLLogTag, "Resume channel {}.", configuration_->groupId());
    paused_ = false;
    checkPendingLogs();
  }
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidResumeWithIdentifyingObject(*this, identifyingObject);
  });
}

void TLChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
  auto key = TLUtility::targetKeyFromTargetToken(token);
  if (!key) return;
  auto self = shared_from_this();
  asyncInOrder([self, key = *key] {
    TLLogDebug(kTLLogTag, "Pause channel for target key {}.", key);
    self->pausedTargetKeys_.insert(key);
  });
}

void TLChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
  auto key = TLUtility::targetKeyFromTargetToken(token);
  if (!key) return;
  auto self = shared_from_this();
  asyncInOrder([self, key = *key] {
    TLLogDebug(kTLLogTag, "Resume channel for target key {}.", key);
    self->pausedTargetKeys_.erase(key);
    if (auto count = self->storage_->countLogs()) self->itemsCount_ = *count;
    self->checkPendingLogs();
  });
}

// ---- Callbacks ----

void TLChannelUnitDefault::ingestionDidPause(TLIngestionProtocol&) { pauseWithIdentifyingObject(ingestion_); }
void TLChannelUnitDefault::ingestionDidResume(TLIngestionProtocol&) {
  resumeWithIdentifyingObject(ingestion_);
}
void TLChannelUnitDefault::ingestionDidReceiveFatalError(TLIngestionProtocol&) { setEnabled(false, true); }

void TLChannelUnitDefault::authTokenContextDidUpdateAuthToken(TLAuthTokenContext&,
                                                              const std::optional<std::string>&) {
  auto self = shared_from_this();
  asyncInOrder([self] {
    TLLogInfo(kTLLogTag, "New auth token received, flushing queue.");
    self->checkPendingLogs();
  });
}
