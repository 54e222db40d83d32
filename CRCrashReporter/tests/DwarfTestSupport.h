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
  Bytes& append(const Bytes& other) { return raw(other._b.data(), other._b.size()); }
  // Grown and copied by hand: GCC 12 at -O3 warns (-Wnonnull) inside vector's range insert.
  Bytes& raw(const void* p, std::size_t n) {
    const std::size_t at = _b.size();
    _b.resize(at + n);
    if (n != 0) std::memcpy(_b.data() + at, p, n);
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

namespace unwind_test {

// Builds a CFI section entry by entry; lengths are filled in.
class CfiSection {
 public:
  // A CIE: `body` is everything after the length field (id, version, augmentation, ...). Returns its offset.
  std::size_t cie(const Bytes& body) { return entry(body); }
  // An .eh_frame FDE pointing back at the CIE at `cie_offset`; `rest` follows the CIE pointer.
  std::size_t fde(std::size_t cie_offset, const Bytes& rest) {
    const std::size_t at = _b.size();
    const std::uint32_t pointer = static_cast<std::uint32_t>(at + 4 - cie_offset);
    return entry(Bytes().u32(pointer).append(rest));
  }
  // A .debug_frame FDE: the CIE pointer is the CIE's offset from the section start.
  std::size_t debug_fde(std::size_t cie_offset, const Bytes& rest) {
    return entry(Bytes().u32(static_cast<std::uint32_t>(cie_offset)).append(rest));
  }
  std::size_t entry(const Bytes& body) {
    const std::size_t at = _b.size();
    _b.u32(static_cast<std::uint32_t>(body.size())).append(body);
    return at;
  }
  CfiSection& terminator() {
    _b.u32(0);
    return *this;
  }
  Bytes& bytes() { return _b; }

 private:
  Bytes _b;
};

// The usual x86-64 .eh_frame CIE: "zR" with absolute 8-byte addresses, caf 1, daf -8, return address in
// column 16, CFA = rsp + 8 and the return address at CFA - 8.
inline Bytes standard_cie_body(const Bytes& extra_initial = Bytes()) {
  return Bytes()
      .u32(0)
      .u8(1)
      .str("zR")
      .uleb(1)
      .sleb(-8)
      .uleb(16)
      .uleb(1)
      .u8(0x04)
      .append(Bytes{0x0C, 0x07, 0x08, 0x90, 0x01})
      .append(extra_initial);
}

// An FDE body for the standard CIE: pc range, empty augmentation data, instructions.
inline Bytes standard_fde_rest(std::uint64_t pc_start, std::uint64_t range, const Bytes& instructions) {
  return Bytes().u64(pc_start).u64(range).uleb(0).append(instructions);
}

}  // namespace unwind_test
