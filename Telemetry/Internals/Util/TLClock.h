#pragma once

#include <functional>

#include "platform/Date.h"

// Where the SDK's contexts read "now": the system clock unless a context is given another (tests
// step time by hand).
using TLClock = std::function<platform::Date()>;

inline TLClock TLSystemClock() {
  return [] { return platform::Date::now(); };
}
