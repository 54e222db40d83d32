// Property lists through libplist, with the structural checks that keep hostile input from
// reaching the library's recursive and copying parsers unchecked.
#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/Utf8.h"

namespace platform {

namespace {

Error readError(const std::string& why) {
  return Error::make(kCocoaErrorDomain, kPropertyListReadCorruptError, "The property list could not be read: " + why);
}

Error writeError(const std::string& why) {
  return Error::make(kCocoaErrorDomain, kPropertyListWriteInvalidError, "The property list could not be written: " + why);
}

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// ---------------------------------------------------------------------------------------------
// Checks on the raw bytes

// The deepest nesting of <array> and <dict> elements in XML text. It may count more than the
// parser would (unknown tags that start alike, unbalanced input), never less, which is the safe
// side: the parser recurses once per level.
bool xmlNestingWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t i = 0;
  auto startsWith = [&](std::size_t at, std::string_view prefix) {
    return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
  };
  while (i < text.size()) {
    std::size_t lt = text.find('<', i);
    if (lt == std::string_view::npos) break;
    if (startsWith(lt, "<!--")) {
      std::size_t end = text.find("-->", lt + 4);
      if (end == std::string_view::npos) break;
      i = end + 3;
      continue;
    }
    if (startsWith(lt, "<![CDATA[")) {
      std::size_t end = text.find("]]>", lt + 9);
      if (end == std::string_view::npos) break;
      i = end + 3;
      continue;
    }
    bool closing = startsWith(lt, "</");
    std::size_t nameStart = lt + (closing ? 2 : 1);
    bool container = startsWith(nameStart, "array") || startsWith(nameStart, "dict");
    std::size_t gt = text.find('>', nameStart);
    if (gt == std::string_view::npos) break;
    if (container) {
      bool selfClosing = text[gt - 1] == '/';
      if (closing) {
        if (depth > 0) --depth;
      } else if (!selfClosing) {
        if (++depth > limit) return false;
      }
    }
    i = gt + 1;
  }
  return true;
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

// Walks the object graph of a binary property list from its top object without recursion and
// refuses what the format library would mishandle: offsets and references outside the data,
// cycles, nesting deeper than the limit, and sharing that would expand the tree (the library
// copies a shared object at every reference) beyond a small multiple of the input's size.
bool binaryStructureIsSound(const std::uint8_t* data, std::size_t size, std::string* why) {
  constexpr std::size_t kTrailer = 32;
  constexpr std::size_t kHeader = 8;
  if (size < kHeader + kTrailer + 1) {
    *why = "the data is truncated";
    return false;
  }
  const std::uint8_t* trailer = data + size - kTrailer;
  std::size_t offsetSize = trailer[6];
  std::size_t refSize = trailer[7];
  std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  std::uint64_t topObject = readBigEndian(trailer + 16, 8);
  std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  std::size_t tableEnd = size - kTrailer;
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) {
    *why = "the trailer is damaged";
    return false;
  }
  if (tableOffset < kHeader || tableOffset >= tableEnd || objectCount == 0 ||
      objectCount > (tableEnd - tableOffset) / offsetSize || topObject >= objectCount) {
    *why = "the object table is damaged";
    return false;
  }
  const std::size_t count = static_cast<std::size_t>(objectCount);
  const std::size_t objectsEnd = static_cast<std::size_t>(tableOffset);
  auto offsetOf = [&](std::size_t index) {
    return readBigEndian(data + objectsEnd + index * offsetSize, offsetSize);
  };

  // A container's children: `refCount` references of `refSize` bytes starting at `refs`.
  struct Children {
    std::size_t refs = 0;
    std::size_t refCount = 0;
    std::size_t keyCount = 0;  // a dictionary's references start with its keys
    std::uint64_t payload = 0;
    bool valid = false;
  };
  // An object's kind, its length and where its contents start; false when the header does not
  // fit the data.
  auto header = [&](std::size_t index, std::uint8_t& kind, std::uint64_t& length, std::size_t& pos) {
    std::uint64_t offset = offsetOf(index);
    if (offset < kHeader || offset >= objectsEnd) return false;
    pos = static_cast<std::size_t>(offset);
    std::uint8_t marker = data[pos++];
    kind = marker >> 4;
    length = marker & 0x0F;
    bool sized = kind == 0x4 || kind == 0x5 || kind == 0x6 || kind == 0x7 || kind == 0xA || kind == 0xB ||
                 kind == 0xC || kind == 0xD;
    if (sized && length == 0x0F) {
      if (pos >= objectsEnd) return false;
      std::uint8_t intMarker = data[pos++];
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
      std::size_t intSize = std::size_t(1) << (intMarker & 0x0F);
      if (objectsEnd - pos < intSize) return false;
      length = readBigEndian(data + pos, intSize);
      pos += intSize;
    }
    return true;
  };
  // Dictionary keys must be strings without NUL characters: the library aborts the process on a
  // key whose length disagrees with its C string.
  auto acceptableKey = [&](std::size_t index) {
    std::uint8_t kind = 0;
    std::uint64_t length = 0;
    std::size_t pos = 0;
    if (!header(index, kind, length, pos)) return false;
    std::size_t remaining = objectsEnd - pos;
    if (kind == 0x5 || kind == 0x7) {
      if (length > remaining) return false;
      return std::memchr(data + pos, 0, static_cast<std::size_t>(length)) == nullptr;
    }
    if (kind == 0x6) {
      if (length > remaining / 2) return false;
      for (std::size_t i = 0; i < length; ++i) {
        if (data[pos + 2 * i] == 0 && data[pos + 2 * i + 1] == 0) return false;
      }
      return true;
    }
    return false;
  };
  auto inspect = [&](std::size_t index) {
    Children out;
    std::uint8_t kind = 0;
    std::uint64_t length = 0;
    std::size_t pos = 0;
    if (!header(index, kind, length, pos)) return out;
    std::size_t remaining = objectsEnd - pos;
    switch (kind) {
      case 0xA:
      case 0xB:
      case 0xC:
      case 0xD: {
        std::uint64_t refs = kind == 0xD ? length * 2 : length;
        if (length > remaining || refs > remaining / refSize) return out;
        out.refs = pos;
        out.refCount = static_cast<std::size_t>(refs);
        out.keyCount = kind == 0xD ? static_cast<std::size_t>(length) : 0;
        break;
      }
      case 0x4:
      case 0x5:
      case 0x7:
        if (length > remaining) return out;
        out.payload = length;
        break;
      case 0x6:
        if (length > remaining / 2) return out;
        out.payload = length * 3;  // UTF-16 units become up to three UTF-8 bytes each
        break;
      default:
        out.payload = 8;
        break;
    }
    out.valid = true;
    return out;
  };

  const std::uint64_t nodeLimit = 8 * static_cast<std::uint64_t>(size) + 1024;
  const std::uint64_t byteLimit = 8 * static_cast<std::uint64_t>(size) + 65536;
  enum : std::uint8_t { kUnseen, kOpen, kDone };
  std::vector<std::uint8_t> state(count, kUnseen);
  std::vector<std::uint64_t> nodes(count, 0), bytes(count, 0);
  std::vector<std::uint16_t> depth(count, 0);
  struct Frame {
    std::size_t index;
    Children children;
    std::size_t next;
  };
  std::vector<Frame> stack;
  auto push = [&](std::size_t index) {
    Children children = inspect(index);
    if (!children.valid) {
      *why = "an object is damaged";
      return false;
    }
    if (stack.size() >= PropertyList::kMaxDepth) {
      *why = "the objects nest too deeply";
      return false;
    }
    state[index] = kOpen;
    nodes[index] = 1;
    bytes[index] = children.payload;
    depth[index] = 1;
    stack.push_back(Frame{index, children, 0});
    return true;
  };
  if (!push(static_cast<std::size_t>(topObject))) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.children.refCount) {
      std::size_t done = frame.index;
      state[done] = kDone;
      stack.pop_back();
      if (!stack.empty()) {
        std::size_t parent = stack.back().index;
        nodes[parent] = std::min(nodes[parent] + nodes[done], nodeLimit + 1);
        bytes[parent] = std::min(bytes[parent] + bytes[done], byteLimit + 1);
        depth[parent] = std::max<std::uint16_t>(depth[parent], static_cast<std::uint16_t>(depth[done] + 1));
        if (nodes[parent] > nodeLimit || bytes[parent] > byteLimit) {
          *why = "shared objects expand beyond the data's size";
          return false;
        }
        if (depth[parent] > PropertyList::kMaxDepth) {
          *why = "the objects nest too deeply";
          return false;
        }
      }
      continue;
    }
    std::uint64_t child = readBigEndian(data + frame.children.refs + frame.next * refSize, refSize);
    bool isKey = frame.next < frame.children.keyCount;
    ++frame.next;
    if (child >= count) {
      *why = "a reference points outside the object table";
      return false;
    }
    std::size_t c = static_cast<std::size_t>(child);
    if (isKey && !acceptableKey(c)) {
      *why = "a dictionary key is not a string or holds a NUL character";
      return false;
    }
    if (state[c] == kOpen) {
      *why = "the objects refer to themselves";
      return false;
    }
    if (state[c] == kDone) {
      std::size_t parent = frame.index;
      nodes[parent] = std::min(nodes[parent] + nodes[c], nodeLimit + 1);
      bytes[parent] = std::min(bytes[parent] + bytes[c], byteLimit + 1);
      depth[parent] = std::max<std::uint16_t>(depth[parent], static_cast<std::uint16_t>(depth[c] + 1));
      if (nodes[parent] > nodeLimit || bytes[parent] > byteLimit) {
        *why = "shared objects expand beyond the data's size";
        return false;
      }
      if (depth[parent] > PropertyList::kMaxDepth) {
        *why = "the objects nest too deeply";
        return false;
      }
      continue;
    }
    if (!push(c)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Dates: libplist's accessors carry 32-bit seconds since 2001. Values outside that range go
// through the library's XML date text, which holds whole seconds over the full range.

constexpr double kInt32Min = -2147483648.0;
constexpr double kInt32Max = 2147483647.0;

std::optional<double> dateSecondsFromXML(plist_t node) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (!xml) return std::nullopt;
  std::string text(xml, length);
  std::free(xml);
  std::size_t start = text.find("<date>");
  std::size_t end = text.find("</date>");
  if (start == std::string::npos || end == std::string::npos || end < start) return std::nullopt;
  auto date = Date::fromISO8601(text.substr(start + 6, end - start - 6));
  if (!date) return std::nullopt;
  return date->timeIntervalSinceReferenceDate();
}

Date readDate(plist_t node) {
  std::int32_t seconds = 0, micros = 0;
  plist_get_date_val(node, &seconds, &micros);
  if (seconds == std::numeric_limits<std::int32_t>::min()) {
    // The library saturates seconds it cannot hold in 32 bits.
    if (auto whole = dateSecondsFromXML(node)) return Date::fromTimeIntervalSinceReferenceDate(*whole);
  }
  // The library splits a negative time into truncated seconds and the fraction's magnitude.
  double value = seconds < 0 ? seconds - micros / 1e6 : seconds + micros / 1e6;
  return Date::fromTimeIntervalSinceReferenceDate(value);
}

plist_t newDate(const Date& date) {
  double value = date.timeIntervalSinceReferenceDate();
  if (std::isnan(value)) value = 0;
  double whole = std::floor(value);
  if (whole >= kInt32Min && whole <= kInt32Max) {
    // The library keeps the date as one double and truncates when it splits it again, so the
    // nearest microsecond may read back one off far from 2001. Of the neighbouring microseconds,
    // take the one that reads back closest: a date read from a file then writes unchanged.
    auto micros = static_cast<std::int32_t>(std::llround((value - whole) * 1e6));
    plist_t best = nullptr;
    double bestError = 0;
    for (std::int32_t candidate = micros - 2; candidate <= micros + 2; ++candidate) {
      if (candidate < 0 || candidate > 999999) continue;
      plist_t node = plist_new_date(static_cast<std::int32_t>(whole), candidate);
      double error = std::fabs(readDate(node).timeIntervalSinceReferenceDate() - value);
      if (!best || error < bestError) {
        if (best) plist_free(best);
        best = node;
        bestError = error;
      } else {
        plist_free(node);
      }
    }
    return best;
  }
  // Outside the 32-bit range the library takes a date only from XML text, in whole seconds.
  // Years are kept within four digits, which the XML date form allows.
  Date clamped = Date::fromTimeIntervalSinceReferenceDate(whole);
  if (clamped < Date::distantPast()) clamped = Date::distantPast();
  if (clamped > Date::fromISO8601("9999-12-31T23:59:59Z").value()) {
    clamped = Date::fromISO8601("9999-12-31T23:59:59Z").value();
  }
  std::string xml = "<plist version=\"1.0\"><date>" + clamped.iso8601() + "</date></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  if (node && plist_get_node_type(node) == PLIST_DATE) return node;
  if (node) plist_free(node);
  return plist_new_date(whole < 0 ? std::numeric_limits<std::int32_t>::min() : std::numeric_limits<std::int32_t>::max(), 0);
}

// ---------------------------------------------------------------------------------------------
// Conversion between libplist nodes and values

bool fromNode(plist_t node, bool xmlUIDs, std::size_t depth, PropertyList& out, std::string* why) {
  if (depth > PropertyList::kMaxDepth) {
    *why = "the objects nest too deeply";
    return false;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      out = PropertyList(value != 0);
      return true;
    }
    case PLIST_UINT: {
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      out = PropertyList(static_cast<std::int64_t>(value));
      return true;
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      out = PropertyList(value);
      return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      out = PropertyList(text ? std::string(text, static_cast<std::size_t>(length)) : std::string());
      return true;
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      out = PropertyList(bytes ? Data(bytes, bytes + length) : Data());
      return true;
    }
    case PLIST_DATE:
      out = PropertyList(readDate(node));
      return true;
    case PLIST_UID: {
      std::uint64_t value = 0;
      plist_get_uid_val(node, &value);
      out = PropertyList(PropertyList::UID{value});
      return true;
    }
    case PLIST_ARRAY: {
      PropertyList::Array array;
      std::uint32_t count = plist_array_get_size(node);
      array.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        PropertyList item;
        if (!fromNode(plist_array_get_item(node, i), xmlUIDs, depth + 1, item, why)) return false;
        array.push_back(std::move(item));
      }
      out = PropertyList(std::move(array));
      return true;
    }
    case PLIST_DICT: {
      PropertyList::Dictionary dictionary;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      bool ok = true;
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &key, &value);
        if (!value) {
          std::free(key);
          break;
        }
        PropertyList item;
        ok = key && fromNode(value, xmlUIDs, depth + 1, item, why);
        if (ok) dictionary.insert_or_assign(std::string(key), std::move(item));
        std::free(key);
        if (!ok) break;
      }
      std::free(iter);
      if (!ok) {
        if (why->empty()) *why = "a dictionary key is damaged";
        return false;
      }
      // XML has no UID element; keyed archives write a one-key dictionary instead.
      if (xmlUIDs && dictionary.size() == 1) {
        auto it = dictionary.find("CF$UID");
        if (it != dictionary.end() && it->second.asInteger() && *it->second.asInteger() >= 0) {
          out = PropertyList(PropertyList::UID{static_cast<std::uint64_t>(*it->second.asInteger())});
          return true;
        }
      }
      out = PropertyList(std::move(dictionary));
      return true;
    }
    default:
      *why = "an object has an unknown type";
      return false;
  }
}

plist_t toNode(const PropertyList& value, std::size_t depth, std::string* why) {
  if (depth > PropertyList::kMaxDepth) {
    *why = "the value nests too deeply";
    return nullptr;
  }
  switch (value.type()) {
    case PropertyList::Type::Dictionary: {
      // Keys are written in the order of their written form, so that writing what was read
      // back gives the same bytes even where a key had to be repaired.
      std::vector<std::pair<std::string, const PropertyList*>> entries;
      for (const auto& [key, item] : *value.asDictionary()) entries.emplace_back(utf8::sanitized(key), &item);
      std::stable_sort(entries.begin(), entries.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : entries) {
        plist_t child = toNode(*item, depth + 1, why);
        if (!child) {
          plist_free(dict);
          return nullptr;
        }
        plist_dict_set_item(dict, key.c_str(), child);
      }
      return dict;
    }
    case PropertyList::Type::Array: {
      plist_t array = plist_new_array();
      for (const auto& item : *value.asArray()) {
        plist_t child = toNode(item, depth + 1, why);
        if (!child) {
          plist_free(array);
          return nullptr;
        }
        plist_array_append_item(array, child);
      }
      return array;
    }
    case PropertyList::Type::String:
      return plist_new_string(utf8::sanitized(*value.asString()).c_str());
    case PropertyList::Type::Integer:
      return plist_new_uint(static_cast<std::uint64_t>(*value.asInteger()));
    case PropertyList::Type::Real:
      return plist_new_real(*value.asReal());
    case PropertyList::Type::Boolean:
      return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case PropertyList::Type::Date:
      return newDate(*value.asDate());
    case PropertyList::Type::Data: {
      const Data& data = *value.asData();
      return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case PropertyList::Type::UID:
      return plist_new_uid(value.asUID()->value);
  }
  return nullptr;
}

constexpr std::string_view kBinarySignature = "bplist00";

}  // namespace

const PropertyList* PropertyList::find(std::string_view key) const {
  const Dictionary* dictionary = asDictionary();
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

std::optional<PropertyList> PropertyList::read(std::string_view bytes, Error* error, Format* format) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    fail(error, readError("the data is larger than 4 GiB"));
    return std::nullopt;
  }
  bool binary = bytes.substr(0, kBinarySignature.size()) == kBinarySignature;
  std::string why;
  if (binary) {
    if (!binaryStructureIsSound(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &why)) {
      fail(error, readError(why));
      return std::nullopt;
    }
  } else if (!xmlNestingWithin(bytes, kMaxDepth)) {
    fail(error, readError("the objects nest too deeply"));
    return std::nullopt;
  }
  plist_t raw = nullptr;
  if (binary) {
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  } else if (!bytes.empty()) {
    plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  }
  PlistPtr root(raw);
  if (!root) {
    fail(error, readError(bytes.empty() ? "the data is empty" : "the data is not a well-formed property list"));
    return std::nullopt;
  }
  PropertyList out;
  if (!fromNode(root.get(), !binary, 0, out, &why)) {
    fail(error, readError(why));
    return std::nullopt;
  }
  if (format) *format = binary ? Format::Binary : Format::XML;
  return out;
}

std::optional<PropertyList> PropertyList::read(const Data& bytes, Error* error, Format* format) {
  return read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error, format);
}

std::optional<Data> PropertyList::write(Format format, Error* error) const {
  std::string why;
  PlistPtr root(toNode(*this, 0, &why));
  if (!root) {
    fail(error, writeError(why));
    return std::nullopt;
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == Format::Binary) {
    plist_to_bin(root.get(), &bytes, &length);
  } else {
    plist_to_xml(root.get(), &bytes, &length);
  }
  if (!bytes) {
    fail(error, writeError("the format library produced nothing"));
    return std::nullopt;
  }
  Data out(bytes, bytes + length);
  std::free(bytes);
  return out;
}

}  // namespace platform
