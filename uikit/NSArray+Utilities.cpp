#include "platform/Files.h"
#include "platform/Log.h"
#include "uikit/NSArray+Utilities.h"

namespace {
// Resource property lists are small; anything far larger is not one of ours.
constexpr std::uint64_t kMaximumPropertyListBytes = 64u << 20;

std::optional<platform::PropertyList> readPropertyList(const std::filesystem::path& path, bool* readable) {
  auto bytes = platform::files::readFile(path, nullptr, kMaximumPropertyListBytes);
  *readable = bytes.has_value();
  if (!bytes) return std::nullopt;
  return platform::PropertyList::read(*bytes);
}
}  // namespace

std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListAtPath(
    const std::filesystem::path& path) {
  bool readable = false;
  auto list = readPropertyList(path, &readable);
  if (!readable) return std::nullopt;
  if (list) {
    if (auto* array = list->asArray()) return std::move(*array);
  }
  platform::log("Property list isn't an array");
  return std::nullopt;
}

std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle) {
  auto path = bundle.pathForResource(name, "plist");
  if (!path) return std::nullopt;
  return zk_arrayFromPropertyListAtPath(*path);
}

std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListAtPath(
    const std::filesystem::path& path) {
  bool readable = false;
  auto list = readPropertyList(path, &readable);
  if (!readable) return std::nullopt;
  if (list) {
    if (auto* dictionary = list->asDictionary()) return std::move(*dictionary);
  }
  platform::log("Property list isn't a dictionary");
  return std::nullopt;
}

std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle) {
  auto path = bundle.pathForResource(name, "plist");
  if (!path) return std::nullopt;
  return zk_dictionaryFromPropertyListAtPath(*path);
}
