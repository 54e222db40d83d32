#pragma once

#include <optional>
#include <vector>

// The member of an ascending list nearest to the number. Members are compared at single precision, and
// a number exactly half-way between two members snaps to the upper one; numbers outside the list snap
// to its first or last member. nullopt for an empty list.
std::optional<double> zk_nearestValueWithNumber(const std::vector<double>& sortedValues, double number);
