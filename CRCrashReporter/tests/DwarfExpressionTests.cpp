// The DW_OP evaluator: arithmetic in both word widths, stack bounds, branches, registers and memory.

#include <gtest/gtest.h>

#include <vector>

#include "DwarfTestSupport.h"
#include "crcrash_async_dwarf_expression.h"

using namespace unwind_test;

namespace {

crcrash_async_thread_state_t x86_64_state() {
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state, platform::crash::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RSP, 0x7000);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RBP, 0x9000);
  return state;
}

template <typename machine_ptr, typename machine_ptr_s>
crcrash_error_t eval(const Bytes& expr, machine_ptr* result, std::vector<machine_ptr> initial = {},
                     const crcrash_async_thread_state_t* state = nullptr) {
  Mapped m(expr);
  crcrash_async_thread_state_t fallback = x86_64_state();
  return crcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(
      m.mobj(), platform::crash::mach_task_self(), state != nullptr ? state : &fallback, le(), m.address(), 0,
      expr.size(), initial.empty() ? nullptr : initial.data(), initial.size(), result);
}

struct ExprCase {
  const char* name;
  Bytes expr;
  crcrash_error_t err;
  std::uint64_t value64;  // expected result of the 64-bit variant
  std::uint32_t value32;  // expected result of the 32-bit variant
};

constexpr std::uint8_t lit(int n) { return static_cast<std::uint8_t>(0x30 + n); }

TEST(DwarfExpression, EvaluatesTheTableInBothWidths) {
  const ExprCase cases[] = {
      {"lit5 lit3 minus", {lit(5), lit(3), 0x1C}, CRCRASH_ERR_NONE, 2, 2},
      {"lit3 lit5 minus wraps", {lit(3), lit(5), 0x1C}, CRCRASH_ERR_NONE, ~0ull - 1, 0xFFFFFFFEu},
      {"div by zero", {lit(1), lit(0), 0x1B}, CRCRASH_ERR_INVAL, 0, 0},
      {"mod by constu 0", {lit(1), 0x10, 0x00, 0x1D}, CRCRASH_ERR_INVAL, 0, 0},
      {"consts -1 lt 0", Bytes{0x11}.sleb(-1).u8(lit(0)).u8(0x2D), CRCRASH_ERR_NONE, 1, 1},
      {"signed division", Bytes{0x11}.sleb(-7).u8(lit(2)).u8(0x1B), CRCRASH_ERR_NONE,
       static_cast<std::uint64_t>(-3), static_cast<std::uint32_t>(-3)},
      {"only nop leaves no result", {0x96}, CRCRASH_ERR_INVAL, 0, 0},
      {"const1s", {0x09, 0xFF}, CRCRASH_ERR_NONE, ~0ull, 0xFFFFFFFFu},
      {"const2u", {0x0A, 0xFF, 0xFF}, CRCRASH_ERR_NONE, 0xFFFF, 0xFFFF},
      {"const4s", {0x0D, 0xFE, 0xFF, 0xFF, 0xFF}, CRCRASH_ERR_NONE, ~0ull - 1, 0xFFFFFFFEu},
      {"const8u truncated in 32 bits", Bytes{0x0E}.u64(0x1122334455667788ull), CRCRASH_ERR_NONE,
       0x1122334455667788ull, 0x55667788u},
      {"const4u operand past the end", {0x0C, 0x01, 0x02}, CRCRASH_ERR_INVAL, 0, 0},
      {"constu operand past the end", {0x10, 0x80}, CRCRASH_ERR_INVAL, 0, 0},
      {"dup on empty", {0x12}, CRCRASH_ERR_INVAL, 0, 0},
      {"drop on empty", {0x13}, CRCRASH_ERR_INVAL, 0, 0},
      {"over", {lit(1), lit(2), 0x14}, CRCRASH_ERR_NONE, 1, 1},
      {"over with one", {lit(1), 0x14}, CRCRASH_ERR_INVAL, 0, 0},
      {"pick 1", {lit(7), lit(8), lit(9), 0x15, 0x02}, CRCRASH_ERR_NONE, 7, 7},
      {"pick past depth", {lit(7), 0x15, 0x01}, CRCRASH_ERR_INVAL, 0, 0},
      {"swap", {lit(1), lit(2), 0x16}, CRCRASH_ERR_NONE, 1, 1},
      {"swap with one", {lit(1), 0x16}, CRCRASH_ERR_INVAL, 0, 0},
      {"rot", {lit(1), lit(2), lit(3), 0x17}, CRCRASH_ERR_NONE, 2, 2},
      {"rot with two", {lit(1), lit(2), 0x17}, CRCRASH_ERR_INVAL, 0, 0},
      {"abs", Bytes{0x11}.sleb(-5).u8(0x19), CRCRASH_ERR_NONE, 5, 5},
      {"neg",
       {lit(5), 0x1F},
       CRCRASH_ERR_NONE,
       static_cast<std::uint64_t>(-5),
       static_cast<std::uint32_t>(-5)},
      {"not", {lit(0), 0x20}, CRCRASH_ERR_NONE, ~0ull, 0xFFFFFFFFu},
      {"and or xor", {lit(12), lit(10), 0x1A, lit(1), 0x21, lit(3), 0x27}, CRCRASH_ERR_NONE, 10, 10},
      {"mul", {lit(6), lit(7), 0x1E}, CRCRASH_ERR_NONE, 42, 42},
      {"plus_uconst", Bytes{lit(1), 0x23}.uleb(300), CRCRASH_ERR_NONE, 301, 301},
      {"shl", {lit(1), lit(4), 0x24}, CRCRASH_ERR_NONE, 16, 16},
      {"shr by 64 gives 0", Bytes{0x09, 0xFF, 0x08, 64, 0x25}, CRCRASH_ERR_NONE, 0, 0},
      {"shra by 64 gives the sign fill", Bytes{0x09, 0xF0, 0x08, 64, 0x26}, CRCRASH_ERR_NONE, ~0ull,
       0xFFFFFFFFu},
      {"shra by 1", Bytes{0x09, 0xF0, lit(1), 0x26}, CRCRASH_ERR_NONE, ~0ull - 7, 0xFFFFFFF8u},
      {"shr by 1", Bytes{lit(8), lit(1), 0x25}, CRCRASH_ERR_NONE, 4, 4},
      {"eq ne", {lit(3), lit(3), 0x29, lit(2), 0x2E}, CRCRASH_ERR_NONE, 1, 1},
      {"ge gt le are signed", Bytes{0x11}.sleb(-1).u8(lit(0)).u8(0x2A), CRCRASH_ERR_NONE, 0, 0},
      {"gt", {lit(2), lit(1), 0x2B}, CRCRASH_ERR_NONE, 1, 1},
      {"le", {lit(2), lit(2), 0x2C}, CRCRASH_ERR_NONE, 1, 1},
      {"skip to the end", {lit(1), 0x2F, 0x01, 0x00, lit(2)}, CRCRASH_ERR_NONE, 1, 1},
      {"skip one past the end", {lit(1), 0x2F, 0x02, 0x00, lit(2)}, CRCRASH_ERR_INVAL, 0, 0},
      {"skip before the start", {lit(1), 0x2F, 0xF0, 0xFF}, CRCRASH_ERR_INVAL, 0, 0},
      {"bra taken", {lit(1), 0x28, 0x01, 0x00, lit(9), lit(4)}, CRCRASH_ERR_NONE, 4, 4},
      {"bra not taken", {lit(0), 0x28, 0x01, 0x00, lit(9), lit(4)}, CRCRASH_ERR_NONE, 4, 4},
      {"bra on empty", {0x28, 0x00, 0x00}, CRCRASH_ERR_INTERNAL, 0, 0},
      {"skip to itself spins until the budget", {0x2F, 0xFD, 0xFF}, CRCRASH_ERR_INVAL, 0, 0},
      {"breg7 + 8 is rsp + 8", Bytes{0x77}.sleb(8), CRCRASH_ERR_NONE, 0x7008, 0x7008},
      {"bregx 6 - 16 is rbp - 16", Bytes{0x92}.uleb(6).sleb(-16), CRCRASH_ERR_NONE, 0x8FF0, 0x8FF0},
      {"breg of a missing register", Bytes{0x70}.sleb(0), CRCRASH_ERR_NOTFOUND, 0, 0},
      {"breg of an unmapped register", Bytes{0x80}.sleb(0), CRCRASH_ERR_NOTSUP, 0, 0},
      {"reg7 is refused", {0x57}, CRCRASH_ERR_NOTSUP, 0, 0},
      {"addr is refused", Bytes{0x03}.u64(0), CRCRASH_ERR_NOTSUP, 0, 0},
      {"piece is refused", {lit(1), 0x93, 0x08}, CRCRASH_ERR_NOTSUP, 0, 0},
      {"deref_size 3", {lit(0), 0x94, 0x03}, CRCRASH_ERR_INVAL, 0, 0},
      {"deref_size 0", {lit(0), 0x94, 0x00}, CRCRASH_ERR_INVAL, 0, 0},
      {"deref of an unmapped page", {lit(16), 0x06}, CRCRASH_ERR_NOTFOUND, 0, 0},
      {"xderef with one", {lit(16), 0x18}, CRCRASH_ERR_INVAL, 0, 0},
      {"empty expression with no value", {}, CRCRASH_ERR_INVAL, 0, 0},
  };
  for (const ExprCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint64_t r64 = 0;
    EXPECT_EQ((eval<std::uint64_t, std::int64_t>(c.expr, &r64)), c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(r64, c.value64);
    }
    std::uint32_t r32 = 0;
    EXPECT_EQ((eval<std::uint32_t, std::int32_t>(c.expr, &r32)), c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(r32, c.value32);
    }
  }
}

TEST(DwarfExpression, MinimumDividedByMinusOneDoesNotTrap) {
  // lit1 constu(63) shl gives the 64-bit minimum; consts -1 div.
  Bytes e64 = Bytes{lit(1), 0x10}.uleb(63).u8(0x24).u8(0x11).sleb(-1).u8(0x1B);
  std::uint64_t r64 = 0;
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(e64, &r64)), CRCRASH_ERR_NONE);
  EXPECT_EQ(r64, 0x8000000000000000ull);
  Bytes abs64 = Bytes{lit(1), 0x10}.uleb(63).u8(0x24).u8(0x19);
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(abs64, &r64)), CRCRASH_ERR_NONE);
  EXPECT_EQ(r64, 0x8000000000000000ull);
  Bytes e32 = Bytes{lit(1), 0x10}.uleb(31).u8(0x24).u8(0x11).sleb(-1).u8(0x1B);
  std::uint32_t r32 = 0;
  ASSERT_EQ((eval<std::uint32_t, std::int32_t>(e32, &r32)), CRCRASH_ERR_NONE);
  EXPECT_EQ(r32, 0x80000000u);
}

TEST(DwarfExpression, StackHoldsExactlyOneHundredValues) {
  for (std::uint8_t pusher : {std::uint8_t{0x12}, std::uint8_t{0x14}, std::uint8_t{0x15}}) {
    SCOPED_TRACE(testing::Message() << "pushing with 0x" << std::hex << int(pusher));
    Bytes hundred{lit(1), lit(2)};
    for (int i = 0; i < 98; ++i) {
      hundred.u8(pusher);
      if (pusher == 0x15) hundred.u8(0);
    }
    std::uint64_t r = 0;
    EXPECT_EQ((eval<std::uint64_t, std::int64_t>(hundred, &r)), CRCRASH_ERR_NONE);
    Bytes more = hundred;
    more.u8(pusher);
    if (pusher == 0x15) more.u8(0);
    EXPECT_EQ((eval<std::uint64_t, std::int64_t>(more, &r)), CRCRASH_ERR_INTERNAL);
  }
  std::vector<std::uint64_t> too_many(101, 1);
  std::uint64_t r = 0;
  EXPECT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{}, &r, too_many)), CRCRASH_ERR_INTERNAL);
}

TEST(DwarfExpression, InitialValuesAndMemoryReads) {
  std::uint64_t r = 0;
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{}, &r, {0x1234})), CRCRASH_ERR_NONE);
  EXPECT_EQ(r, 0x1234u);
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{0x1C}, &r, {10, 3})), CRCRASH_ERR_NONE);
  EXPECT_EQ(r, 7u);

  static const std::uint64_t word = 0x1122334455667788ull;
  const std::uint64_t address = reinterpret_cast<std::uint64_t>(&word);
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{0x06}, &r, {address})), CRCRASH_ERR_NONE);
  EXPECT_EQ(r, word);
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{0x94, 0x02}, &r, {address})), CRCRASH_ERR_NONE);
  EXPECT_EQ(r, 0x7788u);
  ASSERT_EQ((eval<std::uint64_t, std::int64_t>(Bytes{0x95, 0x04}, &r, {0, address})), CRCRASH_ERR_NONE);
  EXPECT_EQ(r, 0x55667788u);
  std::uint32_t r32 = 0;
  EXPECT_EQ((eval<std::uint32_t, std::int32_t>(Bytes{0x94, 0x08}, &r32, {0})), CRCRASH_ERR_INVAL);
}

}  // namespace
