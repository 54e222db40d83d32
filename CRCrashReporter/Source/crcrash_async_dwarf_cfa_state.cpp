#include "crcrash_async_dwarf_cfa_state.h"

#include "crcrash_async_dwarf_expression.h"

#define CFA_LOG(tag, ...) crcrash_async_debug_log(tag, __LINE__, __VA_ARGS__)

namespace {

using ull = unsigned long long;

enum : std::uint8_t {
  DW_CFA_nop = 0x00,
  DW_CFA_set_loc = 0x01,
  DW_CFA_advance_loc1 = 0x02,
  DW_CFA_advance_loc2 = 0x03,
  DW_CFA_advance_loc4 = 0x04,
  DW_CFA_offset_extended = 0x05,
  DW_CFA_restore_extended = 0x06,
  DW_CFA_undefined = 0x07,
  DW_CFA_same_value = 0x08,
  DW_CFA_register = 0x09,
  DW_CFA_remember_state = 0x0A,
  DW_CFA_restore_state = 0x0B,
  DW_CFA_def_cfa = 0x0C,
  DW_CFA_def_cfa_register = 0x0D,
  DW_CFA_def_cfa_offset = 0x0E,
  DW_CFA_def_cfa_expression = 0x0F,
  DW_CFA_expression = 0x10,
  DW_CFA_offset_extended_sf = 0x11,
  DW_CFA_def_cfa_sf = 0x12,
  DW_CFA_def_cfa_offset_sf = 0x13,
  DW_CFA_val_offset = 0x14,
  DW_CFA_val_offset_sf = 0x15,
  DW_CFA_val_expression = 0x16,
  // GCC's record of the outgoing argument area size; it says nothing about where registers are.
  DW_CFA_GNU_args_size = 0x2E,
  DW_CFA_advance_loc = 0x40,
  DW_CFA_offset = 0x80,
  DW_CFA_restore = 0xC0,
};

}  // namespace

// ---- Rule table ----

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_state<machine_ptr, machine_ptr_s>::dwarf_cfa_state() {
  // The free list starts empty and slots never used are handed out in index order: the same order as a
  // list of all slots chained 0 to 99, without touching them up front.
  _free = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
  _unused = 0;
  _depth = 0;
  _levels[0].cfa = dwarf_cfa_rule<machine_ptr>();
  _levels[0].count = 0;
  for (auto& b : _levels[0].buckets) b = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
}

template <typename machine_ptr, typename machine_ptr_s>
std::uint8_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::take_slot() {
  const std::uint8_t slot = _free;
  if (slot != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    _free = _entries[slot].next;
    return slot;
  }
  if (_unused < DWARF_CFA_STATE_MAX_REGISTERS) return _unused++;
  return DWARF_CFA_STATE_INVALID_ENTRY_IDX;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::release_slot(std::uint8_t slot) {
  _entries[slot].next = _free;
  _free = slot;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::release_level(std::uint8_t depth) {
  level& l = _levels[depth];
  for (auto& head : l.buckets) {
    std::uint8_t slot = head;
    while (slot != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
      const std::uint8_t next = _entries[slot].next;
      release_slot(slot);
      slot = next;
    }
    head = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
  }
  l.count = 0;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_register(std::uint32_t regnum,
                                                               crcrash_dwarf_cfa_reg_rule_t rule,
                                                               machine_ptr value) {
  level& l = _levels[_depth];
  std::uint8_t* link = &l.buckets[regnum % DWARF_CFA_STATE_BUCKET_COUNT];
  while (*link != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    entry& e = _entries[*link];
    if (e.regnum == regnum) {
      e.rule = rule;
      e.value = value;
      return true;
    }
    link = &e.next;
  }
  const std::uint8_t slot = take_slot();
  if (slot == DWARF_CFA_STATE_INVALID_ENTRY_IDX) return false;
  _entries[slot] = entry{value, regnum, rule, DWARF_CFA_STATE_INVALID_ENTRY_IDX};
  *link = slot;
  l.count++;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_rule(std::uint32_t regnum,
                                                                    crcrash_dwarf_cfa_reg_rule_t* rule,
                                                                    machine_ptr* value) const {
  std::uint8_t slot = _levels[_depth].buckets[regnum % DWARF_CFA_STATE_BUCKET_COUNT];
  while (slot != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    const entry& e = _entries[slot];
    if (e.regnum == regnum) {
      *rule = e.rule;
      *value = e.value;
      return true;
    }
    slot = e.next;
  }
  return false;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::remove_register(std::uint32_t regnum) {
  level& l = _levels[_depth];
  std::uint8_t* link = &l.buckets[regnum % DWARF_CFA_STATE_BUCKET_COUNT];
  while (*link != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    const std::uint8_t slot = *link;
    if (_entries[slot].regnum == regnum) {
      *link = _entries[slot].next;
      release_slot(slot);
      l.count--;
      return;
    }
    link = &_entries[slot].next;
  }
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register(std::uint32_t regnum, machine_ptr offset) {
  dwarf_cfa_rule<machine_ptr>& cfa = _levels[_depth].cfa;
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_REGISTER;
  cfa.reg = regnum;
  cfa.offset = offset;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register_signed(std::uint32_t regnum,
                                                                          machine_ptr_s offset) {
  dwarf_cfa_rule<machine_ptr>& cfa = _levels[_depth].cfa;
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED;
  cfa.reg = regnum;
  cfa.offset = static_cast<machine_ptr>(offset);
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_expression(std::uint64_t address,
                                                                     std::uint64_t length) {
  dwarf_cfa_rule<machine_ptr>& cfa = _levels[_depth].cfa;
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_EXPRESSION;
  cfa.expression_address = address;
  cfa.expression_length = length;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::push_state() {
  if (_depth + 1 >= DWARF_CFA_STATE_MAX_STATES) return false;
  const level& from = _levels[_depth];
  level& to = _levels[_depth + 1];
  to.cfa = from.cfa;
  to.count = 0;
  for (auto& b : to.buckets) b = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
  for (std::uint8_t bucket = 0; bucket < DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) {
    std::uint8_t* link = &to.buckets[bucket];
    for (std::uint8_t slot = from.buckets[bucket]; slot != DWARF_CFA_STATE_INVALID_ENTRY_IDX;
         slot = _entries[slot].next) {
      const std::uint8_t copy = take_slot();
      if (copy == DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
        // The pool cannot hold the copy: give back what was taken and leave the level as it was.
        release_level(static_cast<std::uint8_t>(_depth + 1));
        return false;
      }
      _entries[copy] = _entries[slot];
      _entries[copy].next = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
      *link = copy;
      link = &_entries[copy].next;
      to.count++;
    }
  }
  _depth++;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::pop_state() {
  if (_depth == 0) return false;
  release_level(_depth);
  _depth--;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>::next(std::uint32_t* regnum,
                                                                crcrash_dwarf_cfa_reg_rule_t* rule,
                                                                machine_ptr* value) {
  const auto& l = _state->_levels[_state->_depth];
  if (_slot != DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    _slot = _state->_entries[_slot].next;
    if (_slot == DWARF_CFA_STATE_INVALID_ENTRY_IDX) _bucket++;
  }
  while (_slot == DWARF_CFA_STATE_INVALID_ENTRY_IDX) {
    if (_bucket >= DWARF_CFA_STATE_BUCKET_COUNT) return false;
    _slot = l.buckets[_bucket];
    if (_slot == DWARF_CFA_STATE_INVALID_ENTRY_IDX) _bucket++;
  }
  const auto& e = _state->_entries[_slot];
  *regnum = e.regnum;
  *rule = e.rule;
  *value = e.value;
  return true;
}

// ---- Call-frame program ----

template <typename machine_ptr, typename machine_ptr_s>
crcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::eval_program(
    const crcrash_async_mobject_t* mobj, machine_ptr pc, machine_ptr initial_loc,
    const crcrash_async_dwarf_cie_info_t* cie, const gnu_ehptr_reader<machine_ptr>* ptr_reader,
    const crcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset,
    std::uint64_t length) {
  constexpr const char* kTag = "eval_program";

  // The rules in force at entry, for DW_CFA_restore: a plain list, as most programs never restore. It has
  // room for as many rules as the state has slots, and a level never holds more, so the limit below is
  // only reached if the state's chains were broken.
  struct initial_rule {
    std::uint32_t regnum;
    crcrash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value;
  };
  initial_rule initial[DWARF_CFA_STATE_MAX_REGISTERS];
  std::size_t initial_count = 0;
  {
    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    initial_rule r;
    while (it.next(&r.regnum, &r.rule, &r.value)) {
      if (initial_count == DWARF_CFA_STATE_MAX_REGISTERS) {
        CFA_LOG(kTag, "Hit register allocation limit while saving initial state");
        return CRCRASH_ERR_NOMEM;
      }
      initial[initial_count++] = r;
    }
  }

  gnu_ehptr_reader<machine_ptr> absptr_reader(byteorder);
  const gnu_ehptr_reader<machine_ptr>* set_loc_reader = ptr_reader != nullptr ? ptr_reader : &absptr_reader;
  const std::uint8_t set_loc_encoding =
      cie->has_z_augmentation && cie->has_pointer_encoding && ptr_reader != nullptr ? cie->pointer_encoding
                                                                                    : DW_EH_PE_absptr;

  if (!crcrash_async_address_add_offset(address, offset, nullptr)) {
    CFA_LOG(kTag, "Offset overflows base address");
    return CRCRASH_ERR_INVAL;
  }
  dwarf_instruction_stream stream;
  crcrash_error_t err = stream.init(mobj, byteorder, address, offset, length);
  if (err != CRCRASH_ERR_NONE) return err;

  // Products with the alignment factors are formed unsigned in the word width, so they wrap.
  const machine_ptr caf = static_cast<machine_ptr>(cie->code_alignment_factor);
  const machine_ptr daf = static_cast<machine_ptr>(static_cast<std::uint64_t>(cie->data_alignment_factor));

  machine_ptr location = initial_loc;
  if (pc != 0 && location > pc) return CRCRASH_ERR_NONE;

  auto read_uleb = [&](std::uint64_t* v) {
    if (stream.read_uleb128(v)) return true;
    CFA_LOG(kTag, "Read of ULEB128 value failed");
    return false;
  };
  auto read_sleb = [&](std::int64_t* v) {
    if (stream.read_sleb128(v)) return true;
    CFA_LOG(kTag, "Read of SLEB128 value failed");
    return false;
  };
  auto read_regnum = [&](std::uint32_t* r) -> crcrash_error_t {
    std::uint64_t v;
    if (!read_uleb(&v)) return CRCRASH_ERR_INVAL;
    if (v > DWARF_CFA_STATE_REGNUM_MAX) {
      CFA_LOG(kTag, "Register number %llu exceeds DWARF_CFA_STATE_REGNUM_MAX", static_cast<ull>(v));
      return CRCRASH_ERR_NOTSUP;
    }
    *r = static_cast<std::uint32_t>(v);
    return CRCRASH_ERR_NONE;
  };
  auto set_rule = [&](std::uint32_t r, crcrash_dwarf_cfa_reg_rule_t rule,
                      machine_ptr value) -> crcrash_error_t {
    if (set_register(r, rule, value)) return CRCRASH_ERR_NONE;
    CFA_LOG(kTag, "Exhausted available register slots while evaluating CFA opcodes");
    return CRCRASH_ERR_NOMEM;
  };
  auto restore_rule = [&](std::uint32_t r) -> crcrash_error_t {
    for (std::size_t i = 0; i < initial_count; ++i) {
      if (initial[i].regnum == r) return set_rule(r, initial[i].rule, initial[i].value);
    }
    remove_register(r);
    return CRCRASH_ERR_NONE;
  };
  auto need_register_cfa = [&]() -> bool {
    const dwarf_cfa_state_cfa_type_t type = get_cfa_rule().type;
    if (type == DWARF_CFA_STATE_CFA_TYPE_REGISTER || type == DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED)
      return true;
    CFA_LOG(kTag, "DW_CFA_def_cfa_register emitted for a non-register CFA rule state");
    return false;
  };
  // Skips the expression bytes that follow; an expression longer than what is left of the program fails
  // rather than letting its bytes run as instructions.
  auto skip_expression = [&](std::uint64_t len, const char* position_message,
                             std::uint64_t* start) -> crcrash_error_t {
    if (static_cast<std::int64_t>(len) < 0) {
      CFA_LOG(kTag,
              "DWARF expression length exceeds CR_VM_SIZE_MAX/CR_VM_OFF_MAX in DW_CFA_def_cfa_expression "
              "operand");
      return CRCRASH_ERR_NOTSUP;
    }
    if (static_cast<std::int64_t>(stream.position()) < 0) {
      CFA_LOG(kTag, "%s", position_message);
      return CRCRASH_ERR_NOTSUP;
    }
    if (!crcrash_async_address_add_offset(stream.start_address(),
                                          static_cast<std::int64_t>(stream.position()), start)) {
      CFA_LOG(kTag, "Offset overflows base address");
      return CRCRASH_ERR_INVAL;
    }
    if (len > stream.length() - stream.position()) {
      CFA_LOG(kTag, "DWARF expression of %llu bytes extends past the end of the CFA program",
              static_cast<ull>(len));
      return CRCRASH_ERR_INVAL;
    }
    stream.set_position(stream.position() + len);
    return CRCRASH_ERR_NONE;
  };

  while (!stream.at_end()) {
    std::uint8_t byte;
    stream.read_uint8(&byte);
    const std::uint8_t high = byte & 0xC0;
    const std::uint8_t opcode = high != 0 ? high : byte;
    const std::uint8_t operand = byte & 0x3F;
    std::uint32_t r = 0;
    switch (opcode) {
      case DW_CFA_advance_loc:
        location = static_cast<machine_ptr>(location + static_cast<machine_ptr>(operand * caf));
        break;
      case DW_CFA_offset: {
        std::uint64_t n;
        if (!read_uleb(&n)) return CRCRASH_ERR_INVAL;
        err = set_rule(operand, CRCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<machine_ptr>(n * daf));
        if (err != CRCRASH_ERR_NONE) return err;
        break;
      }
      case DW_CFA_restore:
        err = restore_rule(operand);
        if (err != CRCRASH_ERR_NONE) return err;
        break;
      case DW_CFA_nop:
        break;
      case DW_CFA_set_loc: {
        if (cie->segment_size != 0) {
          CFA_LOG(kTag, "Segment support has not been implemented");
          return CRCRASH_ERR_NOTSUP;
        }
        machine_ptr target;
        if (!stream.read_gnueh_ptr(set_loc_reader, set_loc_encoding, &target)) {
          CFA_LOG(kTag, "DW_CFA_set_loc failed to read the target pointer value");
          return CRCRASH_ERR_INVAL;
        }
        location = target;
        break;
      }
      case DW_CFA_advance_loc1: {
        std::uint8_t delta;
        if (!stream.read_uint8(&delta)) {
          CFA_LOG(kTag, "Read of size %zu exceeds mapped range", static_cast<std::size_t>(1));
          return CRCRASH_ERR_INVAL;
        }
        location = static_cast<machine_ptr>(location + static_cast<machine_ptr>(delta * caf));
        break;
      }
      case DW_CFA_advance_loc2: {
        std::uint16_t delta;
        if (!stream.read_uint16(&delta)) {
          CFA_LOG(kTag, "Read of size %zu exceeds mapped range", static_cast<std::size_t>(2));
          return CRCRASH_ERR_INVAL;
        }
        location = static_cast<machine_ptr>(location + static_cast<machine_ptr>(delta * caf));
        break;
      }
      case DW_CFA_advance_loc4: {
        std::uint32_t delta;
        if (!stream.read_uint32(&delta)) {
          CFA_LOG(kTag, "Read of size %zu exceeds mapped range", static_cast<std::size_t>(4));
          return CRCRASH_ERR_INVAL;
        }
        location = static_cast<machine_ptr>(location + static_cast<machine_ptr>(delta * caf));
        break;
      }
      case DW_CFA_offset_extended:
      case DW_CFA_val_offset: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        std::uint64_t n;
        if (!read_uleb(&n)) return CRCRASH_ERR_INVAL;
        const auto rule = opcode == DW_CFA_val_offset ? CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET
                                                      : CRCRASH_DWARF_CFA_REG_RULE_OFFSET;
        if ((err = set_rule(r, rule, static_cast<machine_ptr>(n * daf))) != CRCRASH_ERR_NONE) return err;
        break;
      }
      case DW_CFA_offset_extended_sf:
      case DW_CFA_val_offset_sf: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        std::int64_t n;
        if (!read_sleb(&n)) return CRCRASH_ERR_INVAL;
        const auto rule = opcode == DW_CFA_val_offset_sf ? CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET
                                                         : CRCRASH_DWARF_CFA_REG_RULE_OFFSET;
        const machine_ptr value =
            static_cast<machine_ptr>(static_cast<machine_ptr>(static_cast<std::uint64_t>(n)) * daf);
        if ((err = set_rule(r, rule, value)) != CRCRASH_ERR_NONE) return err;
        break;
      }
      case DW_CFA_restore_extended:
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        if ((err = restore_rule(r)) != CRCRASH_ERR_NONE) return err;
        break;
      case DW_CFA_undefined:
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        remove_register(r);
        if (r == cie->return_address_register) _return_address_undefined = true;
        break;
      case DW_CFA_same_value:
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        if ((err = set_rule(r, CRCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0)) != CRCRASH_ERR_NONE) return err;
        break;
      case DW_CFA_register: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        std::uint64_t r2;
        if (!read_uleb(&r2)) return CRCRASH_ERR_INVAL;
        if ((err = set_rule(r, CRCRASH_DWARF_CFA_REG_RULE_REGISTER, static_cast<machine_ptr>(r2))) !=
            CRCRASH_ERR_NONE) {
          return err;
        }
        break;
      }
      case DW_CFA_remember_state:
        if (!push_state()) {
          CFA_LOG(kTag, "DW_CFA_remember_state exeeded the allocated CFA stack size");
          return CRCRASH_ERR_NOMEM;
        }
        break;
      case DW_CFA_restore_state:
        if (!pop_state()) {
          CFA_LOG(kTag, "DW_CFA_restore_state was issued on an empty CFA stack");
          return CRCRASH_ERR_INVAL;
        }
        break;
      case DW_CFA_def_cfa: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        std::uint64_t off;
        if (!read_uleb(&off)) return CRCRASH_ERR_INVAL;
        set_cfa_register(r, static_cast<machine_ptr>(off));
        break;
      }
      case DW_CFA_def_cfa_sf: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        std::int64_t off;
        if (!read_sleb(&off)) return CRCRASH_ERR_INVAL;
        set_cfa_register_signed(r, static_cast<machine_ptr_s>(static_cast<machine_ptr>(
                                       static_cast<machine_ptr>(static_cast<std::uint64_t>(off)) * daf)));
        break;
      }
      case DW_CFA_def_cfa_register: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        if (!need_register_cfa()) return CRCRASH_ERR_INVAL;
        _levels[_depth].cfa.reg = r;
        break;
      }
      case DW_CFA_def_cfa_offset: {
        std::uint64_t off;
        if (!read_uleb(&off)) return CRCRASH_ERR_INVAL;
        if (!need_register_cfa()) return CRCRASH_ERR_INVAL;
        set_cfa_register(get_cfa_rule().reg, static_cast<machine_ptr>(off));
        break;
      }
      case DW_CFA_def_cfa_offset_sf: {
        std::int64_t off;
        if (!read_sleb(&off)) return CRCRASH_ERR_INVAL;
        if (!need_register_cfa()) return CRCRASH_ERR_INVAL;
        set_cfa_register_signed(get_cfa_rule().reg,
                                static_cast<machine_ptr_s>(static_cast<machine_ptr>(
                                    static_cast<machine_ptr>(static_cast<std::uint64_t>(off)) * daf)));
        break;
      }
      case DW_CFA_def_cfa_expression: {
        std::uint64_t len;
        if (!read_uleb(&len)) return CRCRASH_ERR_INVAL;
        std::uint64_t start;
        err = skip_expression(
            len, "DWARF expression position exceeds CR_VM_ADDRESS_MAX/CR_VM_OFF_MAX in CFA opcode stream",
            &start);
        if (err != CRCRASH_ERR_NONE) return err;
        set_cfa_expression(start, len);
        break;
      }
      case DW_CFA_expression:
      case DW_CFA_val_expression: {
        if ((err = read_regnum(&r)) != CRCRASH_ERR_NONE) return err;
        // The rule records where the expression's length field is; it is read again when applied.
        const std::uint64_t length_position = stream.position();
        std::uint64_t len;
        if (!read_uleb(&len)) return CRCRASH_ERR_INVAL;
        std::uint64_t start;
        err = skip_expression(len,
                              "DWARF expression position exceeds CR_VM_ADDRESS_MAX/CR_VM_OFF_MAX in "
                              "DW_CFA_expression evaluation",
                              &start);
        if (err != CRCRASH_ERR_NONE) return err;
        const std::uint64_t e = stream.start_address() + length_position;
        const auto rule = opcode == DW_CFA_val_expression ? CRCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION
                                                          : CRCRASH_DWARF_CFA_REG_RULE_EXPRESSION;
        if ((err = set_rule(r, rule, static_cast<machine_ptr>(e))) != CRCRASH_ERR_NONE) return err;
        break;
      }
      case DW_CFA_GNU_args_size: {
        std::uint64_t size;
        if (!read_uleb(&size)) return CRCRASH_ERR_INVAL;
        break;
      }
      default:
        CFA_LOG(kTag, "Unsupported opcode 0x%hhx", opcode);
        return CRCRASH_ERR_NOTSUP;
    }
    if (pc != 0 && location > pc) return CRCRASH_ERR_NONE;
  }
  return CRCRASH_ERR_NONE;
}

// ---- Applying the rules ----

namespace {

template <typename machine_ptr>
crcrash_error_t read_word(task_t task, const crcrash_async_byteorder_t* byteorder, std::uint64_t address,
                          std::uint64_t greg_size, std::uint64_t* value) {
  if (greg_size == 4) {
    std::uint32_t v = 0;
    crcrash_error_t err = crcrash_async_task_memcpy(task, address, 0, &v, 4);
    *value = byteorder->swap32(v);
    return err;
  }
  std::uint64_t v = 0;
  crcrash_error_t err = crcrash_async_task_memcpy(task, address, 0, &v, 8);
  *value = byteorder->swap64(v);
  return err;
}

// Evaluates the expression whose ULEB128 length is at `address` in the task, with `cfa` as the one
// initial value, in the width of the thread state's registers.
crcrash_error_t eval_rule_expression(task_t task, const crcrash_async_thread_state_t* thread_state,
                                     const crcrash_async_byteorder_t* byteorder, std::uint64_t address,
                                     std::uint64_t cfa, std::uint64_t* result) {
  constexpr const char* kTag = "crcrash_async_dwarf_cfa_state_apply_register";
  std::uint64_t length, size;
  crcrash_error_t err = crcrash_async_dwarf_read_task_uleb128(task, address, 0, &length, &size);
  if (err != CRCRASH_ERR_NONE) {
    CFA_LOG(kTag, "Failed to read uleb128 length header for rule expression");
    return err;
  }
  std::uint64_t start;
  if (!crcrash_async_address_add_offset(address, static_cast<std::int64_t>(size), &start)) {
    CFA_LOG(kTag, "Overflow applying the ULEB128 length to our expression base address");
    return CRCRASH_ERR_INVAL;
  }
  crcrash_async_mobject_t mobj;
  err = crcrash_async_mobject_init(&mobj, task, start, length, true);
  if (err != CRCRASH_ERR_NONE) {
    CFA_LOG(kTag, "Could not map CFA expression range");
    return err;
  }
  if (crcrash_async_thread_state_get_greg_size(thread_state) == 4) {
    const std::uint32_t initial = static_cast<std::uint32_t>(cfa);
    std::uint32_t v = 0;
    err = crcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
        &mobj, task, thread_state, byteorder, start, 0, length, &initial, 1, &v);
    if (err != CRCRASH_ERR_NONE) CFA_LOG(kTag, "CFA eval_32 failed");
    *result = v;
  } else {
    const std::uint64_t initial = cfa;
    err = crcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
        &mobj, task, thread_state, byteorder, start, 0, length, &initial, 1, result);
    if (err != CRCRASH_ERR_NONE) CFA_LOG(kTag, "CFA eval_64 failed");
  }
  crcrash_async_mobject_free(&mobj);
  return err;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
crcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::apply_state(
    task_t task, const crcrash_async_dwarf_cie_info_t* cie, const crcrash_async_thread_state_t* thread_state,
    const crcrash_async_byteorder_t* byteorder, crcrash_async_thread_state_t* new_thread_state) {
  constexpr const char* kTag = "apply_state";
  *new_thread_state = *thread_state;
  crcrash_async_thread_state_clear_volatile_regs(new_thread_state);

  machine_ptr cfa = 0;
  const dwarf_cfa_rule<machine_ptr> cfa_rule = get_cfa_rule();
  switch (cfa_rule.type) {
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER:
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
      crcrash_regnum_t reg;
      if (!crcrash_async_thread_state_map_dwarf_to_reg(thread_state, cfa_rule.reg, &reg)) {
        CFA_LOG(kTag, "CFA rule references an unsupported DWARF register: 0x%x", cfa_rule.reg);
        return CRCRASH_ERR_NOTSUP;
      }
      if (!crcrash_async_thread_state_has_reg(thread_state, reg)) {
        CFA_LOG(kTag,
                "CFA rule references a register that is not available from the current thread state: %s",
                crcrash_async_thread_state_get_regname(thread_state, reg));
        return CRCRASH_ERR_NOTFOUND;
      }
      // Signed and unsigned offsets wrap alike in the word width.
      cfa = static_cast<machine_ptr>(
          static_cast<machine_ptr>(crcrash_async_thread_state_get_reg(thread_state, reg)) + cfa_rule.offset);
      break;
    }
    case DWARF_CFA_STATE_CFA_TYPE_EXPRESSION: {
      crcrash_async_mobject_t mobj;
      crcrash_error_t err = crcrash_async_mobject_init(&mobj, task, cfa_rule.expression_address,
                                                       cfa_rule.expression_length, true);
      if (err != CRCRASH_ERR_NONE) {
        CFA_LOG(kTag, "Could not map CFA expression range");
        return err;
      }
      err = crcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(
          &mobj, task, thread_state, byteorder, cfa_rule.expression_address, 0, cfa_rule.expression_length,
          nullptr, 0, &cfa);
      crcrash_async_mobject_free(&mobj);
      if (err != CRCRASH_ERR_NONE) {
        CFA_LOG(kTag, "Failed to evaluate the CFA expression: %d", err);
        return err;
      }
      break;
    }
    default:
      CFA_LOG(kTag, "No canonical frame address specified in the CFA state; can't apply state");
      return CRCRASH_ERR_INVAL;
  }
  crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_SP, cfa);

  const std::uint64_t greg_size = crcrash_async_thread_state_get_greg_size(thread_state);
  dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
  std::uint32_t dwarf_reg;
  crcrash_dwarf_cfa_reg_rule_t rule;
  machine_ptr value;
  while (it.next(&dwarf_reg, &rule, &value)) {
    crcrash_regnum_t reg;
    if (!crcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &reg)) {
      if (dwarf_reg != cie->return_address_register) {
        CFA_LOG(kTag, "Register rule references an unsupported DWARF register: 0x%llx",
                static_cast<ull>(dwarf_reg));
        return CRCRASH_ERR_INVAL;
      }
      reg = CRCRASH_REG_IP;
    }
    std::uint64_t result = 0;
    crcrash_error_t err = CRCRASH_ERR_NONE;
    switch (rule) {
      case CRCRASH_DWARF_CFA_REG_RULE_OFFSET:
        err = read_word<machine_ptr>(task, byteorder, static_cast<machine_ptr>(cfa + value), greg_size,
                                     &result);
        if (err != CRCRASH_ERR_NONE) {
          CFA_LOG(kTag, "Failed to read offset(N) register value: %d", err);
          return err;
        }
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
        result = static_cast<machine_ptr>(cfa + value);
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_REGISTER: {
        crcrash_regnum_t source;
        if (!crcrash_async_thread_state_map_dwarf_to_reg(thread_state, value, &source)) {
          CFA_LOG(kTag, "Register rule references an unsupported DWARF register: 0x%llx",
                  static_cast<ull>(value));
          return CRCRASH_ERR_INVAL;
        }
        if (!crcrash_async_thread_state_has_reg(thread_state, source)) {
          CFA_LOG(
              kTag,
              "Register rule references a register that is not available from the current thread state: %s",
              crcrash_async_thread_state_get_regname(thread_state, source));
          return CRCRASH_ERR_NOTFOUND;
        }
        result = crcrash_async_thread_state_get_reg(thread_state, source);
        break;
      }
      case CRCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
      case CRCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION:
        err = eval_rule_expression(task, thread_state, byteorder, value, cfa, &result);
        if (err != CRCRASH_ERR_NONE) return err;
        if (rule == CRCRASH_DWARF_CFA_REG_RULE_EXPRESSION) {
          const std::uint64_t address = result;
          err = read_word<machine_ptr>(task, byteorder, address, greg_size, &result);
          if (err != CRCRASH_ERR_NONE) {
            CFA_LOG(kTag, "Failed to read register value from expression result: %d", err);
            return err;
          }
        }
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
        if (!crcrash_async_thread_state_has_reg(thread_state, reg)) {
          CFA_LOG(
              kTag,
              "Same-value rule references a register that is not available from the current thread state");
          return CRCRASH_ERR_NOTFOUND;
        }
        result = crcrash_async_thread_state_get_reg(thread_state, reg);
        break;
      default:
        return CRCRASH_ERR_INVAL;
    }
    if (greg_size == 4) result = static_cast<std::uint32_t>(result);
    crcrash_async_thread_state_set_reg(new_thread_state, reg, result);
    if (dwarf_reg == cie->return_address_register && reg != CRCRASH_REG_IP) {
      crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_IP, result);
    }
  }

  if (crcrash_async_thread_state_has_reg(new_thread_state, CRCRASH_REG_IP)) return CRCRASH_ERR_NONE;
  // The outermost frame has no caller: the normal end of every stack, not a failure worth a log line.
  if (_return_address_undefined) return CRCRASH_ERR_NOTFOUND;
  crcrash_regnum_t ra;
  if (!crcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &ra)) {
    CFA_LOG(kTag, "Return address register value references an unsupported DWARF register: 0x%llx",
            static_cast<ull>(cie->return_address_register));
    return CRCRASH_ERR_INVAL;
  }
  if (!crcrash_async_thread_state_has_reg(thread_state, ra)) {
    CFA_LOG(kTag,
            "CIE return_address_register references a register that is not available from the current thread "
            "state: %s",
            crcrash_async_thread_state_get_regname(thread_state, ra));
    return CRCRASH_ERR_INVAL;
  }
  crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_IP,
                                     crcrash_async_thread_state_get_reg(thread_state, ra));
  return CRCRASH_ERR_NONE;
}

template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
template class dwarf_cfa_state_iterator<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state_iterator<std::uint64_t, std::int64_t>;

// The log macro stays within this file (the library compiles several sources to a unit).
#undef CFA_LOG
