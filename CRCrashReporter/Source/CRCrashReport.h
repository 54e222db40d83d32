#pragma once
// A crash report file read back into immutable values. The reader checks the file header, unpacks the
// message with protobuf-c and turns each section into a value; the crash service reads only these.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/Error.h"

inline constexpr const char* CRCrashReporterErrorDomain = "CRCrashReporterErrorDomain";
// Reports larger than this are refused before unpacking: protobuf-c needs many times a report's size.
inline constexpr std::size_t CRCrashReportMaximumSize = 1024 * 1024;

struct CRCrashReportProcessorInfo {
  int typeEncoding = 0;
  std::uint64_t type = 0;
  std::uint64_t subtype = 0;
};

struct CRCrashReportSystemInfo {
  int operatingSystem = 0;
  std::string operatingSystemVersion;
  std::optional<std::string> operatingSystemBuild;
  int architecture = 0;
  std::optional<platform::Date> timestamp;
};

struct CRCrashReportMachineInfo {
  std::optional<std::string> modelName;
  std::shared_ptr<const CRCrashReportProcessorInfo> processorInfo;
  std::uint64_t processorCount = 0;
  std::uint64_t logicalProcessorCount = 0;
};

struct CRCrashReportApplicationInfo {
  std::string applicationIdentifier;
  std::string applicationVersion;
  std::optional<std::string> applicationMarketingVersion;
};

struct CRCrashReportProcessInfo {
  std::optional<std::string> processName;
  std::uint64_t processID = 0;
  std::optional<std::string> processPath;
  std::optional<platform::Date> processStartTime;
  std::optional<std::string> parentProcessName;
  std::uint64_t parentProcessID = 0;
  bool native = true;
};

struct CRCrashReportSignalInfo {
  std::string name;
  std::string code;
  std::uint64_t address = 0;
};

struct CRCrashReportMachExceptionInfo {
  std::uint64_t type = 0;
  std::vector<std::uint64_t> codes;
};

struct CRCrashReportSymbolInfo {
  std::string symbolName;
  std::uint64_t startAddress = 0;
  std::uint64_t endAddress = 0;
};

struct CRCrashReportStackFrameInfo {
  std::uint64_t instructionPointer = 0;
  std::shared_ptr<const CRCrashReportSymbolInfo> symbolInfo;
};

struct CRCrashReportRegisterInfo {
  std::string registerName;
  std::uint64_t registerValue = 0;
};

struct CRCrashReportThreadInfo {
  std::int64_t threadNumber = 0;
  std::vector<std::shared_ptr<const CRCrashReportStackFrameInfo>> stackFrames;
  bool crashed = false;
  std::vector<std::shared_ptr<const CRCrashReportRegisterInfo>> registers;
};

struct CRCrashReportBinaryImageInfo {
  std::shared_ptr<const CRCrashReportProcessorInfo> codeType;
  std::uint64_t imageBaseAddress = 0;
  std::uint64_t imageSize = 0;
  std::string imageName;
  bool hasImageUUID = false;
  // Two lower-case hexadecimal digits per byte, no separators.
  std::optional<std::string> imageUUID;
};

struct CRCrashReportExceptionInfo {
  std::string exceptionName;
  std::string exceptionReason;
  std::optional<std::vector<std::shared_ptr<const CRCrashReportStackFrameInfo>>> stackFrames;
};

class CRCrashReport {
 public:
  // The report in `data`, or nullptr with an error of CRCrashReporterErrorDomain, code 2.
  static std::shared_ptr<const CRCrashReport> initWithData(const platform::Data& data,
                                                           platform::Error* error);

  std::shared_ptr<const CRCrashReportSystemInfo> systemInfo() const { return systemInfo_; }
  bool hasMachineInfo() const { return machineInfo_ != nullptr; }
  std::shared_ptr<const CRCrashReportMachineInfo> machineInfo() const { return machineInfo_; }
  std::shared_ptr<const CRCrashReportApplicationInfo> applicationInfo() const { return applicationInfo_; }
  bool hasProcessInfo() const { return processInfo_ != nullptr; }
  std::shared_ptr<const CRCrashReportProcessInfo> processInfo() const { return processInfo_; }
  std::shared_ptr<const CRCrashReportSignalInfo> signalInfo() const { return signalInfo_; }
  std::shared_ptr<const CRCrashReportMachExceptionInfo> machExceptionInfo() const {
    return machExceptionInfo_;
  }
  const std::vector<std::shared_ptr<const CRCrashReportThreadInfo>>& threads() const { return threads_; }
  const std::vector<std::shared_ptr<const CRCrashReportBinaryImageInfo>>& images() const { return images_; }
  bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }
  std::shared_ptr<const CRCrashReportExceptionInfo> exceptionInfo() const { return exceptionInfo_; }
  // The report's own 16-byte UUID, when it carries one.
  const std::optional<std::vector<std::uint8_t>>& uuid() const { return uuid_; }

  // The first image whose [base, base + size) holds the address.
  std::shared_ptr<const CRCrashReportBinaryImageInfo> imageForAddress(std::uint64_t address) const;

 private:
  std::shared_ptr<const CRCrashReportSystemInfo> systemInfo_;
  std::shared_ptr<const CRCrashReportMachineInfo> machineInfo_;
  std::shared_ptr<const CRCrashReportApplicationInfo> applicationInfo_;
  std::shared_ptr<const CRCrashReportProcessInfo> processInfo_;
  std::shared_ptr<const CRCrashReportSignalInfo> signalInfo_;
  std::shared_ptr<const CRCrashReportMachExceptionInfo> machExceptionInfo_;
  std::vector<std::shared_ptr<const CRCrashReportThreadInfo>> threads_;
  std::vector<std::shared_ptr<const CRCrashReportBinaryImageInfo>> images_;
  std::shared_ptr<const CRCrashReportExceptionInfo> exceptionInfo_;
  std::optional<std::vector<std::uint8_t>> uuid_;
};
