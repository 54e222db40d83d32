#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CRCrashReport.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"

// Image kinds of imageTypeForImagePath: the executable, another image of the application's bundle,
// anything else.
inline constexpr int TLBinaryImageTypeAppBinary = 0;
inline constexpr int TLBinaryImageTypeAppFramework = 1;
inline constexpr int TLBinaryImageTypeOther = 2;

// Turns a decoded crash report into the crash log the service sends, and a crash log into the report
// the application sees. Stateless; callable from any thread.
class TLErrorLogFormatter {
 public:
  using Report = CRCrashReport;
  using Thread = std::shared_ptr<const CRCrashReportThreadInfo>;

  static std::shared_ptr<TLAppleErrorLog> errorLogFromCrashReport(const Report& report);
  static std::shared_ptr<TLErrorReport> errorReportFromCrashReport(
      const std::shared_ptr<const Report>& report);
  static std::shared_ptr<TLErrorReport> errorReportFromLog(const TLAppleErrorLog& log);

  // The report's UUID as upper-case 8-4-4-4-12 text; a fresh one when the report has none.
  static std::string errorIdForCrashReport(const Report& report);
  static void addProcessInfoAndApplicationPathTo(TLAppleErrorLog& log, const Report& report);
  static std::optional<platform::Date> getAppLaunchTimeFromReport(const Report& report);
  static std::optional<platform::Date> getCrashTimeFromReport(const Report& report);
  static Thread findCrashedThreadInReport(const Report& report);
  static std::optional<std::uint64_t> extractCodeTypeFromReport(const Report& report);
  static bool isCodeType64bit(const std::optional<std::uint64_t>& codeType);
  static std::optional<std::string> extractExceptionReasonFromReport(const Report& report);
  static std::optional<std::string> selectorRegisterValueFromReport(const Report& report,
                                                                    const Thread& crashedThread,
                                                                    bool is64bit);
  // Objective-C selector names live in a section ELF images never have, so on this platform the lookup
  // finds the image but no selector.
  static std::optional<std::string> selectorForRegisterWithName(const std::string& registerName,
                                                                const Thread& thread, const Report& report);
  static std::vector<std::shared_ptr<TLThread>> extractThreadsFromReport(const Report& report,
                                                                         const Thread& crashedThread,
                                                                         bool is64bit);
  static std::string formatStackFrame(const CRCrashReportStackFrameInfo& frame, const Report& report);
  static std::map<std::string, std::string> extractRegistersFromCrashedThread(const Thread& thread,
                                                                              bool is64bit);
  static std::vector<std::shared_ptr<TLBinary>> extractBinaryImagesFromReport(
      const Report& report, const std::optional<std::uint64_t>& codeType, bool is64bit);
  static std::vector<std::uint64_t> addressesFromReport(const Report& report, bool is64bit);
  static bool isBinaryWithStart(std::uint64_t start, std::uint64_t end,
                                const std::vector<std::uint64_t>& addresses);
  static int imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                   const std::optional<std::string>& processPath);
  // Home-folder paths with the user's name replaced: "/Users/USER/…" and, on this platform,
  // "/home/USER/…" (also for paths under $HOME); another path holding "Users" becomes "".
  static std::string anonymizedPathFromPath(const std::string& path);
  static std::optional<std::string> uuidRefToString(const std::optional<std::vector<std::uint8_t>>& uuid);
  static std::uint64_t normalizeAddress(std::uint64_t address, bool /*is64bit*/) { return address; }
  static std::string formatAddress(std::uint64_t address, bool is64bit);
};
