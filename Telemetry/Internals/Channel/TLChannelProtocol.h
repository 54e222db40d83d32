#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Channel/TLEnable.h"
#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"

class TLChannelDelegate;
class TLChannelUnitConfiguration;
class TLChannelUnitProtocol;
class TLIngestionProtocol;

// Whatever holds a channel paused (the ingestion, the unit itself, a service): compared by identity
// and held weakly.
using TLIdentifyingObject = std::shared_ptr<void>;

// A channel, unit or group: delegates, pause lanes and the enabled state.
class TLChannelProtocol : public TLEnable {
 public:
  // Delegates are held weakly.
  virtual void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) = 0;
  virtual void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) = 0;
  virtual void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) = 0;
};

// The pipeline as the SDK core and the services reach it.
class TLChannelGroupProtocol : public TLChannelProtocol {
 public:
  virtual std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<TLChannelUnitConfiguration>& configuration) = 0;
  // With another sender than the group's (none: the group's).
  virtual std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<TLChannelUnitConfiguration>& configuration,
      const std::shared_ptr<TLIngestionProtocol>& ingestion) = 0;
  virtual void setLogUrl(const std::string& logUrl) = 0;
  virtual void setAppSecret(const std::string& appSecret) = 0;
  virtual void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) = 0;
  virtual std::shared_ptr<TLChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) = 0;
};

// One log group's queue, as services reach it.
class TLChannelUnitProtocol : public TLChannelProtocol {
 public:
  virtual void enqueueItem(const std::shared_ptr<TLLog>& item, std::uint64_t flags) = 0;
  virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
  virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
  // Must run on the logs queue.
  virtual void checkPendingLogs() = 0;
  virtual std::shared_ptr<TLChannelUnitConfiguration> configuration() const = 0;
  virtual void setConfiguration(std::shared_ptr<TLChannelUnitConfiguration> configuration) = 0;
  virtual std::shared_ptr<platform::DispatchQueue> logsDispatchQueue() const = 0;
  virtual void setLogsDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue) = 0;
};

// Listens to channels; every method is optional. The channel is a unit (a TLChannelUnitProtocol) or
// the group (a TLChannelGroupProtocol).
class TLChannelDelegate {
 public:
  virtual ~TLChannelDelegate() = default;
  virtual void channelGroupDidAddChannelUnit(TLChannelGroupProtocol& /*group*/,
                                             const std::shared_ptr<TLChannelUnitProtocol>& /*unit*/) {}
  virtual void channelPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/) {}
  virtual void channelDidPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/,
                                    const std::string& /*internalId*/, std::uint64_t /*flags*/) {}
  virtual void channelDidCompleteEnqueueingLog(TLChannelProtocol& /*channel*/,
                                               const std::shared_ptr<TLLog>& /*log*/,
                                               const std::string& /*internalId*/) {}
  virtual void channelWillSendLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/) {}
  virtual void channelDidSucceedSendingLog(TLChannelProtocol& /*channel*/,
                                           const std::shared_ptr<TLLog>& /*log*/) {}
  virtual void channelDidFailSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/,
                                        const std::optional<platform::Error>& /*error*/) {}
  virtual void channelDidSetEnabled(TLChannelProtocol& /*channel*/, bool /*isEnabled*/, bool /*deleteData*/) {
  }
  virtual void channelDidPauseWithIdentifyingObject(TLChannelProtocol& /*channel*/,
                                                    const TLIdentifyingObject& /*identifyingObject*/) {}
  virtual void channelDidResumeWithIdentifyingObject(TLChannelProtocol& /*channel*/,
                                                     const TLIdentifyingObject& /*identifyingObject*/) {}
  // True drops the log.
  virtual bool channelUnitShouldFilterLog(TLChannelUnitProtocol& /*unit*/,
                                          const std::shared_ptr<TLLog>& /*log*/) {
    return false;
  }
};
