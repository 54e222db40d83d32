#include "TelemetryCrashes/Model/TLHandledErrorLog.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kId = "id";
constexpr const char* kException = "exception";
}  // namespace

std::shared_ptr<TLHandledErrorLog> TLHandledErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->errorId_ = coder.decodeStringForKey(kId);
  log->exception_ = coder.decodeObjectOfClass<TLException>(kException);
  return log;
}

nlohmann::ordered_json TLHandledErrorLog::serializeToOrderedJson() const {
  nlohmann::ordered_json dictionary = TLLogWithProperties::serializeToDictionary();
  if (errorId_) dictionary[kId] = *errorId_;
  if (exception_) dictionary[kException] = exception_->serializeToOrderedJson();
  return dictionary;
}

bool TLHandledErrorLog::isValid() const { return TLLogWithProperties::isValid() && errorId_ && exception_; }

bool TLHandledErrorLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLHandledErrorLog*>(&other);
  return log && TLLogWithProperties::isEqual(other) && errorId_ == log->errorId_ &&
         TLRecordsEqual(exception_, log->exception_);
}

void TLHandledErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId_, kId);
  coder.encodeObject(exception_, kException);
}
