#include "Telemetry/Internals/Model/TLEventSchemaLog.h"

#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kVer = "ver";
constexpr const char* kName = "name";
constexpr const char* kTime = "time";
constexpr const char* kPopSample = "popSample";
constexpr const char* kIKey = "iKey";
constexpr const char* kFlags = "flags";
constexpr const char* kCV = "cV";
constexpr const char* kExt = "ext";
constexpr const char* kData = "data";
}  // namespace

std::shared_ptr<TLEventSchemaLog> TLEventSchemaLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->ver_ = coder.decodeStringForKey(kVer);
  log->name_ = coder.decodeStringForKey(kName);
  log->popSample_ = coder.decodeDoubleForKey(kPopSample);
  log->iKey_ = coder.decodeStringForKey(kIKey);
  log->flags_ = coder.decodeInt64ForKey(kFlags);
  log->cV_ = coder.decodeStringForKey(kCV);
  log->ext_ = coder.decodeObjectOfClass<TLCSExtensions>(kExt);
  log->data_ = coder.decodeObjectOfClass<TLCSData>(kData);
  return log;
}

TLOrderedDictionary TLEventSchemaLog::serializeToOrderedDictionary() const {
  TLOrderedDictionary dictionary(7);
  if (ver_) dictionary.setObject(*ver_, kVer);
  if (name_) dictionary.setObject(*name_, kName);
  if (timestamp()) dictionary.setObject(TLUtility::dateToISO8601(*timestamp()), kTime);
  if (iKey_) dictionary.setObject(*iKey_, kIKey);
  if (flags_ != 0) dictionary.setObject(flags_, kFlags);
  if (ext_) dictionary.setObject(ext_->serializeToDictionary(), kExt);
  if (data_) {
    if (auto data = data_->serializeToOrderedDictionary()) dictionary.setObject(data->toJson(), kData);
  }
  return dictionary;
}

nlohmann::ordered_json TLEventSchemaLog::serializeToOrderedJson() const {
  return serializeToOrderedDictionary().toJson();
}

nlohmann::json TLEventSchemaLog::serializeToDictionary() const { return serializeToOrderedJson(); }

bool TLEventSchemaLog::isValid() const { return timestamp() && ver_ && name_; }

bool TLEventSchemaLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLEventSchemaLog*>(&other);
  if (!log || !TLAbstractLog::isEqual(other)) return false;
  if (ver_ != log->ver_ || name_ != log->name_ || popSample_ != log->popSample_ || iKey_ != log->iKey_ ||
      flags_ != log->flags_ || cV_ != log->cV_)
    return false;
  return TLSamePart(ext_, log->ext_) && TLSamePart(data_, log->data_);
}

void TLEventSchemaLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(ver_, kVer);
  coder.encodeObject(name_, kName);
  coder.encodeDouble(popSample_, kPopSample);
  coder.encodeObject(iKey_, kIKey);
  coder.encodeInt64(flags_, kFlags);
  coder.encodeObject(cV_, kCV);
  coder.encodeObject(ext_, kExt);
  coder.encodeObject(data_, kData);
}
