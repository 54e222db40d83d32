#pragma once

#include <string>
#include <string_view>

namespace platform::utf8 {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool isValid(std::string_view text);

// The text with every ill-formed sequence, and every NUL, replaced by U+FFFD; for writers that
// take NUL-terminated UTF-8.
std::string sanitized(std::string_view text);

}  // namespace platform::utf8
