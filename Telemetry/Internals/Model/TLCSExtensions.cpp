#include "Telemetry/Internals/Model/TLCSExtensions.h"

#include "platform/KeyedArchiver.h"

namespace {

constexpr const char* kMetadata = "metadata";
constexpr const char* kProtocol = "protocol";
constexpr const char* kUser = "user";
constexpr const char* kDevice = "device";
constexpr const char* kOs = "os";
constexpr const char* kApp = "app";
constexpr const char* kNet = "net";
constexpr const char* kSdk = "sdk";
constexpr const char* kLoc = "loc";

template <typename Part>
void put(nlohmann::json& dictionary, const char* key, const std::shared_ptr<Part>& part) {
  if (!part) return;
  auto value = part->serializeToDictionary();
  if (!value.is_null()) dictionary[key] = std::move(value);
}

}  // namespace

std::shared_ptr<TLCSExtensions> TLCSExtensions::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extensions = init();
  extensions->metadataExt_ = coder.decodeObjectOfClass<TLMetadataExtension>(kMetadata);
  extensions->protocolExt_ = coder.decodeObjectOfClass<TLProtocolExtension>(kProtocol);
  extensions->userExt_ = coder.decodeObjectOfClass<TLUserExtension>(kUser);
  extensions->deviceExt_ = coder.decodeObjectOfClass<TLDeviceExtension>(kDevice);
  extensions->osExt_ = coder.decodeObjectOfClass<TLOSExtension>(kOs);
  extensions->appExt_ = coder.decodeObjectOfClass<TLAppExtension>(kApp);
  extensions->netExt_ = coder.decodeObjectOfClass<TLNetExtension>(kNet);
  extensions->sdkExt_ = coder.decodeObjectOfClass<TLSDKExtension>(kSdk);
  extensions->locExt_ = coder.decodeObjectOfClass<TLLocExtension>(kLoc);
  return extensions;
}

nlohmann::json TLCSExtensions::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kMetadata, metadataExt_);
  put(dictionary, kProtocol, protocolExt_);
  put(dictionary, kUser, userExt_);
  put(dictionary, kDevice, deviceExt_);
  put(dictionary, kOs, osExt_);
  put(dictionary, kApp, appExt_);
  put(dictionary, kNet, netExt_);
  put(dictionary, kSdk, sdkExt_);
  put(dictionary, kLoc, locExt_);
  return dictionary;
}

bool TLCSExtensions::isValid() const {
  const TLModel* parts[] = {metadataExt_.get(), protocolExt_.get(), userExt_.get(),
                            deviceExt_.get(),   osExt_.get(),       appExt_.get(),
                            netExt_.get(),      sdkExt_.get(),      locExt_.get()};
  for (const TLModel* part : parts)
    if (part && !part->isValid()) return false;
  return true;
}

bool TLCSExtensions::isEqual(const TLCSExtensions& other) const {
  return TLSamePart(metadataExt_, other.metadataExt_) && TLSamePart(protocolExt_, other.protocolExt_) &&
         TLSamePart(userExt_, other.userExt_) && TLSamePart(deviceExt_, other.deviceExt_) &&
         TLSamePart(osExt_, other.osExt_) && TLSamePart(appExt_, other.appExt_) &&
         TLSamePart(netExt_, other.netExt_) && TLSamePart(sdkExt_, other.sdkExt_) &&
         TLSamePart(locExt_, other.locExt_);
}

void TLCSExtensions::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(metadataExt_, kMetadata);
  coder.encodeObject(protocolExt_, kProtocol);
  coder.encodeObject(userExt_, kUser);
  coder.encodeObject(deviceExt_, kDevice);
  coder.encodeObject(osExt_, kOs);
  coder.encodeObject(appExt_, kApp);
  coder.encodeObject(netExt_, kNet);
  coder.encodeObject(sdkExt_, kSdk);
  coder.encodeObject(locExt_, kLoc);
}
