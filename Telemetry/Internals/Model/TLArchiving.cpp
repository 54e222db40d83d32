#include "Telemetry/Internals/Model/TLArchiving.h"

#include <mutex>

#include "Telemetry/Internals/Context/TLHistoryInfo.h"
#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLCustomPropertiesLog.h"
#include "Telemetry/Internals/Model/TLDevice.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Model/TLLogWithProperties.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Model/TLTypedProperty.h"
#include "Telemetry/Internals/Model/TLWrapperSdk.h"
#include "platform/KeyedArchiver.h"

void TLRegisterArchivedClasses(platform::ClassRegistry& registry) {
  registry.registerClass<TLWrapperSdk>(TLWrapperSdk::kClassName);
  registry.registerClass<TLDevice>(TLDevice::kClassName);
  registry.registerClass<TLAbstractLog>(TLAbstractLog::kClassName);
  registry.registerClass<TLLogWithProperties>(TLLogWithProperties::kClassName);
  registry.registerClass<TLStartServiceLog>(TLStartServiceLog::kClassName);
  registry.registerClass<TLCustomPropertiesLog>(TLCustomPropertiesLog::kClassName);
  registry.registerClass<TLStringTypedProperty>(TLStringTypedProperty::kClassName);
  registry.registerClass<TLBooleanTypedProperty>(TLBooleanTypedProperty::kClassName);
  registry.registerClass<TLLongTypedProperty>(TLLongTypedProperty::kClassName);
  registry.registerClass<TLDoubleTypedProperty>(TLDoubleTypedProperty::kClassName);
  registry.registerClass<TLDateTimeTypedProperty>(TLDateTimeTypedProperty::kClassName);
  registry.registerClass<TLEventSchemaLog>(TLEventSchemaLog::kClassName);
  registry.registerClass<TLCSExtensions>(TLCSExtensions::kClassName);
  registry.registerClass<TLMetadataExtension>(TLMetadataExtension::kClassName);
  registry.registerClass<TLProtocolExtension>(TLProtocolExtension::kClassName);
  registry.registerClass<TLUserExtension>(TLUserExtension::kClassName);
  registry.registerClass<TLDeviceExtension>(TLDeviceExtension::kClassName);
  registry.registerClass<TLOSExtension>(TLOSExtension::kClassName);
  registry.registerClass<TLAppExtension>(TLAppExtension::kClassName);
  registry.registerClass<TLNetExtension>(TLNetExtension::kClassName);
  registry.registerClass<TLSDKExtension>(TLSDKExtension::kClassName);
  registry.registerClass<TLLocExtension>(TLLocExtension::kClassName);
  registry.registerClass<TLCSData>(TLCSData::kClassName);
  registry.registerClass<TLHistoryInfo>(TLHistoryInfo::kClassName);
  registry.registerClass<TLSessionHistoryInfo>(TLSessionHistoryInfo::kClassName);
  registry.registerClass<TLUserIdHistoryInfo>(TLUserIdHistoryInfo::kClassName);
  registry.registerClass<TLDeviceHistoryInfo>(TLDeviceHistoryInfo::kClassName);
  registry.registerClass<TLAuthTokenInfo>(TLAuthTokenInfo::kClassName);
}

platform::ClassRegistry& TLClassRegistry() {
  static std::once_flag once;
  std::call_once(once, [] { TLRegisterArchivedClasses(platform::ClassRegistry::shared()); });
  return platform::ClassRegistry::shared();
}

platform::Data TLArchivedData(const platform::ArchiveObject& root) {
  return platform::KeyedArchiver::archivedDataWithRootObject(root);
}

platform::ArchiveObject TLUnarchivedObject(const platform::Data& data) {
  return platform::KeyedUnarchiver::unarchiveTopLevelObjectWithData(data, nullptr, TLClassRegistry());
}
