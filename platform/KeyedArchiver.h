#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/ArchiveObject.h"
#include "platform/Data.h"
#include "platform/PropertyList.h"

namespace platform {

// Writes the keyed-archive format as a binary property list: a dictionary with "$archiver"
// "NSKeyedArchiver", "$version" 100000, "$top" (the keyed values encoded on the archiver itself;
// "root" for a root object) and "$objects", whose first entry is "$null" (nil). Every object is
// stored once in "$objects" and referenced by UID; an object of our classes is a dictionary of
// its keyed values whose "$class" points to a class record {"$classname", "$classes"}.
//
// Standard objects: strings, numbers and data are stored as they are; arrays as "NSArray" with
// "NS.objects"; dictionaries as "NSDictionary" with "NS.keys" and "NS.objects"; dates as "NSDate"
// with "NS.time" (seconds since 2001); UUIDs as "NSUUID" with "NS.uuidbytes"; the null marker as
// "NSNull"; colours as "NSColor" with "NSColorSpace" 2 and the reals "red", "green", "blue" and
// "alpha".
//
// One archiver writes one archive: encode, then take encodedData().
class KeyedArchiver {
 public:
  KeyedArchiver();
  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;

  // The archive of `root` under the top key "root".
  static Data archivedDataWithRootObject(const ArchiveObject& root);

  // Keyed values of the object being encoded (of "$top" outside encodeWithCoder). Nil is
  // written as a reference to "$null" and reads back as nil.
  void encodeObject(const ArchiveObject& object, std::string_view key);
  // The next unkeyed value of the object being encoded (stored under "$0", "$1", ...).
  void encodeObject(const ArchiveObject& object);
  void encodeBool(bool value, std::string_view key);
  void encodeInt32(std::int32_t value, std::string_view key);
  void encodeInt64(std::int64_t value, std::string_view key);
  void encodeInteger(std::int64_t value, std::string_view key) { encodeInt64(value, key); }
  void encodeDouble(double value, std::string_view key);
  void encodeFloat(float value, std::string_view key);

  // Finishes the archive and returns its bytes.
  Data encodedData();

 private:
  struct Frame {
    PropertyList::Dictionary values;
    std::uint64_t unkeyed = 0;
  };

  std::uint64_t uidFor(const ArchiveObject& object);
  std::uint64_t classUID(const std::vector<std::string>& classes);
  std::uint64_t append(PropertyList entry);
  std::uint64_t reserve();

  PropertyList::Array objects_;
  std::vector<Frame> frames_;
  std::map<std::string, std::uint64_t, std::less<>> strings_;
  std::map<std::tuple<int, std::uint64_t>, std::uint64_t> numbers_;
  std::map<std::string, std::uint64_t, std::less<>> classes_;
  std::map<const Coding*, std::uint64_t> objectsByIdentity_;
  std::uint64_t nullUID_ = 0;
};

}  // namespace platform
