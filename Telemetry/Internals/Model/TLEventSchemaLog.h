#pragma once

#include <cstdint>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLCSData.h"
#include "Telemetry/Internals/Model/TLCSExtensions.h"
#include "Telemetry/Internals/Model/TLOrderedDictionary.h"

// A log in the Event Schema form, sent to the Event Collector as one JSON line. Made by converting
// an ordinary log for one transmission target; travels through the pipeline like any log, but its
// JSON form is its own and keeps its member order.
class TLEventSchemaLog : public TLAbstractLog {
 public:
  static constexpr const char* kClassName = "TLEventSchemaLog";

  TLEventSchemaLog() = default;
  static std::shared_ptr<TLEventSchemaLog> init() { return std::make_shared<TLEventSchemaLog>(); }
  static std::shared_ptr<TLEventSchemaLog> initWithCoder(platform::KeyedUnarchiver& coder);

  // "ver", "name", "time", "iKey", "flags" (when not 0), "ext", "data", in this order, each when
  // present. No member of the base log is written.
  TLOrderedDictionary serializeToOrderedDictionary() const;
  nlohmann::ordered_json serializeToOrderedJson() const override;
  // The same members as a plain JSON object.
  nlohmann::json serializeToDictionary() const override;
  // Time stamp, ver and name present.
  bool isValid() const override;
  // Another Event Schema log, equal as a base log and in every field.
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, ver, setVer)
  TL_PROPERTY(String, name, setName)
  // Kept in the archive only.
  TL_PROPERTY(double, popSample, setPopSample)
  TL_PROPERTY(String, iKey, setIKey)
  TL_PROPERTY(std::int64_t, flags, setFlags)
  // Kept in the archive only.
  TL_PROPERTY(String, cV, setCV)
  TL_PROPERTY(std::shared_ptr<TLCSExtensions>, ext, setExt)
  TL_PROPERTY(std::shared_ptr<TLCSData>, data, setData)
};
