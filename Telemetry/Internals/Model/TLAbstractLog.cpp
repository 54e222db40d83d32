#include "Telemetry/Internals/Model/TLAbstractLog.h"

#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kType = "type";
constexpr const char* kTimestamp = "timestamp";
constexpr const char* kSid = "sid";
constexpr const char* kDistributionGroupId = "distributionGroupId";
constexpr const char* kUserId = "userId";
constexpr const char* kDevice = "device";
}  // namespace

std::shared_ptr<TLAbstractLog> TLAbstractLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

nlohmann::json TLAbstractLog::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  if (type_) dictionary[kType] = *type_;
  if (timestamp_) dictionary[kTimestamp] = TLUtility::dateToISO8601(*timestamp_);
  if (sid_) dictionary[kSid] = *sid_;
  if (distributionGroupId_) dictionary[kDistributionGroupId] = *distributionGroupId_;
  if (userId_) dictionary[kUserId] = *userId_;
  if (device_) dictionary[kDevice] = device_->serializeToDictionary();
  return dictionary;
}

bool TLAbstractLog::isValid() const { return type_ && timestamp_ && device_ && device_->isValid(); }

bool TLAbstractLog::isEqual(const TLAbstractLog& other) const {
  if (tag_ != other.tag_ || type_ != other.type_ || timestamp_ != other.timestamp_ || sid_ != other.sid_ ||
      distributionGroupId_ != other.distributionGroupId_ || userId_ != other.userId_)
    return false;
  if (!device_ || !other.device_) return !device_ && !other.device_;
  return device_->isEqual(*other.device_);
}

void TLAbstractLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(type_, kType);
  coder.encodeObject(timestamp_, kTimestamp);
  coder.encodeObject(sid_, kSid);
  coder.encodeObject(distributionGroupId_, kDistributionGroupId);
  coder.encodeObject(userId_, kUserId);
  coder.encodeObject(device_, kDevice);
}

void TLAbstractLog::decodeFields(platform::KeyedUnarchiver& coder) {
  type_ = coder.decodeStringForKey(kType);
  timestamp_ = coder.decodeDateForKey(kTimestamp);
  sid_ = coder.decodeStringForKey(kSid);
  distributionGroupId_ = coder.decodeStringForKey(kDistributionGroupId);
  userId_ = coder.decodeStringForKey(kUserId);
  device_ = coder.decodeObjectOfClass<TLDevice>(kDevice);
}

std::optional<std::string> TLAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  // The writer never escapes "/", so "a/b" stays as it is and "a\/b" keeps its backslash.
  return serializeToOrderedJson().dump(prettyPrint ? 2 : -1, ' ', false,
                                       nlohmann::ordered_json::error_handler_t::replace);
}

std::shared_ptr<const TLAbstractLog::TokenSet> TLAbstractLog::transmissionTargetTokens() const {
  std::lock_guard lock(tokensMutex_);
  return transmissionTargetTokens_;
}

void TLAbstractLog::addTransmissionTargetToken(const std::string& token) {
  std::lock_guard lock(tokensMutex_);
  auto tokens = transmissionTargetTokens_ ? std::make_shared<TokenSet>(*transmissionTargetTokens_)
                                          : std::make_shared<TokenSet>();
  tokens->insert(token);
  transmissionTargetTokens_ = std::move(tokens);
}

void TLAbstractLog::setTransmissionTargetTokens(std::shared_ptr<const TokenSet> tokens) {
  std::lock_guard lock(tokensMutex_);
  transmissionTargetTokens_ = std::move(tokens);
}
