#pragma once
// Byte builders and a memory object over a test's own bytes, for the unwinding tests.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "crcrash_async.h"

namespace unwind_test {

class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> b) : _b(b) {}

  Bytes& u8(std::uint8_t v) {
    _b.push_back(v);
    return *this;
  }
  Bytes& u16(std::uint16_t v) { return raw(&v, 2); }
  Bytes& u32(std::uint32_t v) { return raw(&v, 4); }
  Bytes& u64(std::uint64_t v) { return raw(&v, 8); }
  Bytes& uleb(std::uint64_t v) {
    do {
      std::uint8_t byte = v & 0x7F;
      v >>= 7;
      if (v != 0) byte |= 0x80;
      _b.push_back(byte);
    } while (v != 0);
    return *this;
  }
  Bytes& sleb(std::int64_t v) {
    for (;;) {
      std::uint8_t byte = v & 0x7F;
      v >>= 7;
      const bool done = (v == 0 && (byte & 0x40) == 0) || (v == -1 && (byte & 0x40) != 0);
      if (!done) byte |= 0x80;
      _b.push_back(byte);
      if (done) return *this;
    }
  }
  Bytes& str(const char* s) { return raw(s, std::strlen(s) + 1); }
  Bytes& append(const Bytes& other) {
    _b.insert(_b.end(), other._b.begin(), other._b.end());
    return *this;
  }
  Bytes& raw(const void* p, std::size_t n) {
    auto* c = static_cast<const std::uint8_t*>(p);
    _b.insert(_b.end(), c, c + n);
    return *this;
  }
  void put32(std::size_t at, std::uint32_t v) { std::memcpy(&_b[at], &v, 4); }
  std::size_t size() const { return _b.size(); }
  const std::uint8_t* data() const { return _b.data(); }
  std::vector<std::uint8_t>& vec() { return _b; }

 private:
  std::vector<std::uint8_t> _b;
};

// A memory object over exactly the given bytes of the own process (kept alive by this object).
class Mapped {
 public:
  explicit Mapped(const Bytes& b) : _bytes(b.data(), b.data() + b.size()) {
    if (_bytes.empty()) _bytes.reserve(1);
    _status =
        crcrash_async_mobject_init(&_mobj, platform::crash::mach_task_self(), address(), _bytes.size(), true);
  }
  Mapped(const Mapped&) = delete;
  ~Mapped() {
    if (_status == CRCRASH_ERR_NONE) crcrash_async_mobject_free(&_mobj);
  }
  std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(_bytes.data()); }
  const crcrash_async_mobject_t* mobj() const { return &_mobj; }
  crcrash_error_t status() const { return _status; }

 private:
  std::vector<std::uint8_t> _bytes;
  crcrash_async_mobject_t _mobj{};
  crcrash_error_t _status;
};

inline const crcrash_async_byteorder_t* le() { return crcrash_async_byteorder_little_endian(); }

}  // namespace unwind_test
