#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "TelemetryCrashes/Model/TLException.h"
#include "TelemetryCrashes/Model/TLStackFrame.h"

// One thread of a crash: its id, name, frames and, on the crashed thread, the exception.
class TLThread : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLThread";
  using Frames = std::vector<std::shared_ptr<TLStackFrame>>;

  // A new thread starts with an empty frame list.
  static std::shared_ptr<TLThread> init() { return std::make_shared<TLThread>(); }
  static std::shared_ptr<TLThread> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const;
  // An id and at least one frame.
  bool isValid() const override;
  bool isEqual(const TLThread& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<std::int64_t>, threadId, setThreadId)
  TL_PROPERTY(std::optional<std::string>, name, setName)
  TL_PROPERTY(std::optional<Frames>, frames, setFrames)
  TL_PROPERTY(std::shared_ptr<TLException>, exception, setException)

 public:
  TLThread() { frames_ = Frames(); }
};
