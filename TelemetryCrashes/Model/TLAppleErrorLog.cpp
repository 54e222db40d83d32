#include "TelemetryCrashes/Model/TLAppleErrorLog.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kApplePrimaryArchitectureId = "primaryArchitectureId";
constexpr const char* kAppleArchitectureVariantId = "architectureVariantId";
constexpr const char* kApplicationPath = "applicationPath";
constexpr const char* kOsExceptionType = "osExceptionType";
constexpr const char* kOsExceptionCode = "osExceptionCode";
constexpr const char* kOsExceptionAddress = "osExceptionAddress";
constexpr const char* kExceptionType = "exceptionType";
constexpr const char* kExceptionReason = "exceptionReason";
constexpr const char* kSelectorRegisterValue = "selectorRegisterValue";
constexpr const char* kThreads = "threads";
constexpr const char* kBinaries = "binaries";
constexpr const char* kRegisters = "registers";
constexpr const char* kAppleException = "exception";

template <typename T>
nlohmann::ordered_json recordArray(const std::vector<std::shared_ptr<T>>& records) {
  auto array = nlohmann::ordered_json::array();
  for (const auto& record : records) {
    if (record) array.push_back(record->serializeToOrderedJson());
  }
  return array;
}
}  // namespace

std::shared_ptr<TLAppleErrorLog> TLAppleErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->primaryArchitectureId_ = TLDecodeInteger(coder, kApplePrimaryArchitectureId);
  log->architectureVariantId_ = TLDecodeInteger(coder, kAppleArchitectureVariantId);
  log->applicationPath_ = coder.decodeStringForKey(kApplicationPath);
  log->osExceptionType_ = coder.decodeStringForKey(kOsExceptionType);
  log->osExceptionCode_ = coder.decodeStringForKey(kOsExceptionCode);
  log->osExceptionAddress_ = coder.decodeStringForKey(kOsExceptionAddress);
  log->exceptionType_ = coder.decodeStringForKey(kExceptionType);
  log->exceptionReason_ = coder.decodeStringForKey(kExceptionReason);
  log->selectorRegisterValue_ = coder.decodeStringForKey(kSelectorRegisterValue);
  log->threads_ = coder.decodeArrayOfObjectsOfClass<TLThread>(kThreads);
  log->binaries_ = coder.decodeArrayOfObjectsOfClass<TLBinary>(kBinaries);
  if (auto registers = coder.decodeDictionaryForKey(kRegisters)) {
    std::map<std::string, std::string> values;
    for (const auto& [name, value] : *registers) {
      const std::string* text = value.asString();
      if (!text) throw platform::DecodingError("registers hold a value that is not a string");
      values.emplace(name, *text);
    }
    log->registers_ = std::move(values);
  }
  log->exception_ = coder.decodeObjectOfClass<TLException>(kAppleException);
  return log;
}

nlohmann::ordered_json TLAppleErrorLog::serializeToOrderedJson() const {
  auto dictionary = TLAbstractErrorLog::serializeToOrderedJson();
  if (primaryArchitectureId_) dictionary[kApplePrimaryArchitectureId] = *primaryArchitectureId_;
  if (architectureVariantId_) dictionary[kAppleArchitectureVariantId] = *architectureVariantId_;
  if (applicationPath_) dictionary[kApplicationPath] = *applicationPath_;
  if (osExceptionType_) dictionary[kOsExceptionType] = *osExceptionType_;
  if (osExceptionCode_) dictionary[kOsExceptionCode] = *osExceptionCode_;
  if (osExceptionAddress_) dictionary[kOsExceptionAddress] = *osExceptionAddress_;
  if (exceptionType_) dictionary[kExceptionType] = *exceptionType_;
  if (exceptionReason_) dictionary[kExceptionReason] = *exceptionReason_;
  if (selectorRegisterValue_) dictionary[kSelectorRegisterValue] = *selectorRegisterValue_;
  if (threads_) dictionary[kThreads] = recordArray(*threads_);
  if (binaries_) dictionary[kBinaries] = recordArray(*binaries_);
  if (registers_) dictionary[kRegisters] = *registers_;
  if (exception_) dictionary[kAppleException] = exception_->serializeToOrderedJson();
  return dictionary;
}

bool TLAppleErrorLog::isValid() const {
  return TLAbstractErrorLog::isValid() && primaryArchitectureId_ && applicationPath_ && osExceptionType_ &&
         osExceptionCode_ && osExceptionAddress_;
}

bool TLAppleErrorLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLAppleErrorLog*>(&other);
  return log && TLAbstractErrorLog::isEqual(other) && primaryArchitectureId_ == log->primaryArchitectureId_ &&
         architectureVariantId_ == log->architectureVariantId_ && applicationPath_ == log->applicationPath_ &&
         osExceptionType_ == log->osExceptionType_ && osExceptionCode_ == log->osExceptionCode_ &&
         osExceptionAddress_ == log->osExceptionAddress_ && exceptionType_ == log->exceptionType_ &&
         exceptionReason_ == log->exceptionReason_ && selectorRegisterValue_ == log->selectorRegisterValue_ &&
         TLRecordArraysEqual(threads_, log->threads_) && TLRecordArraysEqual(binaries_, log->binaries_) &&
         registers_ == log->registers_ && TLRecordsEqual(exception_, log->exception_);
}

void TLAppleErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractErrorLog::encodeWithCoder(coder);
  coder.encodeObject(primaryArchitectureId_, kApplePrimaryArchitectureId);
  coder.encodeObject(architectureVariantId_, kAppleArchitectureVariantId);
  coder.encodeObject(applicationPath_, kApplicationPath);
  coder.encodeObject(osExceptionType_, kOsExceptionType);
  coder.encodeObject(osExceptionCode_, kOsExceptionCode);
  coder.encodeObject(osExceptionAddress_, kOsExceptionAddress);
  coder.encodeObject(exceptionType_, kExceptionType);
  coder.encodeObject(exceptionReason_, kExceptionReason);
  coder.encodeObject(selectorRegisterValue_, kSelectorRegisterValue);
  coder.encodeObject(threads_, kThreads);
  coder.encodeObject(binaries_, kBinaries);
  if (registers_) {
    platform::ArchiveObject::Dictionary dictionary;
    for (const auto& [name, value] : *registers_) dictionary.emplace(name, value);
    coder.encodeObject(platform::ArchiveObject(std::move(dictionary)), kRegisters);
  } else {
    coder.encodeObject(platform::ArchiveObject(), kRegisters);
  }
  coder.encodeObject(exception_, kAppleException);
}
