// Feeds arbitrary bytes to the property-list reader. Whatever it accepts must write back, and
// the written form must read again to the same bytes (one pass settles what writing normalises).
#include <cstdint>
#include <cstdlib>

#include "platform/PropertyList.h"

using platform::PropertyList;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = PropertyList::read(bytes);
  if (!value) return 0;
  for (auto format : {PropertyList::Format::Binary, PropertyList::Format::XML}) {
    auto written = value->write(format);
    if (!written) std::abort();
    auto again = PropertyList::read(*written);
    if (!again) std::abort();
    if (format == PropertyList::Format::Binary) {
      auto rewritten = again->write(format);
      if (!rewritten || *rewritten != *written) std::abort();
    }
  }
  return 0;
}
