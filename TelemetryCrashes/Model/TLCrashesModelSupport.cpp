#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"

#include <mutex>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperException.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "TelemetryCrashes/Model/TLHandledErrorLog.h"

void TLCrashesRegisterArchivedClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::ClassRegistry& registry = TLClassRegistry();
    registry.registerClass<TLStackFrame>(TLStackFrame::kClassName);
    registry.registerClass<TLException>(TLException::kClassName);
    registry.registerClass<TLThread>(TLThread::kClassName);
    registry.registerClass<TLBinary>(TLBinary::kClassName);
    registry.registerClass<TLAbstractErrorLog>(TLAbstractErrorLog::kClassName);
    registry.registerClass<TLAppleErrorLog>(TLAppleErrorLog::kClassName);
    registry.registerClass<TLHandledErrorLog>(TLHandledErrorLog::kClassName);
    registry.registerClass<TLErrorAttachmentLog>(TLErrorAttachmentLog::kClassName);
    registry.registerClass<TLWrapperException>(TLWrapperException::kClassName);
  });
}
