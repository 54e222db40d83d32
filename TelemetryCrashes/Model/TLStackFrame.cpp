#include "TelemetryCrashes/Model/TLStackFrame.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kAddress = "address";
constexpr const char* kCode = "code";
constexpr const char* kClassNameKey = "className";
constexpr const char* kMethodName = "methodName";
constexpr const char* kLineNumber = "lineNumber";
constexpr const char* kFrameFileName = "fileName";
}  // namespace

std::shared_ptr<TLStackFrame> TLStackFrame::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto frame = init();
  frame->address_ = coder.decodeStringForKey(kAddress);
  frame->code_ = coder.decodeStringForKey(kCode);
  frame->className_ = coder.decodeStringForKey(kClassNameKey);
  frame->methodName_ = coder.decodeStringForKey(kMethodName);
  frame->lineNumber_ = TLDecodeInteger(coder, kLineNumber);
  frame->fileName_ = coder.decodeStringForKey(kFrameFileName);
  return frame;
}

nlohmann::ordered_json TLStackFrame::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (address_) dictionary[kAddress] = *address_;
  if (code_) dictionary[kCode] = *code_;
  if (className_) dictionary[kClassNameKey] = *className_;
  if (methodName_) dictionary[kMethodName] = *methodName_;
  if (lineNumber_) dictionary[kLineNumber] = *lineNumber_;
  if (fileName_) dictionary[kFrameFileName] = *fileName_;
  return dictionary;
}

bool TLStackFrame::isEqual(const TLStackFrame& other) const {
  return address_ == other.address_ && code_ == other.code_ && className_ == other.className_ &&
         methodName_ == other.methodName_ && lineNumber_ == other.lineNumber_ && fileName_ == other.fileName_;
}

void TLStackFrame::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(address_, kAddress);
  coder.encodeObject(code_, kCode);
  coder.encodeObject(className_, kClassNameKey);
  coder.encodeObject(methodName_, kMethodName);
  coder.encodeObject(lineNumber_, kLineNumber);
  coder.encodeObject(fileName_, kFrameFileName);
}
