#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"

#include <algorithm>
#include <cctype>
#include <shared_mutex>

#include "Telemetry/Internals/Storage/TLLogDBStorage.h"

std::shared_ptr<TLChannelGroupDefault> TLChannelGroupDefault::initWithInstallId(const std::string& installId,
                                                                                const std::string& logUrl) {
  std::string upper = installId;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return initWithIngestion(TLTelemetryIngestion::initWithBaseUrl(logUrl, upper));
}

std::shared_ptr<TLChannelGroupDefault> TLChannelGroupDefault::initWithIngestion(
    std::shared_ptr<TLTelemetryIngestion> ingestion, std::shared_ptr<TLStorage> storage,
    std::shared_ptr<TLAuthTokenContext> authTokenContext) {
  return std::make_shared<TLChannelGroupDefault>(std::move(ingestion), std::move(storage),
                                                 std::move(authTokenContext));
}

TLChannelGroupDefault::TLChannelGroupDefault(std::shared_ptr<TLTelemetryIngestion> ingestion,
                                             std::shared_ptr<TLStorage> storage,
                                             std::shared_ptr<TLAuthTokenContext> authTokenContext)
    : ingestion_(std::move(ingestion)),
      storage_(storage ? std::move(storage) : std::make_shared<TLLogDBStorage>()),
      authTokenContext_(authTokenContext ? std::move(authTokenContext)
                                         : TLAuthTokenContext::sharedInstance()),
      logsDispatchQueue_(platform::DispatchQueue::serial(kTLChannelGroupQueueLabel)) {}

template <typename Fn>
void TLChannelGroupDefault::enumerateDelegates(Fn&& fn) {
  std::shared_ptr<const std::vector<std::weak_ptr<TLChannelDelegate>>> snapshot;
  {
    std::shared_lock lock(mutex_);
    snapshot = delegates_;
  }
  for (const auto& weak : *snapshot)
    if (auto delegate = weak.lock()) fn(*delegate);
}

std::vector<std::shared_ptr<TLChannelUnitDefault>> TLChannelGroupDefault::channels() const {
  std::shared_lock lock(mutex_);
  return channels_;
}

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::shared_ptr<TLChannelUnitConfiguration>& configuration) {
  return addChannelUnitWithConfiguration(configuration, nullptr);
}

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::shared_ptr<TLChannelUnitConfiguration>& configuration,
    const std::shared_ptr<TLIngestionProtocol>& ingestion) {
  if (!configuration) return nullptr;
  std::shared_ptr<TLIngestionProtocol> sender = ingestion ? ingestion : ingestion_;
  auto unit = TLChannelUnitDefault::initWithIngestion(sender, storage_, configuration, logsDispatchQueue_,
                                                      authTokenContext_);
  // The group hears the unit's callbacks from the first log on.
  unit->addDelegate(shared_from_this());
  logsDispatchQueue_->async([unit] { unit->checkPendingLogs(); });
  {
    std::lock_guard lock(mutex_);
    channels_.push_back(unit);
  }
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelGroupDidAddChannelUnit(*this, unit); });
  if (authTokenContext_) authTokenContext_->addDelegate(unit);
  return unit;
}

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::channelUnitForGroupId(
    const std::string& groupId) {
  std::shared_lock lock(mutex_);
  for (const auto& unit : channels_)
    if (unit->configuration()->groupId() == groupId) return unit;
  return nullptr;
}

void TLChannelGroupDefault::addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(mutex_);
  auto table = std::make_shared<std::vector<std::weak_ptr<TLChannelDelegate>>>(*delegates_);
  table->push_back(delegate);
  delegates_ = std::move(table);
}

void TLChannelGroupDefault::removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  auto table = std::make_shared<std::vector<std::weak_ptr<TLChannelDelegate>>>(*delegates_);
  std::erase_if(*table, [&](const std::weak_ptr<TLChannelDelegate>& weak) {
    auto held = weak.lock();
    return !held || held == delegate;
  });
  delegates_ = std::move(table);
}

void TLChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  if (ingestion_) ingestion_->setEnabled(isEnabled, deleteDataOnDisabled);
  for (const auto& unit : channels()) unit->setEnabled(isEnabled, deleteDataOnDisabled);
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidSetEnabled(*this, isEnabled, deleteDataOnDisabled);
  });
}

void TLChannelGroupDefault::pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(false, false);
  for (const auto& unit : channels()) unit->pauseWithIdentifyingObject(identifyingObject);
}

void TLChannelGroupDefault::resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(true, false);
  for (const auto& unit : channels()) unit->resumeWithIdentifyingObject(identifyingObject);
}

void TLChannelGroupDefault::setLogUrl(const std::string& logUrl) {
  if (ingestion_) ingestion_->setBaseURL(logUrl);
}

void TLChannelGroupDefault::setAppSecret(const std::string& appSecret) {
  if (ingestion_) ingestion_->setAppSecret(appSecret);
}

void TLChannelGroupDefault::setMaxStorageSize(std::int64_t sizeInBytes,
                                              std::function<void(bool)> completionHandler) {
  auto storage = storage_;
  logsDispatchQueue_->async([storage, sizeInBytes, completionHandler = std::move(completionHandler)] {
    storage->setMaxStorageSize(sizeInBytes, completionHandler);
  });
}

// ---- Forwarding ----

void TLChannelGroupDefault::channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) {
  enumerateDelegates([&](TLChannelDelegate& delegate) { delegate.channelPrepareLog(channel, log); });
}

void TLChannelGroupDefault::channelDidPrepareLog(TLChannelProtocol& channel,
                                                 const std::shared_ptr<TLLog>& log,
                                                 const std::string& internalId, std::uint64_t flags) {
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelDidPrepareLog(channel, log, internalId, flags); });
}

void TLChannelGroupDefault::channelDidCompleteEnqueueingLog(TLChannelProtocol& channel,
                                                            const std::shared_ptr<TLLog>& log,
                                                            const std::string& internalId) {
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidCompleteEnqueueingLog(channel, log, internalId);
  });
}

void TLChannelGroupDefault::channelWillSendLog(TLChannelProtocol& channel,
                                               const std::shared_ptr<TLLog>& log) {
  enumerateDelegates([&](TLChannelDelegate& delegate) { delegate.channelWillSendLog(channel, log); });
}

void TLChannelGroupDefault::channelDidSucceedSendingLog(TLChannelProtocol& channel,
                                                        const std::shared_ptr<TLLog>& log) {
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelDidSucceedSendingLog(channel, log); });
}

void TLChannelGroupDefault::channelDidFailSendingLog(TLChannelProtocol& channel,
                                                     const std::shared_ptr<TLLog>& log,
                                                     const std::optional<platform::Error>& error) {
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelDidFailSendingLog(channel, log, error); });
}

void TLChannelGroupDefault::channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled,
                                                 bool deleteData) {
  enumerateDelegates(
      [&](TLChannelDelegate& delegate) { delegate.channelDidSetEnabled(channel, isEnabled, deleteData); });
}

void TLChannelGroupDefault::channelDidPauseWithIdentifyingObject(
    TLChannelProtocol& channel, const TLIdentifyingObject& identifyingObject) {
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidPauseWithIdentifyingObject(channel, identifyingObject);
  });
}

void TLChannelGroupDefault::channelDidResumeWithIdentifyingObject(
    TLChannelProtocol& channel, const TLIdentifyingObject& identifyingObject) {
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    delegate.channelDidResumeWithIdentifyingObject(channel, identifyingObject);
  });
}

bool TLChannelGroupDefault::channelUnitShouldFilterLog(TLChannelUnitProtocol& unit,
                                                       const std::shared_ptr<TLLog>& log) {
  bool filtered = false;
  enumerateDelegates([&](TLChannelDelegate& delegate) {
    if (!filtered && delegate.channelUnitShouldFilterLog(unit, log)) filtered = true;
  });
  return filtered;
}
