#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"

namespace platform {

// Base64 with the standard alphabet and padding.
std::string base64Encode(const Data& bytes);
// Strict decoding: only the standard alphabet, padded to a multiple of four, no white space, no
// bits set beyond the last byte; nullopt for anything else.
std::optional<Data> base64Decode(std::string_view text);

}  // namespace platform
