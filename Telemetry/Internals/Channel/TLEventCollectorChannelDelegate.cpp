#include "Telemetry/Internals/Channel/TLEventCollectorChannelDelegate.h"

#include <regex>
#include <shared_mutex>

#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "platform/UUID.h"

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ECMAScript has the look-ahead the pattern needs.
const std::regex& logNameRegex() {
  static const std::regex pattern(kTLLogNameRegex, std::regex::ECMAScript);
  return pattern;
}

}  // namespace

std::shared_ptr<TLEventCollectorChannelDelegate> TLEventCollectorChannelDelegate::initWithInstallId(
    const std::string& installId, const std::optional<std::string>& baseUrl) {
  return std::make_shared<TLEventCollectorChannelDelegate>(
      installId,
      TLEventCollectorIngestion::initWithBaseUrl(baseUrl.value_or(kTLEventCollectorDefaultBaseUrl)));
}

TLEventCollectorChannelDelegate::TLEventCollectorChannelDelegate(
    const std::string& installId, std::shared_ptr<TLEventCollectorIngestion> ingestion)
    : installId_(installId), ingestion_(std::move(ingestion)) {}

void TLEventCollectorChannelDelegate::setLogUrl(const std::string& logUrl) {
  if (ingestion_) ingestion_->setBaseURL(logUrl);
}

bool TLEventCollectorChannelDelegate::isEventCollectorGroup(const std::string& groupId) {
  return endsWith(groupId, kTLEventCollectorGroupIdSuffix);
}

bool TLEventCollectorChannelDelegate::shouldSendLogToEventCollector(const std::shared_ptr<TLLog>& log) {
  auto tokens = log ? log->transmissionTargetTokens() : nullptr;
  return tokens && !tokens->empty() && !std::dynamic_pointer_cast<TLEventSchemaLog>(log);
}

bool TLEventCollectorChannelDelegate::validateLog(const TLEventSchemaLog& log) {
  return validateLogName(log.name());
}

bool TLEventCollectorChannelDelegate::validateLogName(const std::optional<std::string>& name) {
  if (!name || name->empty()) {
    TLLogError(kTLLogTag, "{} Name must not be nil or empty.", "Log validation failed.");
    return false;
  }
  if (!std::regex_match(*name, logNameRegex())) {
    TLLogError(kTLLogTag, "{} Name must match '{}' but was '{}'", "Log validation failed.", kTLLogNameRegex,
               *name);
    return false;
  }
  return true;
}

std::shared_ptr<TLChannelUnitProtocol> TLEventCollectorChannelDelegate::eventCollectorChannel(
    const std::string& baseGroupId) const {
  std::shared_lock lock(channelsMutex_);
  auto found = eventCollectorChannels_.find(baseGroupId);
  return found == eventCollectorChannels_.end() ? nullptr : found->second;
}

void TLEventCollectorChannelDelegate::channelGroupDidAddChannelUnit(
    TLChannelGroupProtocol& group, const std::shared_ptr<TLChannelUnitProtocol>& unit) {
  auto configuration = unit ? unit->configuration() : nullptr;
  if (!configuration || isEventCollectorGroup(configuration->groupId())) return;
  auto twinConfiguration = TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId(
      configuration->groupId() + kTLEventCollectorGroupIdSuffix, configuration->flushInterval());
  auto twin = group.addChannelUnitWithConfiguration(twinConfiguration, ingestion_);
  std::lock_guard lock(channelsMutex_);
  eventCollectorChannels_[configuration->groupId()] = twin;
}

void TLEventCollectorChannelDelegate::channelPrepareLog(TLChannelProtocol&,
                                                        const std::shared_ptr<TLLog>& log) {
  auto schema = std::dynamic_pointer_cast<TLEventSchemaLog>(log);
  if (!schema) return;
  if (!schema->ext()) schema->setExt(TLCSExtensions::init());
  if (!schema->ext()->sdkExt()) schema->ext()->setSdkExt(TLSDKExtension::init());
  std::string iKey = schema->iKey().value_or("");
  std::string epoch;
  std::uint64_t seq;
  {
    // Enqueues from several threads never share a number.
    std::lock_guard lock(mutex_);
    auto found = epochsAndSeqsByIKey_.find(iKey);
    if (found == epochsAndSeqsByIKey_.end())
      found = epochsAndSeqsByIKey_.emplace(iKey, TLCSEpochAndSeq::initWithEpoch(platform::makeUUIDString()))
                  .first;
    found->second.setSeq(found->second.seq() + 1);
    epoch = found->second.epoch();
    seq = found->second.seq();
  }
  auto sdk = schema->ext()->sdkExt();
  sdk->setEpoch(epoch);
  sdk->setSeq(static_cast<std::int64_t>(seq));
  sdk->setInstallId(platform::UUIDBytes::fromString(installId_));
}

void TLEventCollectorChannelDelegate::channelDidPrepareLog(TLChannelProtocol& channel,
                                                           const std::shared_ptr<TLLog>& log,
                                                           const std::string&, std::uint64_t flags) {
  auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel);
  if (!unit) return;
  const std::string groupId = unit->configuration()->groupId();
  if (isEventCollectorGroup(groupId)) return;
  auto twin = eventCollectorChannel(groupId);
  if (!twin) return;
  if (std::dynamic_pointer_cast<TLEventSchemaLog>(log)) {
    twin->enqueueItem(log, flags);
    return;
  }
  if (shouldSendLogToEventCollector(log)) {
    if (auto converted = log->toEventSchemaLogsWithFlags(flags)) {
      for (const auto& schema : *converted) twin->enqueueItem(schema, flags);
    }
  }
}

bool TLEventCollectorChannelDelegate::channelUnitShouldFilterLog(TLChannelUnitProtocol& unit,
                                                                 const std::shared_ptr<TLLog>& log) {
  if (auto schema = std::dynamic_pointer_cast<TLEventSchemaLog>(log)) {
    if (isEventCollectorGroup(unit.configuration()->groupId())) return !validateLog(*schema);
    return true;
  }
  auto tokens = log ? log->transmissionTargetTokens() : nullptr;
  return tokens && !tokens->empty();
}

void TLEventCollectorChannelDelegate::channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled,
                                                           bool deleteData) {
  if (auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel)) {
    const std::string groupId = unit->configuration()->groupId();
    if (isEventCollectorGroup(groupId)) return;
    if (auto twin = eventCollectorChannel(groupId)) twin->setEnabled(isEnabled, deleteData);
  } else if (dynamic_cast<TLChannelGroupProtocol*>(&channel) && deleteData && !isEnabled) {
    std::lock_guard lock(mutex_);
    epochsAndSeqsByIKey_.clear();
  }
}

void TLEventCollectorChannelDelegate::channelDidPauseWithIdentifyingObject(
    TLChannelProtocol& channel, const TLIdentifyingObject& identifyingObject) {
  if (auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel)) {
    if (auto twin = eventCollectorChannel(unit->configuration()->groupId()))
      twin->pauseWithIdentifyingObject(identifyingObject);
  }
}

void TLEventCollectorChannelDelegate::channelDidResumeWithIdentifyingObject(
    TLChannelProtocol& channel, const TLIdentifyingObject& identifyingObject) {
  if (auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel)) {
    if (auto twin = eventCollectorChannel(unit->configuration()->groupId()))
      twin->resumeWithIdentifyingObject(identifyingObject);
  }
}
