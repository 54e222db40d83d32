#include "TelemetryCrashes/Model/TLException.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kType = "type";
constexpr const char* kMessage = "message";
constexpr const char* kStackTrace = "stackTrace";
constexpr const char* kExceptionFrames = "frames";
constexpr const char* kInnerExceptions = "innerExceptions";
constexpr const char* kWrapperSdkName = "wrapperSdkName";
}  // namespace

std::shared_ptr<TLException> TLException::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto exception = init();
  exception->type_ = coder.decodeStringForKey(kType);
  exception->message_ = coder.decodeStringForKey(kMessage);
  exception->stackTrace_ = coder.decodeStringForKey(kStackTrace);
  exception->frames_ = coder.decodeArrayOfObjectsOfClass<TLStackFrame>(kExceptionFrames);
  exception->innerExceptions_ = coder.decodeArrayOfObjectsOfClass<TLException>(kInnerExceptions);
  exception->wrapperSdkName_ = coder.decodeStringForKey(kWrapperSdkName);
  return exception;
}

nlohmann::ordered_json TLException::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (type_) dictionary[kType] = *type_;
  if (message_) dictionary[kMessage] = *message_;
  if (stackTrace_) dictionary[kStackTrace] = *stackTrace_;
  if (wrapperSdkName_) dictionary[kWrapperSdkName] = *wrapperSdkName_;
  if (frames_) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& frame : *frames_) {
      if (frame) array.push_back(frame->serializeToOrderedJson());
    }
    dictionary[kExceptionFrames] = std::move(array);
  }
  if (innerExceptions_) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& inner : *innerExceptions_) {
      if (inner) array.push_back(inner->serializeToOrderedJson());
    }
    dictionary[kInnerExceptions] = std::move(array);
  }
  return dictionary;
}

bool TLException::isValid() const { return type_ && frames_ && !frames_->empty(); }

bool TLException::isEqual(const TLException& other) const {
  return type_ == other.type_ && wrapperSdkName_ == other.wrapperSdkName_ && message_ == other.message_ &&
         TLRecordArraysEqual(frames_, other.frames_) &&
         TLRecordArraysEqual(innerExceptions_, other.innerExceptions_) && stackTrace_ == other.stackTrace_;
}

void TLException::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(type_, kType);
  coder.encodeObject(message_, kMessage);
  coder.encodeObject(stackTrace_, kStackTrace);
  coder.encodeObject(frames_, kExceptionFrames);
  coder.encodeObject(innerExceptions_, kInnerExceptions);
  coder.encodeObject(wrapperSdkName_, kWrapperSdkName);
}
