#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Ingestion/TLEventCollectorIngestion.h"
#include "Telemetry/Internals/Model/TLCSEpochAndSeq.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLAdaptiveMutex.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"

inline constexpr const char* kTLEventCollectorGroupIdSuffix = "/one";
// The public collector origin is a deployment value; this is the one the SDK falls back to.
inline constexpr const char* kTLEventCollectorDefaultBaseUrl = "https://events.telemetry.quorvane.com";
inline constexpr const char* kTLLogNameRegex = "^[a-zA-Z0-9]((\\.(?!(\\.|$)))|[_a-zA-Z0-9]){3,99}$";

// Sends the logs of transmission targets to the Event Collector instead of the log endpoint: gives
// every unit a twin "<group id>/one" over the Event Collector sender, moves or converts target logs
// into the twin (the base unit drops them), stamps epoch, sequence number and install id into each
// Event Schema log, checks event names, and mirrors enable, disable, pause and resume onto twins.
class TLEventCollectorChannelDelegate : public TLChannelDelegate {
 public:
  // Over the machine's reachability; the default Event Collector origin when no base URL is given.
  static std::shared_ptr<TLEventCollectorChannelDelegate> initWithInstallId(
      const std::string& installId, const std::optional<std::string>& baseUrl);
  // Over a sender of the caller's (tests, benchmarks).
  TLEventCollectorChannelDelegate(const std::string& installId,
                                  std::shared_ptr<TLEventCollectorIngestion> ingestion);

  void setLogUrl(const std::string& logUrl);
  static bool isEventCollectorGroup(const std::string& groupId);
  static bool shouldSendLogToEventCollector(const std::shared_ptr<TLLog>& log);
  static bool validateLog(const TLEventSchemaLog& log);
  static bool validateLogName(const std::optional<std::string>& name);

  void channelGroupDidAddChannelUnit(TLChannelGroupProtocol& group,
                                     const std::shared_ptr<TLChannelUnitProtocol>& unit) override;
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, std::uint64_t flags) override;
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& unit, const std::shared_ptr<TLLog>& log) override;
  void channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled, bool deleteData) override;
  void channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                            const TLIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                             const TLIdentifyingObject& identifyingObject) override;

  const std::shared_ptr<TLEventCollectorIngestion>& eventCollectorIngestion() const { return ingestion_; }
  std::shared_ptr<TLChannelUnitProtocol> eventCollectorChannel(const std::string& baseGroupId) const;
  const std::string& installId() const { return installId_; }

 private:
  std::string installId_;
  std::shared_ptr<TLEventCollectorIngestion> ingestion_;
  // The twins are looked up for every log and added once per unit: readers share the lock.
  mutable TLReadMostlyMutex channelsMutex_;
  std::map<std::string, std::shared_ptr<TLChannelUnitProtocol>> eventCollectorChannels_;
  mutable TLAdaptiveMutex mutex_;
  std::map<std::string, TLCSEpochAndSeq> epochsAndSeqsByIKey_;
};
