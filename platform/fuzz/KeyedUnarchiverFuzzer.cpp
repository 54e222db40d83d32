// Feeds arbitrary bytes to the keyed unarchiver, with a class of our own that reads its values
// in every typed way, as the application's classes do. Whatever decodes must archive again and
// decode from that archive.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"

using namespace platform;

namespace {

struct FuzzObject : Coding {
  ArchiveObject::Dictionary values;
  ArchiveObject first, second;

  std::vector<std::string> classesForCoder() const override { return {"QVFuzzObject"}; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    for (const auto& [key, value] : values) coder.encodeObject(value, key);
    coder.encodeObject(first);
    coder.encodeObject(second);
  }

  static std::shared_ptr<FuzzObject> initWithCoder(KeyedUnarchiver& coder) {
    auto object = std::make_shared<FuzzObject>();
    const char* keys[] = {"name", "items", "color", "child", "value"};
    for (const char* key : keys) {
      // Each reader on its own: a fault in one must leave the coder usable for the next.
      auto attempt = [&](auto&& read) {
        try {
          read();
        } catch (const DecodingError&) {
        }
      };
      attempt([&] { coder.decodeBoolForKey(key); });
      attempt([&] { coder.decodeInt32ForKey(key); });
      attempt([&] { coder.decodeInt64ForKey(key); });
      attempt([&] { coder.decodeFloatForKey(key); });
      attempt([&] { coder.decodeStringForKey(key); });
      attempt([&] { coder.decodeDateForKey(key); });
      attempt([&] { coder.decodeColorForKey(key); });
      attempt([&] { coder.decodeArrayOfObjectsOfClass<FuzzObject>(key); });
      attempt([&] { coder.decodeObjectOfClass<FuzzObject>(key); });
      attempt([&] {
        ArchiveObject value = coder.decodeObjectForKey(key);
        if (!value.isNil()) object->values.insert_or_assign(key, value);
      });
    }
    object->first = coder.decodeObject();
    object->second = coder.decodeObject();
    return object;
  }
};

ClassRegistry& registry() {
  static ClassRegistry* r = [] {
    auto* out = new ClassRegistry;
    out->registerClass<FuzzObject>("QVFuzzObject");
    out->registerClass<FuzzObject>("QVTestGroup");
    out->registerClass<FuzzObject>("QVTestItem");
    return out;
  }();
  return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  ArchiveObject root;
  try {
    root = KeyedUnarchiver::unarchiveObjectWithData(bytes, registry());
  } catch (const DecodingError&) {
    return 0;
  }
  Data again = KeyedArchiver::archivedDataWithRootObject(root);
  try {
    KeyedUnarchiver::unarchiveObjectWithData(again, registry());
  } catch (const DecodingError& e) {
    // Copies of shared values are limited by each archive's own size, which may differ.
    if (!std::strstr(e.what(), "expand beyond")) std::abort();
  }
  return 0;
}
