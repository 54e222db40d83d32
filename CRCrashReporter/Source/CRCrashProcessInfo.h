#pragma once
// Facts about a process, read from /proc/<pid>/stat and /proc/<pid>/status. Normal context only.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct CRCrashTimeval {
  std::int64_t tv_sec = 0;
  std::int32_t tv_usec = 0;
};

class CRCrashProcessInfo {
 public:
  // The facts of `pid`, or nullptr when they cannot be read (no such process gives nullptr without a log).
  static std::shared_ptr<const CRCrashProcessInfo> initWithProcessID(pid_t pid);
  static std::shared_ptr<const CRCrashProcessInfo> currentProcessInfo();

  // Where /proc is read from; tests point it at a folder of their own.
  static void setProcRoot(const std::string& root);

  pid_t processID() const { return processID_; }
  // The command name (at most 15 bytes on Linux), nullopt when empty or not UTF-8.
  const std::optional<std::string>& processName() const { return processName_; }
  pid_t parentProcessID() const { return parentProcessID_; }
  CRCrashTimeval startTime() const { return startTime_; }
  bool isTraced() const { return traced_; }

 private:
  pid_t processID_ = 0;
  std::optional<std::string> processName_;
  pid_t parentProcessID_ = 0;
  CRCrashTimeval startTime_;
  bool traced_ = false;
};

struct CRCrashHostInfoVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t revision = 0;
};

// The kernel's version, from "kern.osrelease" ("6.1.0-18-amd64" gives 6.1.0).
class CRCrashHostInfo {
 public:
  static std::shared_ptr<const CRCrashHostInfo> currentHostInfo();
  // The same scan over a given release string.
  static CRCrashHostInfoVersion parseRelease(const std::string& release);
  CRCrashHostInfoVersion darwinVersion() const { return version_; }

 private:
  CRCrashHostInfoVersion version_;
};
