#pragma once
// The register rule table of DWARF call-frame information, the interpreter of call-frame instructions
// that fills it, and its application to a thread state to produce the caller's registers.

#include <cstdint>

#include "crcrash_async_dwarf_cfi.h"
#include "crcrash_async_thread_state.h"

typedef std::uint32_t crcrash_dwarf_cfa_reg_rule_t;
enum : crcrash_dwarf_cfa_reg_rule_t {
  CRCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,
  CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,
  CRCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,
  CRCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,
  CRCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
  CRCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
};

typedef std::uint32_t dwarf_cfa_state_cfa_type_t;
enum : dwarf_cfa_state_cfa_type_t {
  DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
  DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,
  DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,
  DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,
};

inline constexpr std::uint64_t DWARF_CFA_STATE_REGNUM_MAX = 0xFFFFFFFFull;
inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_REGISTERS = 100;
inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_STATES = 6;
inline constexpr std::uint8_t DWARF_CFA_STATE_BUCKET_COUNT = 14;
inline constexpr std::uint8_t DWARF_CFA_STATE_INVALID_ENTRY_IDX = 0xFF;

// Set in a frame's valid_regs when its instruction pointer is the exact interrupted instruction (the
// frame was restored through a signal frame's FDE) rather than a return address. The bit lies past
// every register number, and clearing a frame's registers clears it too.
inline constexpr std::uint64_t CRFRAME_THREAD_STATE_EXACT_PC = 1ULL << 63;

// The address at which the frame readers look up a frame's unwind rules. A return address follows its
// call and may lie past the end of the calling function (after a call that does not return), so the call
// instruction itself is used; the first frame (no previous frame) and a frame resumed from a signal frame
// hold the exact instruction.
inline std::uint64_t crframe_cursor_lookup_pc(const crcrash_async_thread_state_t* current_frame,
                                              const crcrash_async_thread_state_t* previous_frame) {
  const std::uint64_t pc = crcrash_async_thread_state_get_reg(current_frame, CRCRASH_REG_IP);
  const bool exact =
      previous_frame == nullptr || (current_frame->valid_regs & CRFRAME_THREAD_STATE_EXACT_PC) != 0;
  return exact || pc == 0 ? pc : pc - 1;
}

template <typename machine_ptr>
struct dwarf_cfa_rule {
  dwarf_cfa_state_cfa_type_t type = DWARF_CFA_STATE_CFA_TYPE_UNDEFINED;
  std::uint32_t reg = 0;
  machine_ptr offset = 0;  // signed for DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED
  std::uint64_t expression_address = 0;
  std::uint64_t expression_length = 0;
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
 public:
  dwarf_cfa_state();

  bool set_register(std::uint32_t regnum, crcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
  bool get_register_rule(std::uint32_t regnum, crcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const;
  void remove_register(std::uint32_t regnum);
  std::uint8_t get_register_count() const { return _levels[_depth].count; }

  void set_cfa_register(std::uint32_t regnum, machine_ptr offset);
  void set_cfa_register_signed(std::uint32_t regnum, machine_ptr_s offset);
  void set_cfa_expression(std::uint64_t address, std::uint64_t length);
  dwarf_cfa_rule<machine_ptr> get_cfa_rule() const { return _levels[_depth].cfa; }

  // Remember / restore the whole rule set. push fails when 5 states are already remembered or when the
  // slot pool cannot hold the copy; pop fails at level 0 and gives the abandoned level's slots back.
  bool push_state();
  bool pop_state();

  crcrash_error_t eval_program(const crcrash_async_mobject_t* mobj, machine_ptr pc, machine_ptr initial_loc,
                               const crcrash_async_dwarf_cie_info_t* cie,
                               const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                               const crcrash_async_byteorder_t* byteorder, std::uint64_t address,
                               std::int64_t offset, std::uint64_t length);

  crcrash_error_t apply_state(task_t task, const crcrash_async_dwarf_cie_info_t* cie,
                              const crcrash_async_thread_state_t* thread_state,
                              const crcrash_async_byteorder_t* byteorder,
                              crcrash_async_thread_state_t* new_thread_state);

 private:
  template <typename, typename>
  friend class dwarf_cfa_state_iterator;

  struct entry {
    machine_ptr value;
    std::uint32_t regnum;
    crcrash_dwarf_cfa_reg_rule_t rule;
    std::uint8_t next;
  };
  struct level {
    dwarf_cfa_rule<machine_ptr> cfa;
    std::uint8_t count;
    std::uint8_t buckets[DWARF_CFA_STATE_BUCKET_COUNT];
  };

  std::uint8_t take_slot();
  void release_slot(std::uint8_t slot);
  void release_level(std::uint8_t depth);

  entry _entries[DWARF_CFA_STATE_MAX_REGISTERS];
  level _levels[DWARF_CFA_STATE_MAX_STATES];
  std::uint8_t _depth;
  std::uint8_t _free;
  std::uint8_t _unused;  // slots from here on were never handed out (taken in index order)
  // The program marked the return address undefined: the outermost frame (_start, a thread's entry).
  bool _return_address_undefined = false;
};

// Visits the current level's rules bucket by bucket, each bucket in insertion order.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
 public:
  explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state)
      : _state(state) {}
  bool next(std::uint32_t* regnum, crcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value);

 private:
  const dwarf_cfa_state<machine_ptr, machine_ptr_s>* _state;
  std::uint8_t _bucket = 0;
  std::uint8_t _slot = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
};

extern template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
extern template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
extern template class dwarf_cfa_state_iterator<std::uint32_t, std::int32_t>;
extern template class dwarf_cfa_state_iterator<std::uint64_t, std::int64_t>;
