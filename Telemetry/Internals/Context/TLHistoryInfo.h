#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLDevice.h"
#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/Date.h"
#include "platform/KeyedUnarchiver.h"

// One moment of a history: the value that was current from `timestamp` on. The class names and
// coding keys are the stored format of the histories.
class TLHistoryInfo : public platform::Coding {
 public:
  static constexpr const char* kClassName = "TLHistoryInfo";

  TLHistoryInfo() = default;
  static std::shared_ptr<TLHistoryInfo> initWithTimestamp(std::optional<platform::Date> timestamp);
  static std::shared_ptr<TLHistoryInfo> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<platform::Date>, timestamp, setTimestamp)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
};

class TLSessionHistoryInfo : public TLHistoryInfo {
 public:
  static constexpr const char* kClassName = "TLSessionHistoryInfo";

  TLSessionHistoryInfo() = default;
  static std::shared_ptr<TLSessionHistoryInfo> initWithTimestamp(std::optional<platform::Date> timestamp,
                                                                 std::optional<std::string> sessionId);
  static std::shared_ptr<TLSessionHistoryInfo> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLHistoryInfo::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<std::string>, sessionId, setSessionId)
};

class TLUserIdHistoryInfo : public TLHistoryInfo {
 public:
  static constexpr const char* kClassName = "TLUserIdHistoryInfo";

  TLUserIdHistoryInfo() = default;
  static std::shared_ptr<TLUserIdHistoryInfo> initWithTimestamp(std::optional<platform::Date> timestamp,
                                                                std::optional<std::string> userId);
  static std::shared_ptr<TLUserIdHistoryInfo> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLHistoryInfo::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<std::string>, userId, setUserId)
};

class TLDeviceHistoryInfo : public TLHistoryInfo {
 public:
  static constexpr const char* kClassName = "TLDeviceHistoryInfo";

  TLDeviceHistoryInfo() = default;
  static std::shared_ptr<TLDeviceHistoryInfo> initWithTimestamp(std::optional<platform::Date> timestamp,
                                                                std::shared_ptr<TLDevice> device);
  static std::shared_ptr<TLDeviceHistoryInfo> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLHistoryInfo::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::shared_ptr<TLDevice>, device, setDevice)
};

// An auth token and the stretch of time it was current; no token marks time without a signed-in
// user.
class TLAuthTokenInfo : public platform::Coding {
 public:
  static constexpr const char* kClassName = "TLAuthTokenInfo";

  TLAuthTokenInfo() = default;
  static std::shared_ptr<TLAuthTokenInfo> initWithAuthToken(std::optional<std::string> authToken,
                                                            std::optional<std::string> accountId,
                                                            std::optional<platform::Date> startTime,
                                                            std::optional<platform::Date> expiresOn);
  static std::shared_ptr<TLAuthTokenInfo> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  const std::optional<std::string>& authToken() const { return authToken_; }
  const std::optional<std::string>& accountId() const { return accountId_; }
  const std::optional<platform::Date>& startTime() const { return startTime_; }
  const std::optional<platform::Date>& expiresOn() const { return expiresOn_; }

 private:
  std::optional<std::string> authToken_;
  std::optional<std::string> accountId_;
  std::optional<platform::Date> startTime_;
  std::optional<platform::Date> expiresOn_;
};

// The window in which a token may be used; not archived.
class TLAuthTokenValidityInfo {
 public:
  TLAuthTokenValidityInfo(std::optional<std::string> authToken, std::optional<platform::Date> startTime,
                          std::optional<platform::Date> endTime)
      : authToken_(std::move(authToken)), startTime_(startTime), endTime_(endTime) {}
  static std::shared_ptr<TLAuthTokenValidityInfo> initWithAuthToken(std::optional<std::string> authToken,
                                                                    std::optional<platform::Date> startTime,
                                                                    std::optional<platform::Date> endTime) {
    return std::make_shared<TLAuthTokenValidityInfo>(std::move(authToken), startTime, endTime);
  }

  // The end lies strictly before now + 600 s; never without an end.
  bool expiresSoon(platform::Date now = platform::Date::now()) const;

  const std::optional<std::string>& authToken() const { return authToken_; }
  const std::optional<platform::Date>& startTime() const { return startTime_; }
  const std::optional<platform::Date>& endTime() const { return endTime_; }

 private:
  std::optional<std::string> authToken_;
  std::optional<platform::Date> startTime_;
  std::optional<platform::Date> endTime_;
};
