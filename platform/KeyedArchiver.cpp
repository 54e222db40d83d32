#include "platform/KeyedArchiver.h"

#include <cstring>
#include <stdexcept>

namespace platform {

namespace {

constexpr std::int64_t kArchiveVersion = 100000;

PropertyList::UID uid(std::uint64_t value) { return PropertyList::UID{value}; }

std::uint64_t bitsOf(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

KeyedArchiver::KeyedArchiver() {
  objects_.emplace_back("$null");
  frames_.emplace_back();
}

Data KeyedArchiver::archivedDataWithRootObject(const ArchiveObject& root) {
  KeyedArchiver archiver;
  archiver.encodeObject(root, "root");
  return archiver.encodedData();
}

std::uint64_t KeyedArchiver::append(PropertyList entry) {
  objects_.push_back(std::move(entry));
  return objects_.size() - 1;
}

std::uint64_t KeyedArchiver::reserve() { return append(PropertyList()); }

std::uint64_t KeyedArchiver::classUID(const std::vector<std::string>& classes) {
  std::vector<std::string> chain = classes;
  if (chain.empty()) throw std::logic_error("an archived class needs a name");
  if (chain.back() != "NSObject") chain.push_back("NSObject");
  if (auto it = classes_.find(chain.front()); it != classes_.end()) return it->second;
  PropertyList::Array names(chain.begin(), chain.end());
  PropertyList::Dictionary record{{"$classname", chain.front()}, {"$classes", std::move(names)}};
  std::uint64_t at = append(std::move(record));
  classes_.emplace(chain.front(), at);
  return at;
}

std::uint64_t KeyedArchiver::uidFor(const ArchiveObject& object) {
  using Kind = ArchiveObject::Kind;
  switch (object.kind()) {
    case Kind::Nil:
      return 0;
    case Kind::Null: {
      if (nullUID_ == 0) nullUID_ = append(PropertyList::Dictionary{{"$class", uid(classUID({"NSNull"}))}});
      return nullUID_;
    }
    case Kind::Boolean:
    case Kind::Integer:
    case Kind::Real: {
      // Equal numbers share one entry, as equal strings do.
      std::tuple<int, std::uint64_t> key;
      PropertyList entry;
      if (auto b = object.asBoolean()) {
        key = {0, *b ? 1u : 0u};
        entry = PropertyList(*b);
      } else if (auto i = object.asInteger()) {
        key = {1, static_cast<std::uint64_t>(*i)};
        entry = PropertyList(*i);
      } else {
        key = {2, bitsOf(*object.asReal())};
        entry = PropertyList(*object.asReal());
      }
      if (auto it = numbers_.find(key); it != numbers_.end()) return it->second;
      std::uint64_t at = append(std::move(entry));
      numbers_.emplace(key, at);
      return at;
    }
    case Kind::String: {
      const std::string& text = *object.asString();
      if (auto it = strings_.find(text); it != strings_.end()) return it->second;
      std::uint64_t at = append(PropertyList(text));
      strings_.emplace(text, at);
      return at;
    }
    case Kind::Data:
      return append(PropertyList(*object.asData()));
    case Kind::Date:
      return append(PropertyList::Dictionary{
          {"NS.time", object.asDate()->timeIntervalSinceReferenceDate()},
          {"$class", uid(classUID({"NSDate"}))}});
    case Kind::UUID: {
      const auto& bytes = object.asUUID()->bytes;
      return append(PropertyList::Dictionary{{"NS.uuidbytes", Data(bytes.begin(), bytes.end())},
                                             {"$class", uid(classUID({"NSUUID"}))}});
    }
    case Kind::Color: {
      const Color& color = *object.asColor();
      return append(PropertyList::Dictionary{{"NSColorSpace", 2},
                                             {"red", color.red},
                                             {"green", color.green},
                                             {"blue", color.blue},
                                             {"alpha", color.alpha},
                                             {"$class", uid(classUID({Color::kClassName}))}});
    }
    case Kind::Array: {
      std::uint64_t at = reserve();
      PropertyList::Array refs;
      for (const auto& item : *object.asArray()) refs.emplace_back(uid(uidFor(item)));
      objects_[at] = PropertyList::Dictionary{{"NS.objects", std::move(refs)},
                                              {"$class", uid(classUID({"NSArray"}))}};
      return at;
    }
    case Kind::Dictionary: {
      std::uint64_t at = reserve();
      PropertyList::Array keys, values;
      for (const auto& [key, item] : *object.asDictionary()) {
        keys.emplace_back(uid(uidFor(ArchiveObject(key))));
        values.emplace_back(uid(uidFor(item)));
      }
      objects_[at] = PropertyList::Dictionary{{"NS.keys", std::move(keys)},
                                              {"NS.objects", std::move(values)},
                                              {"$class", uid(classUID({"NSDictionary"}))}};
      return at;
    }
    case Kind::Object: {
      std::shared_ptr<Coding> coding = object.asObject();
      // An object met again (shared, or on a cycle) is referenced, not written twice; its UID is
      // known before its own values are encoded.
      if (auto it = objectsByIdentity_.find(coding.get()); it != objectsByIdentity_.end()) return it->second;
      std::uint64_t at = reserve();
      objectsByIdentity_.emplace(coding.get(), at);
      frames_.emplace_back();
      coding->encodeWithCoder(*this);
      PropertyList::Dictionary values = std::move(frames_.back().values);
      frames_.pop_back();
      values.insert_or_assign("$class", uid(classUID(coding->classesForCoder())));
      objects_[at] = std::move(values);
      return at;
    }
  }
  return 0;
}

void KeyedArchiver::encodeObject(const ArchiveObject& object, std::string_view key) {
  std::uint64_t at = uidFor(object);
  frames_.back().values.insert_or_assign(std::string(key), uid(at));
}

void KeyedArchiver::encodeObject(const ArchiveObject& object) {
  encodeObject(object, "$" + std::to_string(frames_.back().unkeyed++));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
  frames_.back().values.insert_or_assign(std::string(key), value);
}

void KeyedArchiver::encodeInt32(std::int32_t value, std::string_view key) {
  frames_.back().values.insert_or_assign(std::string(key), value);
}

void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
  frames_.back().values.insert_or_assign(std::string(key), value);
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
  frames_.back().values.insert_or_assign(std::string(key), value);
}

void KeyedArchiver::encodeFloat(float value, std::string_view key) {
  frames_.back().values.insert_or_assign(std::string(key), static_cast<double>(value));
}

Data KeyedArchiver::encodedData() {
  PropertyList::Dictionary archive{{"$archiver", "NSKeyedArchiver"},
                                   {"$version", kArchiveVersion},
                                   {"$top", frames_.front().values},
                                   {"$objects", objects_}};
  Error error;
  auto bytes = PropertyList(std::move(archive)).write(PropertyList::Format::Binary, &error);
  // The archive nests only a few levels deep, so writing cannot fail on depth.
  if (!bytes) throw std::runtime_error(error.description);
  return *bytes;
}

}  // namespace platform
