#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "TelemetryCrashes/Model/TLException.h"

// An exception record handed over by a wrapper SDK: the exception of its own runtime and the process
// that saved it.
class TLWrapperException : public platform::Coding {
 public:
  static constexpr const char* kClassName = "TLWrapperException";

  static std::shared_ptr<TLWrapperException> init() { return std::make_shared<TLWrapperException>(); }
  static std::shared_ptr<TLWrapperException> initWithCoder(platform::KeyedUnarchiver& coder);
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<std::int64_t>, processId, setProcessId)
  TL_PROPERTY(std::shared_ptr<TLException>, modelException, setModelException)
};
