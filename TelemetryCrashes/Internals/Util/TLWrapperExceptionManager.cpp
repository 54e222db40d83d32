#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"

#include <map>
#include <mutex>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryCrashes/Internals/Util/TLCrashesUtil.h"
#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kExceptionManagerTag = "TelemetryCrashes";

std::mutex g_cacheMutex;
std::map<std::string, std::shared_ptr<TLWrapperException>>& cache() {
  static auto* entries = new std::map<std::string, std::shared_ptr<TLWrapperException>>();
  return *entries;
}

std::string pathComponent(const std::string& name) {
  return TLCrashesUtil::wrapperExceptionsDir() + "/" + name;
}
}  // namespace

void TLWrapperExceptionManager::saveWrapperException(const std::shared_ptr<TLWrapperException>& exception) {
  saveWrapperException(exception, kLastSavedFilename);
}

void TLWrapperExceptionManager::saveWrapperException(const std::shared_ptr<TLWrapperException>& exception,
                                                     const std::string& baseFilename) {
  if (!exception) return;
  TLUtility::createFileAtPathComponent(pathComponent(baseFilename),
                                       TLArchivedData(platform::ArchiveObject(exception)), true, true);
}

std::shared_ptr<TLWrapperException> TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string& uuid) {
  {
    std::lock_guard lock(g_cacheMutex);
    auto found = cache().find(uuid);
    if (found != cache().end()) return found->second;
  }
  return loadWrapperExceptionWithBaseFilename(uuid);
}

std::shared_ptr<TLWrapperException> TLWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
  const std::string component = pathComponent(baseFilename);
  auto data = TLUtility::loadDataForPathComponent(component);
  if (!data) return nullptr;
  TLCrashesRegisterArchivedClasses();
  auto object = TLUnarchivedObject(*data);
  auto exception = object.asObjectOfClass<TLWrapperException>();
  if (!exception) {
    TLLogError(kExceptionManagerTag, "Could not read exception data stored on disk with file name {}",
               baseFilename);
    TLUtility::deleteItemForPathComponent(component);
  }
  return exception;
}

void TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& uuid) {
  deleteWrapperExceptionWithBaseFilename(uuid);
}

void TLWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
  if (TLUtility::fileExistsForPathComponent(pathComponent(baseFilename)))
    TLUtility::deleteItemForPathComponent(pathComponent(baseFilename));
}

void TLWrapperExceptionManager::deleteAllWrapperExceptions() {
  TLUtility::deleteItemForPathComponent(TLCrashesUtil::wrapperExceptionsDir());
}

void TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<TLErrorReport>>& reports) {
  auto exception = loadWrapperExceptionWithBaseFilename(kLastSavedFilename);
  if (!exception) return;
  deleteWrapperExceptionWithBaseFilename(kLastSavedFilename);
  const auto processId = static_cast<std::uint64_t>(exception->processId().value_or(0));
  for (const auto& report : reports) {
    if (!report || report->appProcessIdentifier() != processId || !report->incidentIdentifier()) continue;
    {
      std::lock_guard lock(g_cacheMutex);
      cache()[*report->incidentIdentifier()] = exception;
    }
    saveWrapperException(exception, *report->incidentIdentifier());
    return;
  }
}
