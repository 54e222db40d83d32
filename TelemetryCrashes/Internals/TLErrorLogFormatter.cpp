#include "TelemetryCrashes/Internals/TLErrorLogFormatter.h"

#include <link.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <regex>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/TLTelemetry.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"
#include "platform/UUID.h"

namespace {
constexpr const char* kFormatterTag = "TelemetryCrashes";
constexpr const char* kUnknown = "???";
// CRCrashReportSystemInfo operating systems and architectures.
constexpr int kOperatingSystemIPhoneSimulator = 2;

std::optional<std::uint64_t> codeTypeForArchitecture(int architecture) {
  switch (architecture) {
    case 0:
      return 7;
    case 1:
      return 16777223;
    case 2:
    case 5:
      return 12;
    case 3:
      return 18;
    default:
      return std::nullopt;
  }
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<std::string> processPathOf(const CRCrashReport& report) {
  if (!report.hasProcessInfo() || !report.processInfo()->processPath) return std::nullopt;
  return report.processInfo()->processPath;
}

std::optional<std::string> nameOf(const std::shared_ptr<const CRCrashReportBinaryImageInfo>& image) {
  if (!image) return std::nullopt;
  return image->imageName;
}

// The images loaded in this process whose path equals `name`, with their build ids: the live
// counterpart of a report's image.
struct LoadedImageMatch {
  const char* name;
  bool found = false;
  std::uintptr_t base = 0;
};

int findLoadedImage(dl_phdr_info* info, std::size_t, void* context) {
  auto* match = static_cast<LoadedImageMatch*>(context);
  if (info->dlpi_name == nullptr || std::strcmp(info->dlpi_name, match->name) != 0) return 0;
  match->found = true;
  match->base = info->dlpi_addr;
  return 1;
}
}  // namespace

std::shared_ptr<TLAppleErrorLog> TLErrorLogFormatter::errorLogFromCrashReport(const Report& report) {
  auto log = TLAppleErrorLog::init();
  const auto codeType = extractCodeTypeFromReport(report);
  const bool is64bit = isCodeType64bit(codeType);
  log->setErrorId(errorIdForCrashReport(report));
  addProcessInfoAndApplicationPathTo(*log, report);
  const Thread crashedThread = findCrashedThreadInReport(report);
  log->setErrorThreadId(crashedThread ? crashedThread->threadNumber : 0);
  log->setFatal(true);
  log->setAppLaunchTimestamp(getAppLaunchTimeFromReport(report));

  auto timestamp = getCrashTimeFromReport(report);
  if (timestamp) {
    // The engine records whole seconds; the end of that second keeps the crash after every log the
    // process sent within it.
    const double seconds = timestamp->timeIntervalSince1970();
    if (seconds >= std::numeric_limits<std::int32_t>::min() &&
        seconds <= std::numeric_limits<std::int32_t>::max() &&
        static_cast<double>(static_cast<std::int32_t>(seconds)) == seconds) {
      timestamp = platform::Date::fromTimeIntervalSince1970(seconds + 0.999);
    }
  }
  log->setTimestamp(timestamp);

  for (const auto& image : report.images()) {
    if (image && image->codeType && image->codeType->typeEncoding == 1) {
      log->setPrimaryArchitectureId(static_cast<std::int64_t>(image->codeType->type));
      log->setArchitectureVariantId(static_cast<std::int64_t>(image->codeType->subtype));
    }
  }

  if (auto signal = report.signalInfo()) {
    log->setOsExceptionType(signal->name);
    log->setOsExceptionCode(signal->code);
    log->setOsExceptionAddress(fmt::format("0x{:x}", signal->address));
  }
  log->setExceptionReason(extractExceptionReasonFromReport(report));
  if (report.hasExceptionInfo()) log->setExceptionType(report.exceptionInfo()->exceptionName);
  log->setSelectorRegisterValue(selectorRegisterValueFromReport(report, crashedThread, is64bit));
  log->setThreads(extractThreadsFromReport(report, crashedThread, is64bit));
  log->setRegisters(extractRegistersFromCrashedThread(crashedThread, is64bit));
  log->setBinaries(extractBinaryImagesFromReport(report, codeType, is64bit));
  log->setDevice(TLDeviceTracker::sharedInstance()->deviceForTimestamp(log->timestamp()));

  if (auto key = uuidRefToString(report.uuid())) {
    if (auto wrapperException = TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*key))
      log->setException(wrapperException->modelException());
  }
  return log;
}

std::shared_ptr<TLErrorReport> TLErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<const Report>& report) {
  if (!report) return nullptr;
  return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<TLErrorReport> TLErrorLogFormatter::errorReportFromLog(const TLAppleErrorLog& log) {
  std::string reporterKey = TLTelemetry::installId();
  return TLErrorReport::initWithErrorId(
      log.errorId(), reporterKey, log.osExceptionType(), log.exceptionType(), log.exceptionReason(),
      log.appLaunchTimestamp(), log.timestamp(),
      TLDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp()),
      static_cast<std::uint64_t>(log.processId().value_or(0)));
}

std::string TLErrorLogFormatter::errorIdForCrashReport(const Report& report) {
  if (auto text = uuidRefToString(report.uuid())) return *text;
  return platform::makeUUIDString();
}

std::optional<std::string> TLErrorLogFormatter::uuidRefToString(
    const std::optional<std::vector<std::uint8_t>>& uuid) {
  if (!uuid || uuid->size() != 16) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  std::copy(uuid->begin(), uuid->end(), bytes.begin());
  return platform::uuidString(bytes);
}

void TLErrorLogFormatter::addProcessInfoAndApplicationPathTo(TLAppleErrorLog& log, const Report& report) {
  log.setProcessId(0);
  log.setProcessName(std::string(kUnknown));
  log.setParentProcessName(std::string(kUnknown));
  log.setParentProcessId(std::nullopt);
  log.setApplicationPath(std::string(kUnknown));
  if (!report.hasProcessInfo()) return;
  const auto& info = *report.processInfo();
  log.setProcessId(static_cast<std::int64_t>(info.processID));
  if (info.processName) log.setProcessName(*info.processName);
  if (info.processPath) log.setApplicationPath(anonymizedPathFromPath(*info.processPath));
  if (info.parentProcessName) log.setParentProcessName(*info.parentProcessName);
  log.setParentProcessId(static_cast<std::int64_t>(info.parentProcessID));
}

std::optional<platform::Date> TLErrorLogFormatter::getAppLaunchTimeFromReport(const Report& report) {
  if (report.hasProcessInfo()) return report.processInfo()->processStartTime;
  return getCrashTimeFromReport(report);
}

std::optional<platform::Date> TLErrorLogFormatter::getCrashTimeFromReport(const Report& report) {
  if (!report.systemInfo()) return std::nullopt;
  return report.systemInfo()->timestamp;
}

TLErrorLogFormatter::Thread TLErrorLogFormatter::findCrashedThreadInReport(const Report& report) {
  for (const auto& thread : report.threads()) {
    if (thread && thread->crashed) return thread;
  }
  return nullptr;
}

std::optional<std::uint64_t> TLErrorLogFormatter::extractCodeTypeFromReport(const Report& report) {
  const int architecture = report.systemInfo() ? report.systemInfo()->architecture : 6;
  for (const auto& image : report.images()) {
    if (image && image->codeType && image->codeType->typeEncoding == 1) return image->codeType->type;
    if (auto candidate = codeTypeForArchitecture(architecture)) return candidate;
  }
  return std::nullopt;
}

bool TLErrorLogFormatter::isCodeType64bit(const std::optional<std::uint64_t>& codeType) {
  return codeType && (*codeType == 16777223 || *codeType == 16777228);
}

std::optional<std::string> TLErrorLogFormatter::extractExceptionReasonFromReport(const Report& report) {
  if (!report.hasExceptionInfo()) return std::nullopt;
  return report.exceptionInfo()->exceptionReason;
}

std::optional<std::string> TLErrorLogFormatter::selectorRegisterValueFromReport(const Report& report,
                                                                                const Thread& crashedThread,
                                                                                bool is64bit) {
  if (is64bit) return selectorForRegisterWithName("x1", crashedThread, report);
  if (auto value = selectorForRegisterWithName("r1", crashedThread, report)) return value;
  return selectorForRegisterWithName("r2", crashedThread, report);
}

std::optional<std::string> TLErrorLogFormatter::selectorForRegisterWithName(const std::string& registerName,
                                                                            const Thread& thread,
                                                                            const Report& report) {
  if (!thread) return std::nullopt;
  std::uint64_t value = 0;
  bool found = false;
  for (const auto& reg : thread->registers) {
    if (reg && reg->registerName == registerName) {
      value = reg->registerValue;
      found = true;
      break;
    }
  }
  if (!found || value == 0) return std::nullopt;
  auto image = report.imageForAddress(value);
  if (!image || image->imageName.empty()) return std::nullopt;
  // The live image of the same path: the only place the selector's text could still be read.
  LoadedImageMatch match{image->imageName.c_str()};
  dl_iterate_phdr(findLoadedImage, &match);
  if (!match.found) return std::nullopt;
  // An ELF image has no "__objc_methname" section in its "__TEXT" segment: no selector.
  return std::nullopt;
}

std::vector<std::shared_ptr<TLThread>> TLErrorLogFormatter::extractThreadsFromReport(
    const Report& report, const Thread& crashedThread, bool is64bit) {
  std::shared_ptr<TLException> exception;
  if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames &&
      !report.exceptionInfo()->stackFrames->empty()) {
    const auto& info = *report.exceptionInfo();
    exception = TLException::init();
    exception->setMessage(info.exceptionReason);
    if (!info.exceptionName.empty()) {
      exception->setType(info.exceptionName);
    } else if (report.signalInfo()) {
      exception->setType(report.signalInfo()->name);
    }
    std::vector<std::shared_ptr<TLStackFrame>> frames;
    for (const auto& frameInfo : *info.stackFrames) {
      if (!frameInfo) continue;
      auto frame = TLStackFrame::init();
      frame->setAddress(formatAddress(normalizeAddress(frameInfo->instructionPointer, is64bit), is64bit));
      frames.push_back(std::move(frame));
    }
    exception->setFrames(std::move(frames));
  }

  std::vector<std::shared_ptr<TLThread>> threads;
  for (const auto& threadInfo : report.threads()) {
    if (!threadInfo) continue;
    auto thread = TLThread::init();
    thread->setThreadId(threadInfo->threadNumber);
    if (crashedThread && exception && threadInfo->threadNumber == crashedThread->threadNumber)
      thread->setException(exception);
    TLThread::Frames frames;
    for (const auto& frameInfo : threadInfo->stackFrames) {
      if (!frameInfo) continue;
      auto frame = TLStackFrame::init();
      frame->setAddress(formatAddress(normalizeAddress(frameInfo->instructionPointer, is64bit), is64bit));
      frame->setCode(formatStackFrame(*frameInfo, report));
      frames.push_back(std::move(frame));
    }
    thread->setFrames(std::move(frames));
    threads.push_back(std::move(thread));
  }
  return threads;
}

std::string TLErrorLogFormatter::formatStackFrame(const CRCrashReportStackFrameInfo& frame,
                                                  const Report& report) {
  const std::uint64_t ip = normalizeAddress(frame.instructionPointer, true);
  auto image = report.imageForAddress(ip);
  const std::uint64_t base = image ? image->imageBaseAddress : 0;
  const std::uint64_t offset = image ? ip - base : 0;
  const int kind = imageTypeForImagePath(nameOf(image), processPathOf(report));
  if (kind == TLBinaryImageTypeOther && frame.symbolInfo) {
    std::string name = frame.symbolInfo->symbolName;
    if (name.size() >= 2 && name[0] == '_') {
      const int os = report.systemInfo() ? report.systemInfo()->operatingSystem : 0;
      if (os == kOperatingSystemIPhoneSimulator) {
        name.erase(0, 1);
      } else {
        TLLogWarning(kFormatterTag, "Symbol prefix rules are unknown for this OS!");
      }
    }
    return fmt::format("{} + {}", name, static_cast<long long>(ip - frame.symbolInfo->startAddress));
  }
  return fmt::format("0x{:x} + {}", base, static_cast<long long>(offset));
}

std::map<std::string, std::string> TLErrorLogFormatter::extractRegistersFromCrashedThread(
    const Thread& thread, bool is64bit) {
  std::map<std::string, std::string> registers;
  if (!thread) return registers;
  for (const auto& reg : thread->registers) {
    if (reg)
      registers[reg->registerName] = formatAddress(normalizeAddress(reg->registerValue, is64bit), is64bit);
  }
  return registers;
}

std::vector<std::uint64_t> TLErrorLogFormatter::addressesFromReport(const Report& report, bool is64bit) {
  std::vector<std::uint64_t> addresses;
  if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames) {
    for (const auto& frame : *report.exceptionInfo()->stackFrames) {
      if (frame) addresses.push_back(normalizeAddress(frame->instructionPointer, is64bit));
    }
  }
  for (const auto& thread : report.threads()) {
    if (!thread) continue;
    for (const auto& frame : thread->stackFrames) {
      if (frame) addresses.push_back(normalizeAddress(frame->instructionPointer, is64bit));
    }
    for (const auto& reg : thread->registers) {
      if (reg) addresses.push_back(normalizeAddress(reg->registerValue, is64bit));
    }
  }
  return addresses;
}

bool TLErrorLogFormatter::isBinaryWithStart(std::uint64_t start, std::uint64_t end,
                                            const std::vector<std::uint64_t>& addresses) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [&](std::uint64_t address) { return address >= start && address <= end; });
}

std::vector<std::shared_ptr<TLBinary>> TLErrorLogFormatter::extractBinaryImagesFromReport(
    const Report& report, const std::optional<std::uint64_t>& codeType, bool is64bit) {
  const auto addresses = addressesFromReport(report, is64bit);
  std::vector<std::shared_ptr<const CRCrashReportBinaryImageInfo>> images;
  for (const auto& image : report.images()) {
    if (image) images.push_back(image);
  }
  std::stable_sort(images.begin(), images.end(),
                   [](const auto& a, const auto& b) { return a->imageBaseAddress < b->imageBaseAddress; });
  const auto processPath = processPathOf(report);
  std::vector<std::shared_ptr<TLBinary>> binaries;
  for (const auto& image : images) {
    const std::uint64_t start = image->imageBaseAddress;
    const std::uint64_t end = start + std::max<std::uint64_t>(image->imageSize, 1) - 1;
    if (!isBinaryWithStart(start, end, addresses) &&
        imageTypeForImagePath(image->imageName, processPath) == TLBinaryImageTypeOther)
      continue;
    auto binary = TLBinary::init();
    binary->setBinaryId(image->hasImageUUID && image->imageUUID ? *image->imageUUID : std::string(kUnknown));
    binary->setStartAddress(formatAddress(start, is64bit));
    binary->setEndAddress(formatAddress(end, is64bit));
    binary->setPath(anonymizedPathFromPath(image->imageName));
    const std::string name = std::filesystem::path(image->imageName).filename().string();
    binary->setName(image->imageName.empty() ? std::string(kUnknown) : name);
    if (codeType) binary->setPrimaryArchitectureId(static_cast<std::int64_t>(*codeType));
    binary->setArchitectureVariantId(image->codeType ? static_cast<std::int64_t>(image->codeType->subtype)
                                                     : 0);
    binaries.push_back(std::move(binary));
  }
  return binaries;
}

int TLErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                               const std::optional<std::string>& processPath) {
  if (!imagePath || !processPath) return TLBinaryImageTypeOther;
  const std::string standardized = lower(std::filesystem::path(*imagePath).lexically_normal().string());
  const std::string image = lower(*imagePath);
  const std::string process = lower(*processPath);
  const auto app = standardized.find(".app/");
  const bool swiftLibrary = standardized.find("frameworks/libswift") != std::string::npos &&
                            standardized.size() >= 6 &&
                            standardized.compare(standardized.size() - 6, 6, ".dylib") == 0;
  if (app == std::string::npos || swiftLibrary) return TLBinaryImageTypeOther;
  const std::string bundle = standardized.substr(0, app + 5);
  if (standardized == process || startsWith(image, process)) return TLBinaryImageTypeAppBinary;
  if (startsWith(standardized, bundle) || startsWith(image, bundle)) return TLBinaryImageTypeAppFramework;
  return TLBinaryImageTypeOther;
}

std::string TLErrorLogFormatter::anonymizedPathFromPath(const std::string& path) {
  if (path.empty()) return std::string();
  if (startsWith(path, "/Users/")) {
    static const std::regex users("(/Users/[^/]+/)");
    return std::regex_replace(path, users, "/Users/USER/");
  }
  // A path below the user's home folder, wherever it is, names the user by its folder.
  if (const char* home = std::getenv("HOME"); home != nullptr) {
    std::string folder = home;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.size() > 1 && startsWith(path, folder + "/"))
      return "/home/USER/" + path.substr(folder.size() + 1);
  }
  if (startsWith(path, "/home/")) {
    static const std::regex homes("(/home/[^/]+/)");
    return std::regex_replace(path, homes, "/home/USER/");
  }
  if (path.find("Users") != std::string::npos) return std::string();
  return path;
}

std::string TLErrorLogFormatter::formatAddress(std::uint64_t address, bool is64bit) {
  return fmt::format("0x{:0{}x}", address, is64bit ? 16 : 8);
}
