#include "TelemetryCrashes/Model/TLAbstractErrorLog.h"

#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kErrorLogId = "id";
constexpr const char* kErrorLogProcessId = "processId";
constexpr const char* kProcessName = "processName";
constexpr const char* kParentProcessId = "parentProcessId";
constexpr const char* kParentProcessName = "parentProcessName";
constexpr const char* kErrorThreadId = "errorThreadId";
constexpr const char* kErrorThreadName = "errorThreadName";
constexpr const char* kFatal = "fatal";
constexpr const char* kAppLaunchTimestamp = "appLaunchTimestamp";
constexpr const char* kErrorLogArchitecture = "architecture";
}  // namespace

std::shared_ptr<TLAbstractErrorLog> TLAbstractErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

nlohmann::ordered_json TLAbstractErrorLog::serializeToOrderedJson() const {
  nlohmann::ordered_json dictionary = TLLogWithProperties::serializeToDictionary();
  if (errorId_) dictionary[kErrorLogId] = *errorId_;
  if (processId_) dictionary[kErrorLogProcessId] = *processId_;
  if (processName_) dictionary[kProcessName] = *processName_;
  if (parentProcessId_) dictionary[kParentProcessId] = *parentProcessId_;
  if (parentProcessName_) dictionary[kParentProcessName] = *parentProcessName_;
  if (errorThreadId_) dictionary[kErrorThreadId] = *errorThreadId_;
  if (errorThreadName_) dictionary[kErrorThreadName] = *errorThreadName_;
  dictionary[kFatal] = fatal_;
  if (appLaunchTimestamp_) dictionary[kAppLaunchTimestamp] = TLUtility::dateToISO8601(*appLaunchTimestamp_);
  if (architecture_) dictionary[kErrorLogArchitecture] = *architecture_;
  return dictionary;
}

bool TLAbstractErrorLog::isValid() const {
  return TLLogWithProperties::isValid() && errorId_ && processId_ && processName_;
}

bool TLAbstractErrorLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLAbstractErrorLog*>(&other);
  return log && TLLogWithProperties::isEqual(other) && errorId_ == log->errorId_ &&
         processId_ == log->processId_ && processName_ == log->processName_ &&
         parentProcessId_ == log->parentProcessId_ && parentProcessName_ == log->parentProcessName_ &&
         errorThreadId_ == log->errorThreadId_ && errorThreadName_ == log->errorThreadName_ &&
         fatal_ == log->fatal_ && appLaunchTimestamp_ == log->appLaunchTimestamp_ &&
         architecture_ == log->architecture_;
}

void TLAbstractErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId_, kErrorLogId);
  coder.encodeObject(processId_, kErrorLogProcessId);
  coder.encodeObject(processName_, kProcessName);
  coder.encodeObject(parentProcessId_, kParentProcessId);
  coder.encodeObject(parentProcessName_, kParentProcessName);
  coder.encodeObject(errorThreadId_, kErrorThreadId);
  coder.encodeObject(errorThreadName_, kErrorThreadName);
  coder.encodeBool(fatal_, kFatal);
  coder.encodeObject(appLaunchTimestamp_, kAppLaunchTimestamp);
  coder.encodeObject(architecture_, kErrorLogArchitecture);
}

void TLAbstractErrorLog::decodeFields(platform::KeyedUnarchiver& coder) {
  TLLogWithProperties::decodeFields(coder);
  errorId_ = coder.decodeStringForKey(kErrorLogId);
  processId_ = TLDecodeInteger(coder, kErrorLogProcessId);
  processName_ = coder.decodeStringForKey(kProcessName);
  parentProcessId_ = TLDecodeInteger(coder, kParentProcessId);
  parentProcessName_ = coder.decodeStringForKey(kParentProcessName);
  errorThreadId_ = TLDecodeInteger(coder, kErrorThreadId);
  errorThreadName_ = coder.decodeStringForKey(kErrorThreadName);
  fatal_ = coder.decodeBoolForKey(kFatal);
  appLaunchTimestamp_ = coder.decodeDateForKey(kAppLaunchTimestamp);
  architecture_ = coder.decodeStringForKey(kErrorLogArchitecture);
}
