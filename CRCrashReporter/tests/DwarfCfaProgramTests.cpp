// Call-frame programs: the rule table and its remember/restore levels, the interpreter, and applying the
// rules to registers and a stack in memory.

#include <gtest/gtest.h>

#include <string>

#include "DwarfTestSupport.h"
#include "crcrash_async_dwarf_cfa_state.h"

using namespace unwind_test;

namespace {

using cfa_state = dwarf_cfa_state<std::uint64_t, std::int64_t>;

crcrash_async_dwarf_cie_info_t test_cie() {
  crcrash_async_dwarf_cie_info_t cie{};
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = -8;
  cie.return_address_register = 16;
  cie.cie_version = 1;
  return cie;
}

crcrash_error_t run(cfa_state* state, const Bytes& program, std::uint64_t pc = 0,
                    std::uint64_t start = 0x1000) {
  Mapped m(program);
  const crcrash_async_dwarf_cie_info_t cie = test_cie();
  return state->eval_program(m.mobj(), pc, start, &cie, nullptr, le(), m.address(), 0, program.size());
}

struct ProgramCase {
  const char* name;
  Bytes program;
  crcrash_error_t err;
};

Bytes remember(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.u8(0x0A);
  return b;
}

TEST(DwarfCfaProgram, AcceptsAndRefusesTheTable) {
  Bytes regs100, regs101;
  for (int r = 0; r < 100; ++r) regs100.u8(0x05).uleb(r + 20).uleb(1);
  regs101 = regs100;
  regs101.u8(0x05).uleb(200).uleb(1);
  Bytes rounds = Bytes{0x0C, 0x07, 0x08};
  for (int r = 0; r < 10; ++r) rounds.u8(0x05).uleb(r + 20).uleb(1);
  for (int i = 0; i < 40; ++i) rounds.u8(0x0A).u8(0x05).uleb(40).uleb(2).u8(0x0B);
  Bytes pool_full = regs100;
  pool_full.u8(0x0A);

  const ProgramCase cases[] = {
      {"five remembered states fit", remember(5), CRCRASH_ERR_NONE},
      {"a sixth remember_state", remember(6), CRCRASH_ERR_NOMEM},
      {"restore_state at level 0", {0x0B}, CRCRASH_ERR_INVAL},
      {"100 registers fit", regs100, CRCRASH_ERR_NONE},
      {"the 101st register", regs101, CRCRASH_ERR_NOMEM},
      {"40 rounds of remember and restore over 10 registers", rounds, CRCRASH_ERR_NONE},
      {"remember when the pool cannot hold the copy", pool_full, CRCRASH_ERR_NOMEM},
      {"def_cfa_offset before def_cfa", {0x0E, 0x10}, CRCRASH_ERR_INVAL},
      {"def_cfa_register before def_cfa", {0x0D, 0x06}, CRCRASH_ERR_INVAL},
      {"def_cfa_offset_sf before def_cfa", {0x13, 0x02}, CRCRASH_ERR_INVAL},
      {"GNU_args_size is skipped", Bytes{0x0C, 0x07, 0x08, 0x2E}.uleb(300), CRCRASH_ERR_NONE},
      {"vendor opcode 0x2D", {0x2D}, CRCRASH_ERR_NOTSUP},
      {"vendor opcode 0x2F", {0x2F}, CRCRASH_ERR_NOTSUP},
      {"opcode 0x17", {0x17}, CRCRASH_ERR_NOTSUP},
      {"register above 2^32-1", Bytes{0x05}.uleb(0x100000000ull).uleb(1), CRCRASH_ERR_NOTSUP},
      {"truncated ULEB operand", {0x05, 0x80}, CRCRASH_ERR_INVAL},
      {"advance_loc2 operand past the end", {0x03, 0x01}, CRCRASH_ERR_INVAL},
      {"expression longer than the program", Bytes{0x10, 0x06}.uleb(40).u8(0x70), CRCRASH_ERR_INVAL},
      {"CFA expression longer than the program", Bytes{0x0F}.uleb(~0ull >> 2).u8(0x70), CRCRASH_ERR_INVAL},
      {"CFA expression length negative", Bytes{0x0F}.uleb(~0ull).u8(0x70), CRCRASH_ERR_NOTSUP},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(c.name);
    cfa_state state;
    EXPECT_EQ(run(&state, c.program), c.err);
  }
}

TEST(DwarfCfaProgram, RememberedRulesComeBack) {
  cfa_state state;
  // rbx at cfa-16; remember; rbx at cfa-24 and r12 at cfa-32; restore.
  ASSERT_EQ(run(&state, {0x0C, 0x07, 0x08, 0x83, 0x02, 0x0A, 0x83, 0x03, 0x8C, 0x04, 0x0E, 0x30, 0x0B}),
            CRCRASH_ERR_NONE);
  crcrash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value;
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(rule, CRCRASH_DWARF_CFA_REG_RULE_OFFSET);
  EXPECT_EQ(static_cast<std::int64_t>(value), -16);
  EXPECT_FALSE(state.get_register_rule(12, &rule, &value));
  EXPECT_EQ(state.get_cfa_rule().offset, 8u);

  // After remember_state the rules stay in force.
  cfa_state kept;
  ASSERT_EQ(run(&kept, {0x0C, 0x07, 0x08, 0x83, 0x02, 0x0A}), CRCRASH_ERR_NONE);
  ASSERT_TRUE(kept.get_register_rule(3, &rule, &value));
  EXPECT_EQ(static_cast<std::int64_t>(value), -16);
  EXPECT_EQ(kept.get_register_count(), 1);
}

TEST(DwarfCfaProgram, SettingARegisterAgainUsesNoNewSlot) {
  cfa_state state;
  for (std::uint32_t r = 0; r < 100; ++r)
    ASSERT_TRUE(state.set_register(r, CRCRASH_DWARF_CFA_REG_RULE_OFFSET, r));
  EXPECT_TRUE(state.set_register(42, CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 7));
  EXPECT_FALSE(state.set_register(100, CRCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
  EXPECT_EQ(state.get_register_count(), 100);
  state.remove_register(42);
  EXPECT_TRUE(state.set_register(100, CRCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
}

TEST(DwarfCfaProgram, RestoreGoesBackToTheRulesAtEntry) {
  cfa_state state;
  // The CIE's program: rbx at cfa-16.
  ASSERT_EQ(run(&state, {0x0C, 0x07, 0x08, 0x83, 0x02}), CRCRASH_ERR_NONE);
  // The FDE's program: rbx at cfa-24, rbp at cfa-32 and r12 at cfa-40; restore rbx and restore_extended rbp.
  ASSERT_EQ(run(&state, {0x83, 0x03, 0x86, 0x04, 0x8C, 0x05, 0xC3, 0x06, 0x06}), CRCRASH_ERR_NONE);
  crcrash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value;
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(static_cast<std::int64_t>(value), -16);
  EXPECT_FALSE(state.get_register_rule(6, &rule, &value));  // no rule at entry: removed
  ASSERT_TRUE(state.get_register_rule(12, &rule, &value));  // untouched
  EXPECT_EQ(static_cast<std::int64_t>(value), -40);
}

// A program that starts with every slot taken keeps all 100 rules for DW_CFA_restore, the last one too.
TEST(DwarfCfaProgram, RestoreWorksFromAFullTable) {
  cfa_state state;
  for (std::uint32_t r = 0; r < 100; ++r)
    ASSERT_TRUE(state.set_register(r, CRCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(r) * 8));
  // offset_extended r0 and r99 to cfa-24, then restore_extended both.
  for (std::uint8_t r : {0, 99}) {
    SCOPED_TRACE(static_cast<int>(r));
    ASSERT_EQ(run(&state, {0x05, r, 0x03, 0x06, r}), CRCRASH_ERR_NONE);
    crcrash_dwarf_cfa_reg_rule_t rule;
    std::uint64_t value;
    ASSERT_TRUE(state.get_register_rule(r, &rule, &value));
    EXPECT_EQ(value, static_cast<std::uint64_t>(r) * 8);
  }
  EXPECT_EQ(state.get_register_count(), 100);
}

TEST(DwarfCfaProgram, StopsAfterTheRowOfThePc) {
  // def_cfa rsp+8; advance 4; def_cfa_offset 16; advance 4; def_cfa_offset 24.
  const Bytes program = {0x0C, 0x07, 0x08, 0x44, 0x0E, 0x10, 0x44, 0x0E, 0x18};
  struct Case {
    std::uint64_t pc;
    dwarf_cfa_state_cfa_type_t type;
    std::uint64_t offset;
  };
  const Case cases[] = {
      {0, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 24},      {0x0FFF, DWARF_CFA_STATE_CFA_TYPE_UNDEFINED, 0},
      {0x1000, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 8},  {0x1003, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 8},
      {0x1004, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 16}, {0x1008, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 24},
      {0x2000, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pc 0x" << std::hex << c.pc);
    cfa_state state;
    ASSERT_EQ(run(&state, program, c.pc), CRCRASH_ERR_NONE);
    EXPECT_EQ(state.get_cfa_rule().type, c.type);
    if (c.type != DWARF_CFA_STATE_CFA_TYPE_UNDEFINED) {
      EXPECT_EQ(state.get_cfa_rule().offset, c.offset);
    }
  }
}

TEST(DwarfCfaProgram, SignedCfaRulesAndWrappingProducts) {
  cfa_state state;
  // def_cfa_sf rsp, -2 (× daf -8 = +16), then def_cfa_offset 32 turns it unsigned.
  ASSERT_EQ(run(&state, Bytes{0x12, 0x07}.sleb(-2)), CRCRASH_ERR_NONE);
  EXPECT_EQ(state.get_cfa_rule().type, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED);
  EXPECT_EQ(static_cast<std::int64_t>(state.get_cfa_rule().offset), 16);
  ASSERT_EQ(run(&state, {0x0E, 0x20}), CRCRASH_ERR_NONE);
  EXPECT_EQ(state.get_cfa_rule().type, DWARF_CFA_STATE_CFA_TYPE_REGISTER);
  EXPECT_EQ(state.get_cfa_rule().offset, 32u);
  // A factor product that overflows the word wraps instead of trapping.
  ASSERT_EQ(run(&state, Bytes{0x05, 0x03}.uleb(~0ull >> 1)), CRCRASH_ERR_NONE);
  crcrash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value;
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(value, (~0ull >> 1) * static_cast<std::uint64_t>(-8));

  dwarf_cfa_state<std::uint32_t, std::int32_t> narrow;
  Bytes p = Bytes{0x12, 0x07}.sleb(-2);
  Mapped m(p);
  const crcrash_async_dwarf_cie_info_t cie = test_cie();
  ASSERT_EQ(narrow.eval_program(m.mobj(), 0, 0x1000, &cie, nullptr, le(), m.address(), 0, p.size()),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(narrow.get_cfa_rule().offset, 16u);
}

TEST(DwarfCfaProgram, SetLocMovesTheLocation) {
  // set_loc 0x1010 (absptr, 8 bytes); def_cfa_offset 32 applies only from 0x1010.
  const Bytes program = Bytes{0x0C, 0x07, 0x08, 0x01}.u64(0x1010).u8(0x0E).u8(0x20);
  cfa_state before, after;
  ASSERT_EQ(run(&before, program, 0x1008), CRCRASH_ERR_NONE);
  EXPECT_EQ(before.get_cfa_rule().offset, 8u);
  ASSERT_EQ(run(&after, program, 0x1010), CRCRASH_ERR_NONE);
  EXPECT_EQ(after.get_cfa_rule().offset, 32u);
}

// ---- apply_state ----

crcrash_async_thread_state_t frame_at(const std::uint64_t* stack) {
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state, platform::crash::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RIP, 0x1004);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stack));
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RBP, 0x5555);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RBX, 0x6666);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_X86_64_RAX, 0x7777);
  return state;
}

crcrash_error_t apply(const Bytes& program, const crcrash_async_thread_state_t& current,
                      crcrash_async_thread_state_t* next) {
  cfa_state state;
  Mapped m(program);
  const crcrash_async_dwarf_cie_info_t cie = test_cie();
  crcrash_error_t err =
      state.eval_program(m.mobj(), 0, 0x1000, &cie, nullptr, le(), m.address(), 0, program.size());
  if (err != CRCRASH_ERR_NONE) return err;
  // The program's expression bytes live in `m`, which apply reads through the task.
  return state.apply_state(platform::crash::mach_task_self(), &cie, &current, le(), next);
}

TEST(DwarfApplyState, RestoresCallerRegistersFromTheStack) {
  const std::uint64_t stack[4] = {0xAAAA, 0x401234, 0xBBBB, 0xCCCC};
  const crcrash_async_thread_state_t current = frame_at(stack);
  crcrash_async_thread_state_t next;
  // def_cfa rsp+16; rip (column 16) at cfa-8; rbp at cfa-16.
  ASSERT_EQ(apply({0x0C, 0x07, 0x10, 0x90, 0x01, 0x86, 0x02}, current, &next), CRCRASH_ERR_NONE);
  EXPECT_EQ(crcrash_async_thread_state_get_reg(&next, CRCRASH_X86_64_RIP), 0x401234u);
  EXPECT_EQ(crcrash_async_thread_state_get_reg(&next, CRCRASH_X86_64_RBP), 0xAAAAu);
  EXPECT_EQ(crcrash_async_thread_state_get_reg(&next, CRCRASH_X86_64_RSP),
            reinterpret_cast<std::uint64_t>(&stack[2]));
  EXPECT_TRUE(crcrash_async_thread_state_has_reg(&next, CRCRASH_X86_64_RBX));   // callee-saved, kept
  EXPECT_FALSE(crcrash_async_thread_state_has_reg(&next, CRCRASH_X86_64_RAX));  // volatile, cleared
}

TEST(DwarfApplyState, RuleKindsAndTheirFailures) {
  const std::uint64_t stack[4] = {0xAAAA, 0x401234, 0xBBBB, 0xCCCC};
  const crcrash_async_thread_state_t current = frame_at(stack);
  const std::uint64_t sp = reinterpret_cast<std::uint64_t>(stack);
  struct Case {
    const char* name;
    Bytes program;
    crcrash_error_t err;
    crcrash_regnum_t reg;
    std::uint64_t value;
  };
  const Case cases[] = {
      {"val_offset", Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x14, 0x03}.uleb(1), CRCRASH_ERR_NONE,
       CRCRASH_X86_64_RBX, sp + 16 - 8},
      {"register rule", Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x09, 0x03, 0x00}, CRCRASH_ERR_NONE,
       CRCRASH_X86_64_RBX, 0x7777},
      {"same value", Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x08, 0x03}, CRCRASH_ERR_NONE, CRCRASH_X86_64_RBX,
       0x6666},
      {"val_expression of cfa + 5", Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x16, 0x03, 0x02, 0x23, 0x05},
       CRCRASH_ERR_NONE, CRCRASH_X86_64_RBX, sp + 16 + 5},
      {"expression reads at cfa - 16",
       Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x10, 0x03, 0x03, 0x11, 0x70, 0x22}, CRCRASH_ERR_NONE,
       CRCRASH_X86_64_RBX, 0xAAAA},
      {"CFA expression rsp + 24", Bytes{0x0F, 0x02, 0x77, 0x18, 0x90, 0x01}, CRCRASH_ERR_NONE,
       CRCRASH_X86_64_RSP, sp + 24},
      {"return address by register rule", Bytes{0x0C, 0x07, 0x10, 0x09, 0x10, 0x03}, CRCRASH_ERR_NONE,
       CRCRASH_X86_64_RIP, 0x6666},
      {"no CFA rule", {0x90, 0x01}, CRCRASH_ERR_INVAL, 0, 0},
      {"CFA on an unmapped register", {0x0C, 0x10, 0x08, 0x90, 0x01}, CRCRASH_ERR_NOTSUP, 0, 0},
      {"CFA on a missing register", {0x0C, 0x02, 0x08, 0x90, 0x01}, CRCRASH_ERR_NOTFOUND, 0, 0},
      {"rule on an unmapped register", {0x0C, 0x07, 0x10, 0x90, 0x01, 0x91, 0x01}, CRCRASH_ERR_INVAL, 0, 0},
      {"no rule and no mapping for the return address", {0x0C, 0x07, 0x10}, CRCRASH_ERR_INVAL, 0, 0},
      {"offset read from an unmapped page", Bytes{0x0C, 0x07, 0x10, 0x90, 0x01, 0x11, 0x03}.sleb(1LL << 40),
       CRCRASH_ERR_NOTFOUND, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crcrash_async_thread_state_t next;
    ASSERT_EQ(apply(c.program, current, &next), c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(crcrash_async_thread_state_get_reg(&next, c.reg), c.value);
    }
  }
}

}  // namespace
