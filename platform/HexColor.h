#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Color.h"

namespace platform {

// The colour a module result names with a hexadecimal RGB text ("#527908", "527908", "0x527908"):
// one leading "#" is dropped, then leading white space and newlines are skipped, an optional 0x or 0X
// prefix is read, and hexadecimal digits are read up to the first other character into an unsigned
// 32-bit number (more digits than fit give 0xFFFFFFFF). Bits 16-23, 8-15 and 0-7 give red, green
// and blue; the colour is opaque. Nothing readable gives black. Short texts are not expanded: "FFF"
// is the number 0xFFF.
Color zk_colorWithHexColorString(std::string_view text);

// The number the text reads as, by the rules above (0 when nothing can be read).
std::uint32_t zk_scanHexInt(std::string_view text);

}  // namespace platform
