#pragma once

#include <cstdint>

// A global hot key as the settings store it and the hot key helper registers it: the design's
// modifier flags (Command 1 << 20, Option 1 << 19, Control 1 << 18, Shift 1 << 17) and its virtual
// key code. Both stay in these codes wherever they are kept; only the desktop layer translates them.
struct _KeyCombo {
  std::uint64_t flags = 0;
  std::int64_t code = 0;
  bool operator==(const _KeyCombo&) const = default;
};
