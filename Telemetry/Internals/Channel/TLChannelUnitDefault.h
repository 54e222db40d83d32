#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "Telemetry/Internals/Ingestion/TLIngestionProtocol.h"
#include "Telemetry/Internals/Storage/TLStorage.h"
#include "Telemetry/Internals/Util/TLAdaptiveMutex.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "platform/DispatchTimer.h"

inline constexpr const char* kTLStartTimerPrefix = "TLChannelStartTimer";

// The queue of one log group: stamps and shows each log to its delegates, stores it, counts it,
// and later reads stored logs back in batches that it sends through its ingestion. Owns the flush
// timer, the pause lanes, the batches in flight and the enabled and discarding states. Every state
// change runs on the group's serial logs queue.
class TLChannelUnitDefault : public TLChannelUnitProtocol,
                             public TLIngestionDelegate,
                             public TLAuthTokenContextDelegate,
                             public std::enable_shared_from_this<TLChannelUnitDefault> {
 public:
  // Registers the unit with the ingestion (paused at once when the ingestion is) and starts its
  // count at the rows an earlier run left in the store.
  static std::shared_ptr<TLChannelUnitDefault> initWithIngestion(
      std::shared_ptr<TLIngestionProtocol> ingestion, std::shared_ptr<TLStorage> storage,
      std::shared_ptr<TLChannelUnitConfiguration> configuration,
      std::shared_ptr<platform::DispatchQueue> logsQueue,
      std::shared_ptr<TLAuthTokenContext> authTokenContext = nullptr);

  TLChannelUnitDefault(std::shared_ptr<TLIngestionProtocol> ingestion, std::shared_ptr<TLStorage> storage,
                       std::shared_ptr<TLChannelUnitConfiguration> configuration,
                       std::shared_ptr<platform::DispatchQueue> logsQueue,
                       std::shared_ptr<TLAuthTokenContext> authTokenContext);
  ~TLChannelUnitDefault() override;

  // ---- TLChannelUnitProtocol ----
  void enqueueItem(const std::shared_ptr<TLLog>& item, std::uint64_t flags) override;
  void pauseSendingLogsWithToken(const std::string& token) override;
  void resumeSendingLogsWithToken(const std::string& token) override;
  void checkPendingLogs() override;
  std::shared_ptr<TLChannelUnitConfiguration> configuration() const override;
  void setConfiguration(std::shared_ptr<TLChannelUnitConfiguration> configuration) override;
  std::shared_ptr<platform::DispatchQueue> logsDispatchQueue() const override;
  void setLogsDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue) override;
  // Registered before this returns, so a log enqueued next is already seen.
  void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

  // ---- TLIngestionDelegate, TLAuthTokenContextDelegate ----
  void ingestionDidPause(TLIngestionProtocol& ingestion) override;
  void ingestionDidResume(TLIngestionProtocol& ingestion) override;
  void ingestionDidReceiveFatalError(TLIngestionProtocol& ingestion) override;
  void authTokenContextDidUpdateAuthToken(TLAuthTokenContext& context,
                                          const std::optional<std::string>& authToken) override;

  // ---- State, read on the logs queue (tests read it through sync) ----
  std::uint64_t itemsCount() const { return itemsCount_; }
  const std::vector<std::string>& pendingBatchIds() const { return pendingBatchIds_; }
  bool isEnabled() const { return enabled_; }
  bool isPaused() const { return paused_; }
  bool discardLogs() const { return discardLogs_; }
  bool pendingBatchQueueFull() const { return pendingBatchQueueFull_; }
  bool availableBatchFromStorage() const { return availableBatchFromStorage_; }
  bool hasPendingTimer() const;
  const std::set<std::string>& pausedTargetKeys() const { return pausedTargetKeys_; }
  const std::shared_ptr<TLIngestionProtocol>& ingestion() const { return ingestion_; }
  const std::shared_ptr<TLStorage>& storage() const { return storage_; }
  // "TLChannelStartTimer:<group id>".
  std::string oldestPendingLogTimestampKey() const;
  // Seconds until the next flush, persisting the window start for intervals of 4 s and more.
  std::uint64_t resolveFlushInterval();

  void flushQueue();

 private:
  using TokenArray = std::vector<std::shared_ptr<TLAuthTokenValidityInfo>>;
  template <typename Fn>
  void enumerateDelegates(Fn&& fn);
  void flushQueueForTokenArray(const TokenArray& tokens, std::size_t index);
  void flushNextBatchFromQueueForTokenArray(const TokenArray& tokens, std::size_t index);
  void sendLogContainer(const std::shared_ptr<TLLogContainer>& container, const TokenArray& tokens,
                        std::size_t index);
  void startTimer(std::uint64_t seconds);
  void resetTimer();
  void pauseWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject);
  void resumeWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject);
  void deleteAllLogsWithErrorSync(const platform::Error& error);
  void notifyFailureBeforeSendingForItem(const std::shared_ptr<TLLog>& item,
                                         const std::optional<platform::Error>& error);
  void reportDiscardedLogs();
  // A log handed over by enqueueItem, waiting for the logs queue.
  struct PendingLog {
    std::shared_ptr<TLLog> log;
    std::uint64_t flags = 0;
    std::string internalId;
    PendingLog* next = nullptr;
  };
  using PendingLogs = std::vector<PendingLog>;
  // The logs handed over for one queue task. Nodes are made before any lock is taken and pushed
  // with one compare-and-swap, so callers sharing the hand-over lock neither allocate nor wait for
  // each other; the list is newest first and taken in the order the pushes happened.
  struct HandOver {
    HandOver() = default;
    HandOver(const HandOver&) = delete;
    HandOver& operator=(const HandOver&) = delete;
    ~HandOver();
    void push(PendingLog* node);
    // Moves the logs out in the order they were pushed, emptying the list.
    PendingLogs take();
    std::atomic<PendingLog*> top{nullptr};
  };
  // Filters, stores (in one write) and counts logs handed over together, in their order.
  void processLogs(PendingLogs& logs);
  // Queues the task after every log enqueued before it, and every log enqueued later after it.
  void asyncInOrder(std::function<void()> task);
  TLIdentifyingObject identity();

  std::shared_ptr<TLChannelUnitConfiguration> configuration_;
  std::shared_ptr<platform::DispatchQueue> logsDispatchQueue_;
  std::shared_ptr<TLIngestionProtocol> ingestion_;
  std::shared_ptr<TLStorage> storage_;
  std::shared_ptr<TLAuthTokenContext> authTokenContext_;
  std::map<const void*, std::weak_ptr<void>> pausedIdentifyingObjects_;
  std::set<std::string> pausedTargetKeys_;
  // Enumerating shares it; adding or removing a delegate holds it alone.
  mutable TLReadMostlyMutex delegatesMutex_;
  // Replaced, never changed in place: enumerating takes the current table under the shared lock
  // with one reference count, so callers on many threads do not copy the table or wait on each other.
  std::shared_ptr<const std::vector<std::weak_ptr<TLChannelDelegate>>> delegates_ =
      std::make_shared<const std::vector<std::weak_ptr<TLChannelDelegate>>>();
  // Logs enqueued since the queue task that will take them was queued; none when no such task
  // waits. A burst of logs costs the queue one task and one store transaction instead of one of
  // each per log. Callers push under the shared lock, so one preempted caller holds no other up;
  // the lock is held alone only to queue the task of a new hand-over and to close one (the task
  // taking it, or asyncInOrder), which waits for the pushes in progress.
  TLReadMostlyMutex handOverMutex_;
  std::shared_ptr<HandOver> handOver_;
  std::shared_ptr<platform::DispatchTimer> timerSource_;
  std::uint64_t itemsCount_ = 0;
  // The store held logs of this unit when it was made: the timer runs for them as for new logs.
  bool storedByEarlierRun_ = false;
  std::vector<std::string> pendingBatchIds_;
  bool availableBatchFromStorage_ = false;
  bool pendingBatchQueueFull_ = false;
  bool enabled_ = true;
  bool paused_ = false;
  bool discardLogs_ = false;
};
