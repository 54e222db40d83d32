#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// A fresh random UUID as upper-case text ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
std::string makeUUIDString();
// The 16 bytes of a UUID text (either case); nullopt when the text is not a UUID.
std::optional<std::array<std::uint8_t, 16>> parseUUID(const std::string& text);
std::string uuidString(const std::array<std::uint8_t, 16>& bytes);

}  // namespace platform
