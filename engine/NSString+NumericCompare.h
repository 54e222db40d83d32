#pragma once

#include <string_view>

// Orders two texts the way version strings are compared: runs of decimal digits compare by their
// value (so "1.10" is above "1.9" and "007" equals "7"), every other character by its code. Answers
// -1, 0 or 1. Digit runs of any length compare correctly; nothing is converted to a number.
int zk_compareNumeric(std::string_view a, std::string_view b);
