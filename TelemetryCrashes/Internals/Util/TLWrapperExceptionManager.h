#pragma once

#include <memory>
#include <string>
#include <vector>

#include "TelemetryCrashes/Internals/Util/TLWrapperException.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"

// Keeps the exception records a wrapper SDK saves before its process dies, and ties the last one to
// the crash report of the same process at the next start.
class TLWrapperExceptionManager {
 public:
  static constexpr const char* kLastSavedFilename = "last_saved_wrapper_exception";

  static void saveWrapperException(const std::shared_ptr<TLWrapperException>& exception);
  static void saveWrapperException(const std::shared_ptr<TLWrapperException>& exception,
                                   const std::string& baseFilename);
  // The cached record of the incident, else the one in its file.
  static std::shared_ptr<TLWrapperException> loadWrapperExceptionWithUUIDString(const std::string& uuid);
  // The record in the file; nullptr when missing, and for a damaged file (logged, deleted).
  static std::shared_ptr<TLWrapperException> loadWrapperExceptionWithBaseFilename(
      const std::string& baseFilename);
  static void deleteWrapperExceptionWithUUIDString(const std::string& uuid);
  static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
  static void deleteAllWrapperExceptions();
  // Moves the last saved record to the first report of the process that saved it; the saved file is
  // gone afterwards in any case.
  static void correlateLastSavedWrapperExceptionToReport(
      const std::vector<std::shared_ptr<TLErrorReport>>& reports);
};
