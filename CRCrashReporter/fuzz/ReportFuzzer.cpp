// Crash report files from fuzzer bytes: the header checks, protobuf-c's unpacking and the model.
#include <cstdint>

#include "CRCrashReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Data bytes(data, data + size);
  platform::Error error;
  auto report = CRCrashReport::initWithData(bytes, &error);
  if (report != nullptr) {
    for (const auto& thread : report->threads()) {
      for (const auto& frame : thread->stackFrames) report->imageForAddress(frame->instructionPointer);
    }
  }
  return 0;
}
