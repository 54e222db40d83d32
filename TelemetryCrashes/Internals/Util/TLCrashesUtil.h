#pragma once

#include <string>

// The crash service's folders below the SDK's storage folder, each created on its first use.
class TLCrashesUtil {
 public:
  // "crashes": copies of crash reports and the analyzer marker.
  static std::string crashesDir();
  // "crasheslogbuffer": the crash-time log buffer files.
  static std::string logBufferDir();
  // "crasheswrapperexceptions": exception records of a wrapper SDK.
  static std::string wrapperExceptionsDir();
  // The next call of each creates its folder again.
  static void resetDirectory();
};
