// Feeds arbitrary bytes to the property-list reader. Whatever it accepts must write back in both
// forms and read again, and after one pass (which settles what writing repairs) the value must
// stay the same. Values are compared through their XML text, where NaN equals NaN; the binary
// bytes themselves may differ between passes, as the format library may or may not share equal
// containers.
#include <cstdint>
#include <cstdlib>

#include "platform/PropertyList.h"

using platform::PropertyList;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = PropertyList::read(bytes);
  if (!value) return 0;
  auto xml = value->write(PropertyList::Format::XML);
  if (!xml || !PropertyList::read(*xml)) std::abort();
  auto binary = value->write(PropertyList::Format::Binary);
  if (!binary) std::abort();
  auto settled = PropertyList::read(*binary);
  if (!settled) std::abort();
  auto again = settled->write(PropertyList::Format::Binary);
  if (!again) std::abort();
  auto reread = PropertyList::read(*again);
  if (!reread || reread->write(PropertyList::Format::XML) != settled->write(PropertyList::Format::XML)) std::abort();
  return 0;
}
