#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Channel/TLChannelUnitDefault.h"
#include "Telemetry/Internals/Ingestion/TLTelemetryIngestion.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"

inline constexpr const char* kTLChannelGroupQueueLabel = "com.telemetry.sdk.ChannelGroupQueue";

// The pipeline's one entry: owns the serial logs queue, the log store and the default sender, makes
// the channel units on them and is each unit's first delegate, fanning every unit callback out to
// its own delegates. Applies enable, disable, pause and resume to the sender and every unit.
class TLChannelGroupDefault : public TLChannelGroupProtocol,
                              public TLChannelDelegate,
                              public std::enable_shared_from_this<TLChannelGroupDefault> {
 public:
  // A telemetry sender for the log URL and the install id (canonical upper-case text).
  static std::shared_ptr<TLChannelGroupDefault> initWithInstallId(const std::string& installId,
                                                                  const std::string& logUrl);
  // Over a sender (or none) and, for tests and benchmarks, a store and an auth-token context of
  // their own (none: a new "Logs.sqlite" store and the shared context).
  static std::shared_ptr<TLChannelGroupDefault> initWithIngestion(
      std::shared_ptr<TLTelemetryIngestion> ingestion, std::shared_ptr<TLStorage> storage = nullptr,
      std::shared_ptr<TLAuthTokenContext> authTokenContext = nullptr);

  TLChannelGroupDefault(std::shared_ptr<TLTelemetryIngestion> ingestion, std::shared_ptr<TLStorage> storage,
                        std::shared_ptr<TLAuthTokenContext> authTokenContext);

  // ---- TLChannelGroupProtocol ----
  std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<TLChannelUnitConfiguration>& configuration) override;
  std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<TLChannelUnitConfiguration>& configuration,
      const std::shared_ptr<TLIngestionProtocol>& ingestion) override;
  void setLogUrl(const std::string& logUrl) override;
  void setAppSecret(const std::string& appSecret) override;
  void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) override;
  std::shared_ptr<TLChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) override;
  void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

  // ---- Forwarded unit callbacks ----
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, std::uint64_t flags) override;
  void channelDidCompleteEnqueueingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                       const std::string& internalId) override;
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<platform::Error>& error) override;
  void channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled, bool deleteData) override;
  void channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                            const TLIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                             const TLIdentifyingObject& identifyingObject) override;
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& unit, const std::shared_ptr<TLLog>& log) override;

  const std::shared_ptr<TLTelemetryIngestion>& ingestion() const { return ingestion_; }
  const std::shared_ptr<TLStorage>& storage() const { return storage_; }
  const std::shared_ptr<platform::DispatchQueue>& logsDispatchQueue() const { return logsDispatchQueue_; }
  std::vector<std::shared_ptr<TLChannelUnitDefault>> channels() const;

 private:
  template <typename Fn>
  void enumerateDelegates(Fn&& fn);

  std::shared_ptr<TLTelemetryIngestion> ingestion_;
  std::shared_ptr<TLStorage> storage_;
  std::shared_ptr<TLAuthTokenContext> authTokenContext_;
  std::shared_ptr<platform::DispatchQueue> logsDispatchQueue_;
  // Readers (every log's delegate calls, unit look-ups) share it; adding or removing holds it alone.
  mutable TLReadMostlyMutex mutex_;
  // Replaced, never changed in place: enumerating takes the current table under the shared lock
  // with one reference count, so callers on many threads do not copy the table or wait on each other.
  std::shared_ptr<const std::vector<std::weak_ptr<TLChannelDelegate>>> delegates_ =
      std::make_shared<const std::vector<std::weak_ptr<TLChannelDelegate>>>();
  std::vector<std::shared_ptr<TLChannelUnitDefault>> channels_;
};
