#include "Telemetry/Internals/Model/TLCSExtensionParts.h"

#include "platform/KeyedArchiver.h"

namespace {

constexpr const char* kTicketKeys = "ticketKeys";
constexpr const char* kDevMake = "devMake";
constexpr const char* kDevModel = "devModel";
constexpr const char* kLocalId = "localId";
constexpr const char* kLocale = "locale";
constexpr const char* kName = "name";
constexpr const char* kVer = "ver";
constexpr const char* kId = "id";
constexpr const char* kUserId = "userId";
constexpr const char* kProvider = "provider";
constexpr const char* kLibVer = "libVer";
constexpr const char* kEpoch = "epoch";
constexpr const char* kSeq = "seq";
constexpr const char* kInstallId = "installId";
constexpr const char* kTz = "tz";

void put(nlohmann::json& dictionary, const char* key, const std::optional<std::string>& value) {
  if (value) dictionary[key] = *value;
}

// The dictionary, or null when no field was written.
nlohmann::json nothingWhenEmpty(nlohmann::json dictionary) {
  return dictionary.empty() ? nlohmann::json() : dictionary;
}

}  // namespace

// ---- Metadata ----

std::shared_ptr<TLMetadataExtension> TLMetadataExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->metadata_.decode(coder);
  return extension;
}

nlohmann::json TLMetadataExtension::serializeToDictionary() const {
  auto metadata = this->metadata();
  if (!metadata) return nullptr;
  return *metadata;
}

bool TLMetadataExtension::isEqual(const TLMetadataExtension& other) const {
  return metadata_.isEqual(other.metadata_);
}

void TLMetadataExtension::encodeWithCoder(platform::KeyedArchiver& coder) const { metadata_.encode(coder); }

// ---- Protocol ----

std::shared_ptr<TLProtocolExtension> TLProtocolExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  if (auto array = coder.decodeArrayForKey(kTicketKeys)) {
    std::vector<std::string> keys;
    for (const auto& item : *array) {
      const std::string* key = item.asString();
      if (!key) throw platform::DecodingError("ticket keys hold a value that is not a string");
      keys.push_back(*key);
    }
    extension->ticketKeys_ = std::move(keys);
  }
  extension->devMake_ = coder.decodeStringForKey(kDevMake);
  extension->devModel_ = coder.decodeStringForKey(kDevModel);
  return extension;
}

nlohmann::json TLProtocolExtension::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  if (ticketKeys_) dictionary[kTicketKeys] = *ticketKeys_;
  put(dictionary, kDevMake, devMake_);
  put(dictionary, kDevModel, devModel_);
  return nothingWhenEmpty(std::move(dictionary));
}

bool TLProtocolExtension::isEqual(const TLProtocolExtension& other) const {
  return ticketKeys_ == other.ticketKeys_ && devMake_ == other.devMake_ && devModel_ == other.devModel_;
}

void TLProtocolExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(ticketKeys_ ? platform::ArchiveObject(*ticketKeys_) : platform::ArchiveObject(),
                     kTicketKeys);
  coder.encodeObject(devMake_, kDevMake);
  coder.encodeObject(devModel_, kDevModel);
}

// ---- User ----

std::shared_ptr<TLUserExtension> TLUserExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->localId_ = coder.decodeStringForKey(kLocalId);
  extension->locale_ = coder.decodeStringForKey(kLocale);
  return extension;
}

nlohmann::json TLUserExtension::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kLocalId, localId_);
  put(dictionary, kLocale, locale_);
  return nothingWhenEmpty(std::move(dictionary));
}

bool TLUserExtension::isEqual(const TLUserExtension& other) const {
  return localId_ == other.localId_ && locale_ == other.locale_;
}

void TLUserExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(localId_, kLocalId);
  coder.encodeObject(locale_, kLocale);
}

// ---- Device ----

std::shared_ptr<TLDeviceExtension> TLDeviceExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->localId_ = coder.decodeStringForKey(kLocalId);
  return extension;
}

nlohmann::json TLDeviceExtension::serializeToDictionary() const {
  if (!localId_) return nullptr;
  return {{kLocalId, *localId_}};
}

bool TLDeviceExtension::isEqual(const TLDeviceExtension& other) const { return localId_ == other.localId_; }

void TLDeviceExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(localId_, kLocalId);
}

// ---- Operating system ----

std::shared_ptr<TLOSExtension> TLOSExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->name_ = coder.decodeStringForKey(kName);
  extension->ver_ = coder.decodeStringForKey(kVer);
  return extension;
}

nlohmann::json TLOSExtension::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kName, name_);
  put(dictionary, kVer, ver_);
  return nothingWhenEmpty(std::move(dictionary));
}

bool TLOSExtension::isEqual(const TLOSExtension& other) const {
  return name_ == other.name_ && ver_ == other.ver_;
}

void TLOSExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(name_, kName);
  coder.encodeObject(ver_, kVer);
}

// ---- Application ----

std::shared_ptr<TLAppExtension> TLAppExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->appId_ = coder.decodeStringForKey(kId);
  extension->ver_ = coder.decodeStringForKey(kVer);
  extension->name_ = coder.decodeStringForKey(kName);
  extension->locale_ = coder.decodeStringForKey(kLocale);
  extension->userId_ = coder.decodeStringForKey(kUserId);
  return extension;
}

nlohmann::json TLAppExtension::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kId, appId_);
  put(dictionary, kVer, ver_);
  put(dictionary, kName, name_);
  put(dictionary, kLocale, locale_);
  put(dictionary, kUserId, userId_);
  return nothingWhenEmpty(std::move(dictionary));
}

bool TLAppExtension::isEqual(const TLAppExtension& other) const {
  return appId_ == other.appId_ && ver_ == other.ver_ && name_ == other.name_ && locale_ == other.locale_ &&
         userId_ == other.userId_;
}

void TLAppExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(appId_, kId);
  coder.encodeObject(ver_, kVer);
  coder.encodeObject(name_, kName);
  coder.encodeObject(locale_, kLocale);
  coder.encodeObject(userId_, kUserId);
}

// ---- Network ----

std::shared_ptr<TLNetExtension> TLNetExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->provider_ = coder.decodeStringForKey(kProvider);
  return extension;
}

nlohmann::json TLNetExtension::serializeToDictionary() const {
  if (!provider_) return nullptr;
  return {{kProvider, *provider_}};
}

bool TLNetExtension::isEqual(const TLNetExtension& other) const { return provider_ == other.provider_; }

void TLNetExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(provider_, kProvider);
}

// ---- SDK ----

std::shared_ptr<TLSDKExtension> TLSDKExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->libVer_ = coder.decodeStringForKey(kLibVer);
  extension->epoch_ = coder.decodeStringForKey(kEpoch);
  extension->seq_ = coder.decodeInt64ForKey(kSeq);
  extension->installId_ = coder.decodeUUIDForKey(kInstallId);
  return extension;
}

nlohmann::json TLSDKExtension::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kLibVer, libVer_);
  put(dictionary, kEpoch, epoch_);
  if (installId_) dictionary[kInstallId] = installId_->UUIDString();
  if (seq_ != 0) dictionary[kSeq] = seq_;
  return nothingWhenEmpty(std::move(dictionary));
}

bool TLSDKExtension::isEqual(const TLSDKExtension& other) const {
  return libVer_ == other.libVer_ && epoch_ == other.epoch_ && seq_ == other.seq_ &&
         installId_ == other.installId_;
}

void TLSDKExtension::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(libVer_, kLibVer);
  coder.encodeObject(epoch_, kEpoch);
  coder.encodeInt64(seq_, kSeq);
  coder.encodeObject(installId_, kInstallId);
}

// ---- Location ----

std::shared_ptr<TLLocExtension> TLLocExtension::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto extension = init();
  extension->tz_ = coder.decodeStringForKey(kTz);
  return extension;
}

nlohmann::json TLLocExtension::serializeToDictionary() const {
  if (!tz_) return nullptr;
  return {{kTz, *tz_}};
}

bool TLLocExtension::isEqual(const TLLocExtension& other) const { return tz_ == other.tz_; }

void TLLocExtension::encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeObject(tz_, kTz); }
