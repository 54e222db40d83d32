// The compact unwind reader: the two-level lookup over a byte-built __unwind_info, the decoding of
// encodings, the register permutation, and applying entries to registers and a stack in memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "DwarfTestSupport.h"
#include "crcrash_async_compact_unwind.h"

using namespace unwind_test;
namespace pc = platform::crash;

namespace {

constexpr std::uint32_t E0 = 0x01000000, E1 = 0x02010000, E2 = 0x02020000, E3 = 0x02030000, E4 = 0x02040000;

struct UnwindInfo {
  std::uint32_t common_count = 2;
  std::uint32_t index_count = 3;
  std::uint32_t page_a_kind = 3;
  std::uint32_t page_a_offset = 0;  // 0: the real one
  std::uint8_t second_index = 2;    // encoding index of page A's second entry
  std::uint32_t common_offset = 28;

  Bytes build() const {
    // Layout: header 28, common encodings 8, index 36 (3 entries), page A at 72, page B at 104.
    const std::uint32_t page_a = 72, page_b = 104;
    Bytes b;
    b.u32(1).u32(common_offset).u32(common_count).u32(0).u32(0).u32(36).u32(index_count);
    b.u32(E0).u32(E1);
    b.u32(0x1000).u32(page_a_offset != 0 ? page_a_offset : page_a).u32(0);
    b.u32(0x2000).u32(page_b).u32(0);
    b.u32(0x3000).u32(0).u32(0);
    // Page A, compressed: entries at +12, encodings at +20.
    b.u32(page_a_kind).u16(12).u16(2).u16(20).u16(1);
    b.u32(0x000000 | (0u << 24)).u32(0x000100 | (static_cast<std::uint32_t>(second_index) << 24));
    b.u32(E2);
    b.u32(0).u32(0);  // padding to 104
    // Page B, regular: entries at +8.
    b.u32(2).u16(8).u16(2);
    b.u32(0x2000).u32(E3).u32(0x2800).u32(E4);
    return b;
  }
};

crcrash_error_t find(const Bytes& section, std::uint64_t pc_offset, std::uint64_t* base,
                     std::uint32_t* encoding) {
  Mapped m(section);
  crcrash_async_cfe_reader_t reader;
  crcrash_error_t err = crcrash_async_cfe_reader_init(&reader, m.mobj(), pc::CPU_TYPE_X86_64);
  if (err != CRCRASH_ERR_NONE) return err;
  err = crcrash_async_cfe_reader_find_pc(&reader, pc_offset, base, encoding);
  crcrash_async_cfe_reader_free(&reader);
  return err;
}

TEST(CompactUnwindLookup, FindsFunctionsInBothPageKinds) {
  const Bytes section = UnwindInfo().build();
  ASSERT_EQ(section.size(), 128u);
  struct Case {
    std::uint64_t pc;
    crcrash_error_t err;
    std::uint64_t base;
    std::uint32_t encoding;
  };
  const Case cases[] = {
      {0x0FFF, CRCRASH_ERR_NOTFOUND, 0, 0},   {0x1000, CRCRASH_ERR_NONE, 0x1000, E0},
      {0x10FF, CRCRASH_ERR_NONE, 0x1000, E0}, {0x1100, CRCRASH_ERR_NONE, 0x1100, E2},
      {0x1FFF, CRCRASH_ERR_NONE, 0x1100, E2}, {0x2000, CRCRASH_ERR_NONE, 0x2000, E3},
      {0x2900, CRCRASH_ERR_NONE, 0x2800, E4}, {0x3500, CRCRASH_ERR_NONE, 0x2800, E4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pc 0x" << std::hex << c.pc);
    std::uint64_t base = 0;
    std::uint32_t encoding = 0;
    ASSERT_EQ(find(section, c.pc, &base, &encoding), c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(base, c.base);
      EXPECT_EQ(encoding, c.encoding);
    }
  }
}

TEST(CompactUnwindLookup, RefusesBrokenTables) {
  struct Case {
    const char* name;
    UnwindInfo info;
    std::uint64_t pc;
    crcrash_error_t err;
  };
  auto with = [](auto change) {
    UnwindInfo u;
    change(u);
    return u;
  };
  const Case cases[] = {
      {"a sentinel-only index", with([](UnwindInfo& u) { u.index_count = 1; }), 0x1000, CRCRASH_ERR_NOTFOUND},
      {"an empty index", with([](UnwindInfo& u) { u.index_count = 0; }), 0x1000, CRCRASH_ERR_NOTFOUND},
      {"an index past the section", with([](UnwindInfo& u) { u.index_count = 100; }), 0x1000,
       CRCRASH_ERR_INVAL},
      {"a common table past the section", with([](UnwindInfo& u) { u.common_count = 1000; }), 0x1000,
       CRCRASH_ERR_INVAL},
      {"a common table offset past the section", with([](UnwindInfo& u) { u.common_offset = 0xFFFFFFF0; }),
       0x1000, CRCRASH_ERR_INVAL},
      {"a page offset past the section", with([](UnwindInfo& u) { u.page_a_offset = 4096; }), 0x1000,
       CRCRASH_ERR_INVAL},
      {"a page header cut by the section end", with([](UnwindInfo& u) { u.page_a_offset = 124; }), 0x1000,
       CRCRASH_ERR_INVAL},
      {"an unknown page kind", with([](UnwindInfo& u) { u.page_a_kind = 7; }), 0x1000, CRCRASH_ERR_INVAL},
      {"an encoding index past the page's table", with([](UnwindInfo& u) { u.second_index = 3; }), 0x1100,
       CRCRASH_ERR_INVAL},
      {"an encoding index of 255", with([](UnwindInfo& u) { u.second_index = 255; }), 0x1100,
       CRCRASH_ERR_INVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint64_t base;
    std::uint32_t encoding;
    EXPECT_EQ(find(c.info.build(), c.pc, &base, &encoding), c.err);
  }

  Bytes v2 = Bytes().u32(2).u32(28).u32(0).u32(0).u32(0).u32(28).u32(0);
  Mapped m(v2);
  crcrash_async_cfe_reader_t reader;
  EXPECT_EQ(crcrash_async_cfe_reader_init(&reader, m.mobj(), pc::CPU_TYPE_X86_64), CRCRASH_ERR_NOTSUP);
  Bytes short_header = Bytes().u32(1).u32(28);
  Mapped s(short_header);
  EXPECT_EQ(crcrash_async_cfe_reader_init(&reader, s.mobj(), pc::CPU_TYPE_X86_64), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_cfe_reader_init(&reader, s.mobj(), 18), CRCRASH_ERR_NOTSUP);
}

TEST(CompactUnwindPermutation, EveryOrderingRoundTrips) {
  for (std::uint32_t count = 1; count <= 6; ++count) {
    std::vector<std::uint32_t> pool = {1, 2, 3, 4, 5, 6};
    std::vector<std::uint32_t> seen_permutations;
    do {
      std::uint32_t regs[6], decoded[6] = {};
      std::copy(pool.begin(), pool.begin() + count, regs);
      const std::uint32_t p = crcrash_async_cfe_register_encode(regs, count);
      ASSERT_EQ(crcrash_async_cfe_register_decode(p, count, decoded), CRCRASH_ERR_NONE);
      for (std::uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(decoded[i], regs[i]) << "count " << count << " slot " << i;
    } while (std::next_permutation(pool.begin(), pool.end()));
  }
  std::uint32_t out[6];
  EXPECT_EQ(crcrash_async_cfe_register_decode(0, 7, out), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_cfe_register_decode(0, 0, out), CRCRASH_ERR_NONE);
  // A digit at or past the registers left would index past the six-entry table.
  EXPECT_EQ(crcrash_async_cfe_register_decode(6, 1, out), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_cfe_register_decode(1023, 1, out), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_cfe_register_decode(5 * 5 + 4, 2, out), CRCRASH_ERR_NONE);
  EXPECT_EQ(crcrash_async_cfe_register_decode(6 * 5, 2, out), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_cfe_register_decode(719, 6, out), CRCRASH_ERR_NONE);
  EXPECT_EQ(crcrash_async_cfe_register_decode(720, 6, out), CRCRASH_ERR_INVAL);
}

TEST(CompactUnwindEntry, DecodesEncodings) {
  struct Case {
    const char* name;
    pc::cpu_type_t cpu;
    std::uint32_t encoding;
    crcrash_error_t err;
    crcrash_async_cfe_type_t type;
    std::int64_t stack_offset;
    std::uint32_t stack_adjust;
    std::vector<std::uint32_t> regs;
  };
  const std::uint32_t none = CRCRASH_ASYNC_CFE_NO_REGISTER;
  const std::uint32_t rbx_rbp[] = {1, 6};
  const std::uint32_t perm = crcrash_async_cfe_register_encode(rbx_rbp, 2);
  const Case cases[] = {
      {"no unwind information",
       pc::CPU_TYPE_X86_64,
       0,
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_NONE,
       0,
       0,
       {}},
      {"frame pointer with an empty slot",
       pc::CPU_TYPE_X86_64,
       0x01020000 | 1 | (0 << 3) | (2 << 6),
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR,
       -16,
       0,
       {CRCRASH_X86_64_RBX, none, CRCRASH_X86_64_R12}},
      {"frame pointer, five slots",
       pc::CPU_TYPE_X86_64,
       0x01030000 | 1 | (5 << 3) | (4 << 6) | (3 << 9) | (2 << 12),
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR,
       -24,
       0,
       {CRCRASH_X86_64_RBX, CRCRASH_X86_64_R15, CRCRASH_X86_64_R14, CRCRASH_X86_64_R13, CRCRASH_X86_64_R12}},
      {"frame pointer register 7", pc::CPU_TYPE_X86_64, 0x01000007, CRCRASH_ERR_INVAL, 0, 0, 0, {}},
      {"frameless immediate",
       pc::CPU_TYPE_X86_64,
       0x02030000 | (2 << 10) | perm,
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD,
       24,
       0,
       {CRCRASH_X86_64_RBX, CRCRASH_X86_64_RBP}},
      {"frameless indirect 0x0309b020",
       pc::CPU_TYPE_X86_64,
       0x0309b020,
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT,
       9,
       40,
       {CRCRASH_X86_64_RBX, CRCRASH_X86_64_R14, CRCRASH_X86_64_R15, CRCRASH_X86_64_RBP}},
      {"frameless with a bad permutation",
       pc::CPU_TYPE_X86_64,
       0x02000000 | (1 << 10) | 6,
       CRCRASH_ERR_INVAL,
       0,
       0,
       0,
       {}},
      {"frameless with count 7", pc::CPU_TYPE_X86_64, 0x02000000 | (7 << 10), CRCRASH_ERR_INVAL, 0, 0, 0, {}},
      {"DWARF",
       pc::CPU_TYPE_X86_64,
       0x04001234,
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_DWARF,
       0x1234,
       0,
       {}},
      {"mode 5", pc::CPU_TYPE_X86_64, 0x05000000, CRCRASH_ERR_NOTSUP, 0, 0, 0, {}},
      {"32-bit frame pointer",
       pc::CPU_TYPE_X86,
       0x01020000 | 6,
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR,
       -8,
       0,
       {CRCRASH_X86_EBP}},
      {"32-bit indirect",
       pc::CPU_TYPE_X86,
       0x03100000 | (1 << 13),
       CRCRASH_ERR_NONE,
       CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT,
       0x10,
       4,
       {}},
      {"unknown cpu", 18, 0x01000000, CRCRASH_ERR_NOTSUP, 0, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crcrash_async_cfe_entry_t entry;
    ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, c.cpu, c.encoding), c.err);
    if (c.err != CRCRASH_ERR_NONE) continue;
    EXPECT_EQ(crcrash_async_cfe_entry_type(&entry), c.type);
    EXPECT_EQ(crcrash_async_cfe_entry_stack_offset(&entry), c.stack_offset);
    EXPECT_EQ(crcrash_async_cfe_entry_stack_adjust(&entry), c.stack_adjust);
    EXPECT_EQ(crcrash_async_cfe_entry_return_address_register(&entry), none);
    ASSERT_EQ(crcrash_async_cfe_entry_register_count(&entry), c.regs.size());
    std::uint32_t regs[CRCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
    crcrash_async_cfe_entry_register_list(&entry, regs);
    EXPECT_EQ(std::vector<std::uint32_t>(regs, regs + c.regs.size()), c.regs);
  }
}

crcrash_async_thread_state_t state_with(std::uint64_t sp, std::uint64_t fp) {
  crcrash_async_thread_state_t s;
  crcrash_async_thread_state_init(&s, pc::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&s, CRCRASH_X86_64_RIP, 0x1000);
  if (sp != 0) crcrash_async_thread_state_set_reg(&s, CRCRASH_X86_64_RSP, sp);
  if (fp != 0) crcrash_async_thread_state_set_reg(&s, CRCRASH_X86_64_RBP, fp);
  crcrash_async_thread_state_set_reg(&s, CRCRASH_X86_64_RAX, 1);
  return s;
}

std::uint64_t reg(const crcrash_async_thread_state_t& s, crcrash_regnum_t r) {
  EXPECT_TRUE(crcrash_async_thread_state_has_reg(&s, r)) << crcrash_async_thread_state_get_regname(&s, r);
  return crcrash_async_thread_state_get_reg(&s, r);
}

TEST(CompactUnwindApply, FramePointerFrame) {
  // Saved rbx at fp-24, an empty slot at fp-16, r12 at fp-8; then the saved rbp and the return address.
  const std::uint64_t stack[5] = {0xB0B0, 0xDEAD, 0x1212, 0xF00D, 0x401000};
  const std::uint64_t fp = reinterpret_cast<std::uint64_t>(&stack[3]);
  crcrash_async_cfe_entry_t entry;
  ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, pc::CPU_TYPE_X86_64, 0x01030000 | 1 | (0 << 3) | (2 << 6)),
            CRCRASH_ERR_NONE);
  const crcrash_async_thread_state_t current = state_with(0, fp);
  crcrash_async_thread_state_t next;
  ASSERT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &current, &entry, &next),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RBP), 0xF00Du);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RIP), 0x401000u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RSP), fp + 16);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RBX), 0xB0B0u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_R12), 0x1212u);
  EXPECT_FALSE(crcrash_async_thread_state_has_reg(&next, CRCRASH_X86_64_RAX));

  const crcrash_async_thread_state_t no_fp = state_with(0x1000, 0);
  EXPECT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &no_fp, &entry, &next),
            CRCRASH_ERR_NOTFOUND);
  const crcrash_async_thread_state_t wrap = state_with(0, ~0ull - 8);
  EXPECT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &wrap, &entry, &next), CRCRASH_ERR_INVAL);
}

TEST(CompactUnwindApply, FramelessFrames) {
  // Immediate, 8 bytes, no saved registers: the return address is at the old stack pointer.
  const std::uint64_t one[1] = {0x402000};
  crcrash_async_cfe_entry_t entry;
  ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, pc::CPU_TYPE_X86_64, 0x02010000), CRCRASH_ERR_NONE);
  crcrash_async_thread_state_t current = state_with(reinterpret_cast<std::uint64_t>(one), 0);
  crcrash_async_thread_state_t next;
  ASSERT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &current, &entry, &next),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RIP), 0x402000u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RSP), reinterpret_cast<std::uint64_t>(one) + 8);

  // Immediate, 32 bytes, rbx then rbp saved just below the return address.
  const std::uint64_t frame[4] = {0x5151, 0xB0B0, 0xBEBE, 0x403000};
  const std::uint32_t rbx_rbp[] = {1, 6};
  const std::uint32_t enc = 0x02040000 | (2 << 10) | crcrash_async_cfe_register_encode(rbx_rbp, 2);
  ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, pc::CPU_TYPE_X86_64, enc), CRCRASH_ERR_NONE);
  current = state_with(reinterpret_cast<std::uint64_t>(frame), 0);
  ASSERT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &current, &entry, &next),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RIP), 0x403000u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RBX), 0xB0B0u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RBP), 0xBEBEu);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RSP), reinterpret_cast<std::uint64_t>(&frame[4]));

  // Indirect: the stack size is the 32-bit immediate at function + 2, plus the adjustment (8).
  const std::uint8_t code[8] = {0x48, 0x81, 0x18, 0x00, 0x00, 0x00, 0xC3, 0x90};
  ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, pc::CPU_TYPE_X86_64, 0x03020000 | (1 << 13)),
            CRCRASH_ERR_NONE);
  const std::uint64_t big[4] = {0, 0, 0, 0x404000};
  current = state_with(reinterpret_cast<std::uint64_t>(big), 0);
  ASSERT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), reinterpret_cast<std::uint64_t>(code),
                                          &current, &entry, &next),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RIP), 0x404000u);
  EXPECT_EQ(reg(next, CRCRASH_X86_64_RSP), reinterpret_cast<std::uint64_t>(&big[4]));
  EXPECT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 16, &current, &entry, &next),
            CRCRASH_ERR_NOTFOUND);

  const crcrash_async_thread_state_t no_sp = state_with(0, 0x1000);
  EXPECT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &no_sp, &entry, &next),
            CRCRASH_ERR_NOTFOUND);
  for (std::uint32_t refused : {0x04000010u, 0u}) {
    ASSERT_EQ(crcrash_async_cfe_entry_init(&entry, pc::CPU_TYPE_X86_64, refused), CRCRASH_ERR_NONE);
    EXPECT_EQ(crcrash_async_cfe_entry_apply(pc::mach_task_self(), 0, &current, &entry, &next),
              CRCRASH_ERR_NOTSUP);
  }
}

}  // namespace
