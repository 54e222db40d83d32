#include "Telemetry/Internals/Context/TLHistoryInfo.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kTimestampKey = "timestampKey";
constexpr const char* kSessionIdKey = "sessionIdKey";
constexpr const char* kUserIdKey = "userIdKey";
constexpr const char* kDeviceKey = "deviceKey";
constexpr const char* kAuthTokenKey = "authTokenKey";
constexpr const char* kAccountIdKey = "accountIdKey";
constexpr const char* kStartTimeKey = "startTimeKey";
constexpr const char* kExpiresOnKey = "expiresOnKey";
constexpr double kExpiresSoonInterval = 600;
}  // namespace

std::shared_ptr<TLHistoryInfo> TLHistoryInfo::initWithTimestamp(std::optional<platform::Date> timestamp) {
  auto info = std::make_shared<TLHistoryInfo>();
  info->timestamp_ = timestamp;
  return info;
}

std::shared_ptr<TLHistoryInfo> TLHistoryInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<TLHistoryInfo>();
  info->decodeFields(coder);
  return info;
}

void TLHistoryInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(timestamp_, kTimestampKey);
}

void TLHistoryInfo::decodeFields(platform::KeyedUnarchiver& coder) {
  timestamp_ = coder.decodeDateForKey(kTimestampKey);
}

std::shared_ptr<TLSessionHistoryInfo> TLSessionHistoryInfo::initWithTimestamp(
    std::optional<platform::Date> timestamp, std::optional<std::string> sessionId) {
  auto info = std::make_shared<TLSessionHistoryInfo>();
  info->setTimestamp(timestamp);
  info->sessionId_ = std::move(sessionId);
  return info;
}

std::shared_ptr<TLSessionHistoryInfo> TLSessionHistoryInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<TLSessionHistoryInfo>();
  info->decodeFields(coder);
  info->sessionId_ = coder.decodeStringForKey(kSessionIdKey);
  return info;
}

void TLSessionHistoryInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(sessionId_, kSessionIdKey);
}

std::shared_ptr<TLUserIdHistoryInfo> TLUserIdHistoryInfo::initWithTimestamp(
    std::optional<platform::Date> timestamp, std::optional<std::string> userId) {
  auto info = std::make_shared<TLUserIdHistoryInfo>();
  info->setTimestamp(timestamp);
  info->userId_ = std::move(userId);
  return info;
}

std::shared_ptr<TLUserIdHistoryInfo> TLUserIdHistoryInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<TLUserIdHistoryInfo>();
  info->decodeFields(coder);
  info->userId_ = coder.decodeStringForKey(kUserIdKey);
  return info;
}

void TLUserIdHistoryInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(userId_, kUserIdKey);
}

std::shared_ptr<TLDeviceHistoryInfo> TLDeviceHistoryInfo::initWithTimestamp(
    std::optional<platform::Date> timestamp, std::shared_ptr<TLDevice> device) {
  auto info = std::make_shared<TLDeviceHistoryInfo>();
  info->setTimestamp(timestamp);
  info->device_ = std::move(device);
  return info;
}

std::shared_ptr<TLDeviceHistoryInfo> TLDeviceHistoryInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<TLDeviceHistoryInfo>();
  info->decodeFields(coder);
  info->setDevice(coder.decodeObjectOfClass<TLDevice>(kDeviceKey));
  return info;
}

void TLDeviceHistoryInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(device_, kDeviceKey);
}

std::shared_ptr<TLAuthTokenInfo> TLAuthTokenInfo::initWithAuthToken(std::optional<std::string> authToken,
                                                                    std::optional<std::string> accountId,
                                                                    std::optional<platform::Date> startTime,
                                                                    std::optional<platform::Date> expiresOn) {
  auto info = std::make_shared<TLAuthTokenInfo>();
  info->authToken_ = std::move(authToken);
  info->accountId_ = std::move(accountId);
  info->startTime_ = startTime;
  info->expiresOn_ = expiresOn;
  return info;
}

std::shared_ptr<TLAuthTokenInfo> TLAuthTokenInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<TLAuthTokenInfo>();
  info->authToken_ = coder.decodeStringForKey(kAuthTokenKey);
  info->accountId_ = coder.decodeStringForKey(kAccountIdKey);
  info->startTime_ = coder.decodeDateForKey(kStartTimeKey);
  info->expiresOn_ = coder.decodeDateForKey(kExpiresOnKey);
  return info;
}

void TLAuthTokenInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(authToken_, kAuthTokenKey);
  coder.encodeObject(accountId_, kAccountIdKey);
  coder.encodeObject(startTime_, kStartTimeKey);
  coder.encodeObject(expiresOn_, kExpiresOnKey);
}

bool TLAuthTokenValidityInfo::expiresSoon(platform::Date now) const {
  if (!endTime_) return false;
  return *endTime_ < now.addingTimeInterval(kExpiresSoonInterval);
}
