// LEB128 numbers, DW_EH_PE pointers and the bounded instruction stream.

#include <gtest/gtest.h>

#include "DwarfTestSupport.h"
#include "crcrash_async_dwarf_encoding.h"

using namespace unwind_test;

namespace {

struct LebCase {
  const char* name;
  Bytes bytes;
  bool is_signed;
  crcrash_error_t err;
  std::uint64_t value;  // the signed result as its two's complement bits
  std::uint64_t size;
};

TEST(DwarfLeb128, DecodesTheTable) {
  Bytes ten_bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  Bytes eleven_bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00};
  Bytes sleb_ten = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F};
  const LebCase cases[] = {
      {"uleb one byte", {0x02}, false, CRCRASH_ERR_NONE, 2, 1},
      {"uleb 624485", {0xE5, 0x8E, 0x26}, false, CRCRASH_ERR_NONE, 624485, 3},
      {"uleb ten bytes is 2^64-1", ten_bytes, false, CRCRASH_ERR_NONE, ~0ULL, 10},
      {"uleb continuation on the tenth byte", eleven_bytes, false, CRCRASH_ERR_NOTSUP, 0, 0},
      {"uleb runs off the mapped bytes", {0x80, 0x80}, false, CRCRASH_ERR_INVAL, 0, 0},
      {"sleb 0x7F is -1", {0x7F}, true, CRCRASH_ERR_NONE, static_cast<std::uint64_t>(-1), 1},
      {"sleb 0x80 0x7F is -128", {0x80, 0x7F}, true, CRCRASH_ERR_NONE, static_cast<std::uint64_t>(-128), 2},
      {"sleb 0x3F is 63", {0x3F}, true, CRCRASH_ERR_NONE, 63, 1},
      {"sleb ten bytes fills 64 bits", sleb_ten, true, CRCRASH_ERR_NONE, 0x8000000000000000ULL, 10},
      {"sleb continuation on the tenth byte", eleven_bytes, true, CRCRASH_ERR_NOTSUP, 0, 0},
      {"sleb runs off the mapped bytes", {0xFF}, true, CRCRASH_ERR_INVAL, 0, 0},
  };
  for (const LebCase& c : cases) {
    SCOPED_TRACE(c.name);
    Mapped m(c.bytes);
    ASSERT_EQ(m.status(), CRCRASH_ERR_NONE);
    std::uint64_t size = 0, value = 0;
    crcrash_error_t err;
    if (c.is_signed) {
      std::int64_t v = 0;
      err = crcrash_async_dwarf_read_sleb128(m.mobj(), m.address(), 0, &v, &size);
      value = static_cast<std::uint64_t>(v);
    } else {
      err = crcrash_async_dwarf_read_uleb128(m.mobj(), m.address(), 0, &value, &size);
    }
    EXPECT_EQ(err, c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(size, c.size);
    }
  }
}

TEST(DwarfLeb128, ReadsFromTheTaskAtAnOffset) {
  static const std::uint8_t bytes[] = {0x00, 0xE5, 0x8E, 0x26};
  std::uint64_t value = 0, size = 0;
  ASSERT_EQ(crcrash_async_dwarf_read_task_uleb128(platform::crash::mach_task_self(),
                                                  reinterpret_cast<std::uint64_t>(bytes), 1, &value, &size),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(value, 624485u);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(
      crcrash_async_dwarf_read_task_uleb128(platform::crash::mach_task_self(), ~0ULL - 2, 8, &value, &size),
      CRCRASH_ERR_INVAL);
}

struct PointerCase {
  const char* name;
  std::uint8_t encoding;
  Bytes bytes;  // the value sits at offset 4 of these bytes
  crcrash_error_t err;
  std::int64_t expected_delta;  // result minus (pcrel ? the value's address : 0), or the value itself
  bool pcrel;
  std::uint64_t size;
};

template <typename machine_ptr>
void run_pointer_cases(const PointerCase* cases, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const PointerCase& c = cases[i];
    SCOPED_TRACE(c.name);
    Mapped m(c.bytes);
    gnu_ehptr_reader<machine_ptr> reader(le());
    machine_ptr result = 0;
    std::uint64_t size = 0;
    EXPECT_EQ(reader.read(m.mobj(), m.address(), 4, c.encoding, &result, &size), c.err);
    if (c.err != CRCRASH_ERR_NONE) continue;
    const machine_ptr base = c.pcrel ? static_cast<machine_ptr>(m.address() + 4) : 0;
    EXPECT_EQ(result, static_cast<machine_ptr>(base + static_cast<machine_ptr>(c.expected_delta)));
    EXPECT_EQ(size, c.size);
  }
}

TEST(DwarfPointerReader, DecodesFormatsAndBases) {
  auto at4 = [](Bytes value) { return Bytes{0, 0, 0, 0}.append(value); };
  const PointerCase cases[] = {
      {"absptr", DW_EH_PE_absptr, at4(Bytes().u64(0x1122334455667788)), CRCRASH_ERR_NONE, 0x1122334455667788,
       false, 8},
      {"uleb128", DW_EH_PE_uleb128, at4({0xE5, 0x8E, 0x26}), CRCRASH_ERR_NONE, 624485, false, 3},
      {"udata2", DW_EH_PE_udata2, at4(Bytes().u16(0xFFFE)), CRCRASH_ERR_NONE, 0xFFFE, false, 2},
      {"udata4", DW_EH_PE_udata4, at4(Bytes().u32(0xFFFFFFF0)), CRCRASH_ERR_NONE, 0xFFFFFFF0, false, 4},
      {"udata8", DW_EH_PE_udata8, at4(Bytes().u64(42)), CRCRASH_ERR_NONE, 42, false, 8},
      {"sleb128", DW_EH_PE_sleb128, at4({0x7F}), CRCRASH_ERR_NONE, -1, false, 1},
      {"sdata2", DW_EH_PE_sdata2, at4(Bytes().u16(0xFFFE)), CRCRASH_ERR_NONE, -2, false, 2},
      {"sdata4", DW_EH_PE_sdata4, at4(Bytes().u32(0xFFFFFFF0)), CRCRASH_ERR_NONE, -16, false, 4},
      {"sdata8", DW_EH_PE_sdata8, at4(Bytes().u64(static_cast<std::uint64_t>(-3))), CRCRASH_ERR_NONE, -3,
       false, 8},
      {"pcrel|sdata4 (0x1B)", 0x1B, at4(Bytes().u32(static_cast<std::uint32_t>(-0x40))), CRCRASH_ERR_NONE,
       -0x40, true, 4},
      {"omit reads nothing", DW_EH_PE_omit, at4({}), CRCRASH_ERR_NOTFOUND, 0, false, 0},
      {"textrel without a base", 0x23, at4(Bytes().u32(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"datarel without a base", 0x33, at4(Bytes().u32(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"funcrel without a base", 0x43, at4(Bytes().u32(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"aligned without a base", 0x50, at4(Bytes().u64(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"base 0x60 refused", 0x63, at4(Bytes().u32(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"base 0x70 refused", 0x73, at4(Bytes().u32(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"format 0x5 refused", 0x05, at4(Bytes().u64(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"format 0x8 refused", 0x08, at4(Bytes().u64(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"format 0xD refused", 0x0D, at4(Bytes().u64(1)), CRCRASH_ERR_NOTSUP, 0, false, 0},
      {"udata4 past the mapped bytes", DW_EH_PE_udata4, at4({1, 2}), CRCRASH_ERR_INVAL, 0, false, 0},
      {"absptr past the mapped bytes", DW_EH_PE_absptr, at4({1, 2, 3, 4}), CRCRASH_ERR_INVAL, 0, false, 0},
  };
  run_pointer_cases<std::uint64_t>(cases, std::size(cases));
}

TEST(DwarfPointerReader, ThirtyTwoBitVariantReadsFourByteWordsAndWraps) {
  auto at4 = [](Bytes value) { return Bytes{0, 0, 0, 0}.append(value); };
  const PointerCase cases[] = {
      {"absptr is 4 bytes", DW_EH_PE_absptr, at4(Bytes().u32(0xDEADBEEF).u32(0x11111111)), CRCRASH_ERR_NONE,
       0xDEADBEEF, false, 4},
      {"udata8 truncated", DW_EH_PE_udata8, at4(Bytes().u64(0x1234567890ULL)), CRCRASH_ERR_NONE, 0x34567890,
       false, 8},
      {"pcrel wraps at 2^32", 0x1B, at4(Bytes().u32(0x80000000)), CRCRASH_ERR_NONE, 0x80000000, true, 4},
  };
  run_pointer_cases<std::uint32_t>(cases, std::size(cases));
}

TEST(DwarfPointerReader, IndirectDereferencesAndBasesApply) {
  static std::uint64_t target = 0xABCDEF0123456789ULL;
  // pcrel|indirect|sdata4 (0x9B): the value is the distance from itself to `target`.
  Bytes bytes = {0, 0, 0, 0, 0, 0, 0, 0};
  Mapped m(bytes);
  const std::uint64_t value_address = m.address() + 4;
  const std::int64_t delta =
      static_cast<std::int64_t>(reinterpret_cast<std::uint64_t>(&target) - value_address);
  if (delta < INT32_MIN || delta > INT32_MAX) GTEST_SKIP() << "target too far for sdata4";
  std::memcpy(reinterpret_cast<void*>(value_address), &delta, 4);
  gnu_ehptr_reader<std::uint64_t> reader(le());
  std::uint64_t result = 0, size = 0;
  ASSERT_EQ(reader.read(m.mobj(), m.address(), 4, 0x9B, &result, &size), CRCRASH_ERR_NONE);
  EXPECT_EQ(result, target);
  EXPECT_EQ(size, 4u);

  Bytes rel = Bytes().u32(0x10);
  Mapped r(rel);
  reader.set_text_base(0x1000);
  reader.set_data_base(0x2000);
  reader.set_func_base(0x3000);
  EXPECT_EQ(reader.read(r.mobj(), r.address(), 0, 0x23, &result, &size), CRCRASH_ERR_NONE);
  EXPECT_EQ(result, 0x1010u);
  EXPECT_EQ(reader.read(r.mobj(), r.address(), 0, 0x33, &result, &size), CRCRASH_ERR_NONE);
  EXPECT_EQ(result, 0x2010u);
  EXPECT_EQ(reader.read(r.mobj(), r.address(), 0, 0x43, &result, &size), CRCRASH_ERR_NONE);
  EXPECT_EQ(result, 0x3010u);
}

TEST(DwarfPointerReader, AlignedSkipsToTheNextWordOfTheSection) {
  Bytes bytes = Bytes{1, 2, 3}.u8(0).u8(0).u8(0).u8(0).u8(0).u64(0x77);
  Mapped m(bytes);
  gnu_ehptr_reader<std::uint64_t> reader(le());
  // The section's VM address is 8-aligned; the value at section offset 3 is read at offset 8.
  reader.set_frame_section_base(m.address(), 0x10000);
  std::uint64_t result = 0, size = 0;
  ASSERT_EQ(reader.read(m.mobj(), m.address() + 3, 0, 0x50, &result, &size), CRCRASH_ERR_NONE);
  EXPECT_EQ(result, 0x77u);
  EXPECT_EQ(size, 5u + 8u);
}

TEST(DwarfInstructionStream, ReadsStayInsideTheStream) {
  Bytes bytes = Bytes{0xAA}.uleb(300).sleb(-2).u16(0x1234).u8(0x80);
  Mapped m(bytes);
  dwarf_instruction_stream stream;
  // The stream covers all but the first byte.
  ASSERT_EQ(stream.init(m.mobj(), le(), m.address(), 1, bytes.size() - 1), CRCRASH_ERR_NONE);
  std::uint64_t u = 0;
  std::int64_t s = 0;
  std::uint16_t h = 0;
  ASSERT_TRUE(stream.read_uleb128(&u));
  EXPECT_EQ(u, 300u);
  ASSERT_TRUE(stream.read_sleb128(&s));
  EXPECT_EQ(s, -2);
  ASSERT_TRUE(stream.read_uint16(&h));
  EXPECT_EQ(h, 0x1234);
  const std::uint64_t before = stream.position();
  EXPECT_FALSE(stream.read_uleb128(&u));  // 0x80 continues past the end
  EXPECT_EQ(stream.position(), before);
  std::uint32_t w = 0;
  EXPECT_FALSE(stream.read_uint32(&w));
  EXPECT_TRUE(stream.set_position(stream.length()));
  EXPECT_TRUE(stream.at_end());
  EXPECT_FALSE(stream.set_position(stream.length() + 1));

  dwarf_instruction_stream outside;
  EXPECT_EQ(outside.init(m.mobj(), le(), m.address(), 1, bytes.size()), CRCRASH_ERR_INVAL);
  EXPECT_EQ(outside.init(m.mobj(), le(), ~0ULL - 1, 4, 1), CRCRASH_ERR_INVAL);
  EXPECT_EQ(outside.init(m.mobj(), le(), m.address(), 0, ~0ULL), CRCRASH_ERR_INVAL);
}

}  // namespace
