#include "platform/KeyedUnarchiver.h"

#include <cmath>
#include <limits>

namespace platform {

namespace {

constexpr std::int64_t kCoderReadCorruptError = 4864;
// Every value costs this much besides its bytes when the decoder accounts for copies.
constexpr std::uint64_t kValueCost = 16;

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* candidate : names) {
    if (name == candidate) return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ClassRegistry

ClassRegistry& ClassRegistry::shared() {
  static ClassRegistry registry;
  return registry;
}

void ClassRegistry::registerClass(const std::string& name, Factory factory) {
  std::lock_guard lock(mutex_);
  factories_.insert_or_assign(name, std::move(factory));
}

ClassRegistry::Factory ClassRegistry::factoryForClass(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = factories_.find(name);
  return it == factories_.end() ? Factory() : it->second;
}

// ---------------------------------------------------------------------------------------------
// KeyedUnarchiver

// Marks an archive entry as being decoded and the decoder one level deeper, undoing both on the
// way out, also when a decoder below raises and a caller above carries on.
class KeyedUnarchiver::Scope {
 public:
  Scope(KeyedUnarchiver& owner, std::uint64_t uid) : owner_(owner), uid_(uid) {
    if (owner_.decoding_[uid_]) throw DecodingError("The archive's objects refer to themselves");
    owner_.decoding_[uid_] = true;
    if (++owner_.depth_ > kMaxDepth) {
      owner_.decoding_[uid_] = false;
      --owner_.depth_;
      throw DecodingError("The archive's objects nest too deeply");
    }
  }
  ~Scope() {
    owner_.decoding_[uid_] = false;
    --owner_.depth_;
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  KeyedUnarchiver& owner_;
  std::uint64_t uid_;
};

KeyedUnarchiver::KeyedUnarchiver(const Data& data, const ClassRegistry& registry) : registry_(registry) {
  Error error;
  auto archive = PropertyList::read(data, &error);
  if (!archive) throw DecodingError(error.description);
  archive_ = std::move(*archive);
  const PropertyList* archiver = archive_.find("$archiver");
  const PropertyList* objects = archive_.find("$objects");
  const PropertyList* top = archive_.find("$top");
  if (!archive_.asDictionary() || !archiver || !archiver->asString() || *archiver->asString() != "NSKeyedArchiver") {
    throw DecodingError("The data is not a keyed archive");
  }
  if (!objects || !objects->asArray() || !top || !top->asDictionary()) {
    throw DecodingError("The keyed archive has no object table");
  }
  objects_ = objects->asArray();
  cache_.resize(objects_->size());
  decoding_.resize(objects_->size(), false);
  frames_.push_back(Frame{top->asDictionary(), {}, 0});
  // Copies of shared values may multiply the archive's size only so far.
  budget_ = 64 * static_cast<std::uint64_t>(data.size()) + (std::uint64_t(1) << 20);
}

ArchiveObject KeyedUnarchiver::unarchiveObjectWithData(const Data& data, const ClassRegistry& registry) {
  KeyedUnarchiver unarchiver(data, registry);
  if (!unarchiver.containsValueForKey("root")) throw DecodingError("The keyed archive has no root object");
  return unarchiver.decodeObjectForKey("root");
}

ArchiveObject KeyedUnarchiver::unarchiveTopLevelObjectWithData(const Data& data, Error* error,
                                                               const ClassRegistry& registry) {
  try {
    return unarchiveObjectWithData(data, registry);
  } catch (const std::exception& e) {
    fail(error, Error::make(kCocoaErrorDomain, kCoderReadCorruptError, e.what()));
    return ArchiveObject();
  }
}

void KeyedUnarchiver::throwWrongType(std::string_view key, std::string_view expected) const {
  throw DecodingError("The value for key " + inQuotes(key) + " is not " + std::string(expected));
}

const PropertyList* KeyedUnarchiver::valueForKey(std::string_view key) const {
  const auto& values = *frames_.back().values;
  auto it = values.find(key);
  return it == values.end() ? nullptr : &it->second;
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return valueForKey(key) != nullptr; }

const std::vector<std::string>& KeyedUnarchiver::classesOfCurrentObject() const { return frames_.back().classes; }

ArchiveObject KeyedUnarchiver::decodeUID(std::uint64_t uid, std::uint64_t* cost) {
  if (uid >= objects_->size()) throw DecodingError("The keyed archive refers to a missing object");
  if (cache_[uid]) {
    // A second reference copies the value; objects of our classes are shared, not copied.
    std::uint64_t copyCost = cache_[uid]->cost;
    if (copyCost > budget_) throw DecodingError("The keyed archive's shared values expand beyond its size");
    budget_ -= copyCost;
    *cost = copyCost;
    return cache_[uid]->object;
  }
  ArchiveObject object;
  {
    Scope scope(*this, uid);
    object = decodeEntry(uid, cost);
  }
  cache_[uid] = Cached{object, object.kind() == ArchiveObject::Kind::Object ? 1 : *cost};
  return object;
}

ArchiveObject KeyedUnarchiver::decodeEntry(std::uint64_t uid, std::uint64_t* cost) {
  const PropertyList& entry = (*objects_)[uid];
  *cost = kValueCost;
  switch (entry.type()) {
    case PropertyList::Type::String:
      if (uid == 0 && *entry.asString() == "$null") return ArchiveObject();
      *cost += entry.asString()->size();
      return ArchiveObject(*entry.asString());
    case PropertyList::Type::Integer:
      return ArchiveObject(*entry.asInteger());
    case PropertyList::Type::Real:
      return ArchiveObject(*entry.asReal());
    case PropertyList::Type::Boolean:
      return ArchiveObject(*entry.asBoolean());
    case PropertyList::Type::Data:
      *cost += entry.asData()->size();
      return ArchiveObject(*entry.asData());
    case PropertyList::Type::Date:
      return ArchiveObject(*entry.asDate());
    case PropertyList::Type::Dictionary:
      break;
    default:
      throw DecodingError("The keyed archive holds an object of no known form");
  }
  const PropertyList::Dictionary& values = *entry.asDictionary();
  const PropertyList* classRef = entry.find("$class");
  if (!classRef || !classRef->asUID() || classRef->asUID()->value >= objects_->size()) {
    throw DecodingError("An archived object has no class");
  }
  const PropertyList& record = (*objects_)[classRef->asUID()->value];
  const PropertyList* className = record.find("$classname");
  if (!className || !className->asString()) throw DecodingError("An archived class record has no name");
  std::vector<std::string> chain{*className->asString()};
  if (const PropertyList* classes = record.find("$classes")) {
    if (!classes->asArray()) throw DecodingError("An archived class record is damaged");
    for (const auto& name : *classes->asArray()) {
      if (!name.asString()) throw DecodingError("An archived class record is damaged");
      if (*name.asString() != chain.front()) chain.push_back(*name.asString());
    }
  }
  for (const auto& name : chain) {
    bool handled = false;
    ArchiveObject object = decodeStandard(name, values, cost, &handled);
    if (handled) return object;
    if (auto factory = registry_.factoryForClass(name)) {
      frames_.push_back(Frame{&values, chain, 0});
      struct Pop {
        std::vector<Frame>& frames;
        ~Pop() { frames.pop_back(); }
      } pop{frames_};
      std::shared_ptr<Coding> decoded = factory(*this);
      *cost = 1;
      return decoded ? ArchiveObject(decoded) : ArchiveObject();
    }
  }
  throw DecodingError("The keyed archive holds an object of the unknown class " + inQuotes(chain.front()));
}

ArchiveObject KeyedUnarchiver::decodeStandard(const std::string& name, const PropertyList::Dictionary& values,
                                              std::uint64_t* cost, bool* handled) {
  auto field = [&](const char* key) -> const PropertyList* {
    auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
  };
  auto refs = [&](const char* key) -> const PropertyList::Array& {
    const PropertyList* list = field(key);
    if (!list || !list->asArray()) throw DecodingError("An archived " + name + " has no " + key);
    for (const auto& item : *list->asArray()) {
      if (!item.asUID()) throw DecodingError("An archived " + name + " holds a value that is not a reference");
    }
    return *list->asArray();
  };
  auto member = [&](const PropertyList& ref) {
    std::uint64_t memberCost = 0;
    ArchiveObject object = decodeUID(ref.asUID()->value, &memberCost);
    *cost += memberCost;
    if (object.isNil()) throw DecodingError("An archived " + name + " holds nil");
    return object;
  };
  *handled = true;
  if (isOneOf(name, {"NSArray", "NSMutableArray"})) {
    const auto& objects = refs("NS.objects");
    ArchiveObject::Array array;
    array.reserve(objects.size());
    for (const auto& ref : objects) array.push_back(member(ref));
    return ArchiveObject(std::move(array));
  }
  if (isOneOf(name, {"NSDictionary", "NSMutableDictionary"})) {
    const auto& keys = refs("NS.keys");
    const auto& objects = refs("NS.objects");
    if (keys.size() != objects.size()) throw DecodingError("An archived dictionary has unpaired keys");
    ArchiveObject::Dictionary dictionary;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ArchiveObject key = member(keys[i]);
      if (!key.asString()) throw DecodingError("An archived dictionary has a key that is not a string");
      dictionary.insert_or_assign(*key.asString(), member(objects[i]));
    }
    return ArchiveObject(std::move(dictionary));
  }
  if (isOneOf(name, {"NSString", "NSMutableString"})) {
    const PropertyList* text = field("NS.string");
    if (!text || !text->asString()) throw DecodingError("An archived string has no text");
    *cost += text->asString()->size();
    return ArchiveObject(*text->asString());
  }
  if (isOneOf(name, {"NSData", "NSMutableData"})) {
    const PropertyList* bytes = field("NS.data");
    if (!bytes || !bytes->asData()) throw DecodingError("An archived data object has no bytes");
    *cost += bytes->asData()->size();
    return ArchiveObject(*bytes->asData());
  }
  if (name == "NSDate") {
    const PropertyList* time = field("NS.time");
    if (time && time->asReal()) return ArchiveObject(Date::fromTimeIntervalSinceReferenceDate(*time->asReal()));
    if (time && time->asInteger()) {
      return ArchiveObject(Date::fromTimeIntervalSinceReferenceDate(static_cast<double>(*time->asInteger())));
    }
    throw DecodingError("An archived date has no time");
  }
  if (name == "NSUUID") {
    const PropertyList* bytes = field("NS.uuidbytes");
    if (!bytes || !bytes->asData() || bytes->asData()->size() != 16) {
      throw DecodingError("An archived UUID does not hold 16 bytes");
    }
    UUIDBytes uuid;
    std::copy(bytes->asData()->begin(), bytes->asData()->end(), uuid.bytes.begin());
    return ArchiveObject(uuid);
  }
  if (name == "NSNull") return ArchiveObject(Null{});
  if (name == Color::kClassName) {
    auto component = [&](const char* key) -> std::optional<double> {
      const PropertyList* value = field(key);
      if (!value) return std::nullopt;
      if (value->asReal()) return *value->asReal();
      if (value->asInteger()) return static_cast<double>(*value->asInteger());
      throw DecodingError("An archived colour has a component that is not a number");
    };
    auto red = component("red"), green = component("green"), blue = component("blue");
    if (red && green && blue) return ArchiveObject(Color{*red, *green, *blue, component("alpha").value_or(1.0)});
    // The text form "r g b [a]" of device and calibrated RGB colours written elsewhere.
    if (const PropertyList* rgb = field("NSRGB"); rgb && rgb->asData()) {
      std::string text(rgb->asData()->begin(), rgb->asData()->end());
      double parts[4] = {0, 0, 0, 1};
      const char* p = text.c_str();
      int count = 0;
      for (; count < 4; ++count) {
        char* end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p) break;
        parts[count] = v;
        p = end;
      }
      if (count >= 3) return ArchiveObject(Color{parts[0], parts[1], parts[2], parts[3]});
    }
    throw DecodingError("An archived colour has no RGB components");
  }
  *handled = false;
  return ArchiveObject();
}

ArchiveObject KeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  const PropertyList* value = valueForKey(key);
  if (!value) return ArchiveObject();
  if (!value->asUID()) throwWrongType(key, "an object reference");
  std::uint64_t cost = 0;
  return decodeUID(value->asUID()->value, &cost);
}

ArchiveObject KeyedUnarchiver::decodeObject() {
  std::string key = "$" + std::to_string(frames_.back().unkeyed++);
  return decodeObjectForKey(key);
}

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asString()) throwWrongType(key, "a string");
  return *object.asString();
}

std::optional<Data> KeyedUnarchiver::decodeDataForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asData()) throwWrongType(key, "data");
  return *object.asData();
}

std::optional<Date> KeyedUnarchiver::decodeDateForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asDate()) throwWrongType(key, "a date");
  return *object.asDate();
}

std::optional<Color> KeyedUnarchiver::decodeColorForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asColor()) throwWrongType(key, "a colour");
  return *object.asColor();
}

std::optional<UUIDBytes> KeyedUnarchiver::decodeUUIDForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asUUID()) throwWrongType(key, "a UUID");
  return *object.asUUID();
}

std::optional<ArchiveObject::Array> KeyedUnarchiver::decodeArrayForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asArray()) throwWrongType(key, "an array");
  return *object.asArray();
}

std::optional<ArchiveObject::Dictionary> KeyedUnarchiver::decodeDictionaryForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.asDictionary()) throwWrongType(key, "a dictionary");
  return *object.asDictionary();
}

std::optional<ArchiveObject> KeyedUnarchiver::decodeNumberForKey(std::string_view key) {
  ArchiveObject object = decodeObjectForKey(key);
  if (object.isNil()) return std::nullopt;
  if (!object.isNumber()) throwWrongType(key, "a number");
  return object;
}

std::optional<ArchiveObject> KeyedUnarchiver::scalarForKey(std::string_view key) {
  const PropertyList* value = valueForKey(key);
  if (!value) return std::nullopt;
  switch (value->type()) {
    case PropertyList::Type::Boolean:
      return ArchiveObject(*value->asBoolean());
    case PropertyList::Type::Integer:
      return ArchiveObject(*value->asInteger());
    case PropertyList::Type::Real:
      return ArchiveObject(*value->asReal());
    case PropertyList::Type::UID:
      // A number written as an object reads as the scalar it holds.
      return decodeNumberForKey(key);
    default:
      throwWrongType(key, "a number");
  }
}

bool KeyedUnarchiver::decodeBoolForKey(std::string_view key) {
  auto value = scalarForKey(key);
  return value ? value->boolValue().value_or(false) : false;
}

std::int64_t KeyedUnarchiver::decodeInt64ForKey(std::string_view key) {
  auto value = scalarForKey(key);
  if (!value) return 0;
  if (auto real = value->asReal()) {
    if (!(*real > -9.2233720368547758e18 && *real < 9.2233720368547758e18)) {
      throwWrongType(key, "a number within the range of a 64-bit integer");
    }
  }
  return value->integerValue().value_or(0);
}

std::int32_t KeyedUnarchiver::decodeInt32ForKey(std::string_view key) {
  std::int64_t value = decodeInt64ForKey(key);
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    throwWrongType(key, "a number within the range of a 32-bit integer");
  }
  return static_cast<std::int32_t>(value);
}

double KeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
  auto value = scalarForKey(key);
  return value ? value->doubleValue().value_or(0.0) : 0.0;
}

float KeyedUnarchiver::decodeFloatForKey(std::string_view key) {
  double value = decodeDoubleForKey(key);
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace platform
