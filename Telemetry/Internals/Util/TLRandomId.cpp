#include "Telemetry/Internals/Util/TLRandomId.h"

#include <array>
#include <cstdint>
#include <random>

#include "platform/UUID.h"

std::string TLRandomUUIDString() {
  // Seeded once per thread with 256 bits of the system's random source.
  thread_local std::mt19937_64 generator = [] {
    std::random_device source;
    std::seed_seq seed{source(), source(), source(), source(), source(), source(), source(), source()};
    return std::mt19937_64(seed);
  }();
  std::array<std::uint8_t, 16> bytes;
  for (int half = 0; half < 2; ++half) {
    std::uint64_t value = generator();
    for (int i = 0; i < 8; ++i) bytes[half * 8 + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return platform::uuidString(bytes);
}
