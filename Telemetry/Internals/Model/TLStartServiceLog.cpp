#include "Telemetry/Internals/Model/TLStartServiceLog.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kServices = "services";
}  // namespace

std::shared_ptr<TLStartServiceLog> TLStartServiceLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  auto array = coder.decodeArrayForKey(kServices);
  if (array) {
    std::vector<std::string> services;
    for (const auto& item : *array) {
      const std::string* name = item.asString();
      if (!name) throw platform::DecodingError("services hold a value that is not a string");
      services.push_back(*name);
    }
    log->services_ = std::move(services);
  }
  return log;
}

nlohmann::json TLStartServiceLog::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (services_) dictionary[kServices] = *services_;
  return dictionary;
}

bool TLStartServiceLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLStartServiceLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && services_ == log->services_;
}

void TLStartServiceLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(services_, kServices);
}
