#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/KeyedUnarchiver.h"

// Value equality of the crash log records: two absent records are equal, a present one equals only a
// present one that compares equal by its own rule.
template <typename T>
bool TLRecordsEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}

template <typename T>
bool TLRecordArraysEqual(const std::optional<std::vector<std::shared_ptr<T>>>& a,
                         const std::optional<std::vector<std::shared_ptr<T>>>& b) {
  if (!a || !b) return !a && !b;
  if (a->size() != b->size()) return false;
  for (std::size_t i = 0; i < a->size(); ++i) {
    if (!TLRecordsEqual((*a)[i], (*b)[i])) return false;
  }
  return true;
}

// An integer number that an archive holds under the key; nullopt when absent or nil.
inline std::optional<std::int64_t> TLDecodeInteger(platform::KeyedUnarchiver& coder, std::string_view key) {
  auto number = coder.decodeNumberForKey(key);
  if (!number) return std::nullopt;
  auto value = number->integerValue();
  if (!value) throw platform::DecodingError("a number that is not an integer");
  return value;
}

// Registers the crash log classes with the shared class registry (once) so that archives of them read
// back; every reader of such archives calls it first.
void TLCrashesRegisterArchivedClasses();
