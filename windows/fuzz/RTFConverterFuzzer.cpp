// Feeds arbitrary bytes to the RTF converter of help documents: it must return, with bounded output,
// for any input.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "windows/QVRTFConverter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string html =
      QVRTFConverter::htmlFromRTF(std::string_view(reinterpret_cast<const char*>(data), size));
  if (html.size() > QVRTFConverter::kMaximumOutputBytes + 4096) std::abort();
  if (html.rfind("<html><body>", 0) != 0) std::abort();
  return 0;
}
