#include "TelemetryCrashes/Internals/Util/TLWrapperException.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kWrapperProcessId = "processId";
constexpr const char* kModelException = "modelException";
}  // namespace

std::shared_ptr<TLWrapperException> TLWrapperException::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto exception = init();
  exception->processId_ = TLDecodeInteger(coder, kWrapperProcessId);
  exception->modelException_ = coder.decodeObjectOfClass<TLException>(kModelException);
  return exception;
}

void TLWrapperException::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(processId_, kWrapperProcessId);
  coder.encodeObject(modelException_, kModelException);
}
