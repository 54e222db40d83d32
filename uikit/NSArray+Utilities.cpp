#include "platform/Files.h"
#include "platform/Log.h"
#include "uikit/NSArray+Utilities.h"

namespace {
// Resource property lists are small; anything far larger is not one of ours.
constexpr std::uint64_t kMaximumPropertyListBytes = 64u << 20;

// The top-level value of the file when it is of the kind `take` picks out. An unreadable file gives
// nothing silently; a file of another kind, or no property list at all, gives nothing and the message.
template <typename Value, typename Take>
std::optional<Value> loadPropertyList(const std::filesystem::path& path, Take take, const char* message) {
  auto bytes = platform::files::readFile(path, nullptr, kMaximumPropertyListBytes);
  if (!bytes) return std::nullopt;
  if (auto list = platform::PropertyList::read(*bytes)) {
    if (auto* value = take(*list)) return std::move(*value);
  }
  platform::log("{}", message);
  return std::nullopt;
}

template <typename Value, typename Take>
std::optional<Value> loadPropertyListResource(const std::string& name, const platform::Bundle& bundle,
                                              Take take, const char* message) {
  auto path = bundle.pathForResource(name, "plist");
  if (!path) return std::nullopt;
  return loadPropertyList<Value>(*path, take, message);
}

constexpr const char* kNotAnArray = "Property list isn't an array";
constexpr const char* kNotADictionary = "Property list isn't a dictionary";
auto takeArray = [](platform::PropertyList& list) { return list.asArray(); };
auto takeDictionary = [](platform::PropertyList& list) { return list.asDictionary(); };
}  // namespace

std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListAtPath(
    const std::filesystem::path& path) {
  return loadPropertyList<platform::PropertyList::Array>(path, takeArray, kNotAnArray);
}

std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle) {
  return loadPropertyListResource<platform::PropertyList::Array>(name, bundle, takeArray, kNotAnArray);
}

std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListAtPath(
    const std::filesystem::path& path) {
  return loadPropertyList<platform::PropertyList::Dictionary>(path, takeDictionary, kNotADictionary);
}

std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle) {
  return loadPropertyListResource<platform::PropertyList::Dictionary>(name, bundle, takeDictionary,
                                                                      kNotADictionary);
}
