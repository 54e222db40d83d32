#include "TelemetryCrashes/Model/TLHandledErrorLog.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kHandledErrorId = "id";
constexpr const char* kHandledErrorException = "exception";
}  // namespace

std::shared_ptr<TLHandledErrorLog> TLHandledErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->errorId_ = coder.decodeStringForKey(kHandledErrorId);
  log->exception_ = coder.decodeObjectOfClass<TLException>(kHandledErrorException);
  return log;
}

nlohmann::ordered_json TLHandledErrorLog::serializeToOrderedJson() const {
  nlohmann::ordered_json dictionary = TLLogWithProperties::serializeToDictionary();
  if (errorId_) dictionary[kHandledErrorId] = *errorId_;
  if (exception_) dictionary[kHandledErrorException] = exception_->serializeToOrderedJson();
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
  coder.encodeObject(errorId_, kHandledErrorId);
  coder.encodeObject(exception_, kHandledErrorException);
}
