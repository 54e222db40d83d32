#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/ArchiveObject.h"
#include "platform/KeyedUnarchiver.h"

// Reading single values of the engine's archived objects. A value of another kind than the key
// should hold (a number where a name belongs, an object where a number belongs) reads as absent, so a
// slightly damaged archive still restores with defaults. Lists of modules and options are read with
// the unarchiver's own checks: damage there fails the whole load and leaves the file as it is.

// The object under the key; nil when absent or not an object.
platform::ArchiveObject QVDecodeLeafObject(platform::KeyedUnarchiver& coder, std::string_view key);
// A number stored as a scalar or as a number object; nullopt when absent or not a number.
std::optional<double> QVDecodeLeafDouble(platform::KeyedUnarchiver& coder, std::string_view key);
std::optional<std::int64_t> QVDecodeLeafInteger(platform::KeyedUnarchiver& coder, std::string_view key);
