#include "crcrash_async_dwarf_expression.h"

#define EXPR_LOG(...) crcrash_async_debug_log("crcrash_async_dwarf_expression_eval", __LINE__, __VA_ARGS__)

namespace {

using ull = unsigned long long;

enum : std::uint8_t {
  DW_OP_deref = 0x06,
  DW_OP_const1u = 0x08,
  DW_OP_const1s = 0x09,
  DW_OP_const2u = 0x0A,
  DW_OP_const2s = 0x0B,
  DW_OP_const4u = 0x0C,
  DW_OP_const4s = 0x0D,
  DW_OP_const8u = 0x0E,
  DW_OP_const8s = 0x0F,
  DW_OP_constu = 0x10,
  DW_OP_consts = 0x11,
  DW_OP_dup = 0x12,
  DW_OP_drop = 0x13,
  DW_OP_over = 0x14,
  DW_OP_pick = 0x15,
  DW_OP_swap = 0x16,
  DW_OP_rot = 0x17,
  DW_OP_xderef = 0x18,
  DW_OP_abs = 0x19,
  DW_OP_and = 0x1A,
  DW_OP_div = 0x1B,
  DW_OP_minus = 0x1C,
  DW_OP_mod = 0x1D,
  DW_OP_mul = 0x1E,
  DW_OP_neg = 0x1F,
  DW_OP_not = 0x20,
  DW_OP_or = 0x21,
  DW_OP_plus = 0x22,
  DW_OP_plus_uconst = 0x23,
  DW_OP_shl = 0x24,
  DW_OP_shr = 0x25,
  DW_OP_shra = 0x26,
  DW_OP_xor = 0x27,
  DW_OP_bra = 0x28,
  DW_OP_eq = 0x29,
  DW_OP_ge = 0x2A,
  DW_OP_gt = 0x2B,
  DW_OP_le = 0x2C,
  DW_OP_lt = 0x2D,
  DW_OP_ne = 0x2E,
  DW_OP_skip = 0x2F,
  DW_OP_lit0 = 0x30,
  DW_OP_lit31 = 0x4F,
  DW_OP_breg0 = 0x70,
  DW_OP_breg31 = 0x8F,
  DW_OP_bregx = 0x92,
  DW_OP_deref_size = 0x94,
  DW_OP_xderef_size = 0x95,
  DW_OP_nop = 0x96,
};

template <typename machine_ptr>
struct value_stack {
  machine_ptr values[CRCRASH_DWARF_EXPRESSION_STACK_SIZE];
  std::size_t count = 0;

  crcrash_error_t push(machine_ptr v) {
    if (count == CRCRASH_DWARF_EXPRESSION_STACK_SIZE) {
      EXPR_LOG("Hit stack limit; cannot push further values");
      return CRCRASH_ERR_INTERNAL;
    }
    values[count++] = v;
    return CRCRASH_ERR_NONE;
  }
  crcrash_error_t pop(machine_ptr* v) {
    if (count == 0) {
      EXPR_LOG("Pop on an empty stack");
      return CRCRASH_ERR_INTERNAL;
    }
    *v = values[--count];
    return CRCRASH_ERR_NONE;
  }
  // The entry `depth` below the top (0 = the top); the caller checks the depth.
  machine_ptr& at(std::size_t depth) { return values[count - 1 - depth]; }
};

#define TRY(expr)                                      \
  do {                                                 \
    crcrash_error_t try_err_ = (expr);                 \
    if (try_err_ != CRCRASH_ERR_NONE) return try_err_; \
  } while (0)

// Reads `size` bytes at `address` of the task as stored and zero-extends them.
crcrash_error_t read_target(task_t task, std::uint64_t address, std::uint8_t size, std::uint64_t* value) {
  std::uint8_t bytes[8] = {};
  crcrash_error_t err = crcrash_async_task_memcpy(task, address, 0, bytes, size);
  if (err != CRCRASH_ERR_NONE) return err;
  std::uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | bytes[i];
  *value = v;
  return CRCRASH_ERR_NONE;
}

template <typename machine_ptr>
crcrash_error_t push_register(value_stack<machine_ptr>* stack, dwarf_instruction_stream* stream,
                              const crcrash_async_thread_state_t* thread_state, std::uint64_t dwarf_reg) {
  crcrash_regnum_t reg;
  if (!crcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &reg)) {
    EXPR_LOG("Unsupported DWARF register value of 0x%llx", static_cast<ull>(dwarf_reg));
    return CRCRASH_ERR_NOTSUP;
  }
  if (!crcrash_async_thread_state_has_reg(thread_state, reg)) {
    EXPR_LOG("Register value of %s unavailable in the current frame.",
             crcrash_async_thread_state_get_regname(thread_state, reg));
    return CRCRASH_ERR_NOTFOUND;
  }
  std::int64_t n;
  if (!stream->read_sleb128(&n)) {
    EXPR_LOG("Read of SLEB128 value failed");
    return CRCRASH_ERR_INVAL;
  }
  const machine_ptr value = static_cast<machine_ptr>(crcrash_async_thread_state_get_reg(thread_state, reg));
  return stack->push(
      static_cast<machine_ptr>(value + static_cast<machine_ptr>(static_cast<std::uint64_t>(n))));
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
crcrash_error_t crcrash_async_dwarf_expression_eval(const crcrash_async_mobject_t* mobj, task_t task,
                                                    const crcrash_async_thread_state_t* thread_state,
                                                    const crcrash_async_byteorder_t* byteorder,
                                                    std::uint64_t address, std::int64_t offset,
                                                    std::uint64_t length, const machine_ptr* initial_values,
                                                    std::size_t initial_count, machine_ptr* result) {
  constexpr unsigned kBits = sizeof(machine_ptr) * 8;
  constexpr machine_ptr kSignBit = static_cast<machine_ptr>(machine_ptr(1) << (kBits - 1));
  dwarf_instruction_stream stream;
  TRY(stream.init(mobj, byteorder, address, offset, length));

  value_stack<machine_ptr> stack;
  for (std::size_t i = 0; i < initial_count; ++i) TRY(stack.push(initial_values[i]));

  // Fixed-size operand reads; a short stream names the size it wanted.
  auto short_read = [](std::size_t size) {
    EXPR_LOG("Read of size %zu exceeds mapped range", size);
    return CRCRASH_ERR_INVAL;
  };
  auto as_signed = [](machine_ptr v) { return static_cast<machine_ptr_s>(v); };

  std::uint32_t operations = 0;
  while (!stream.at_end()) {
    if (++operations > CRCRASH_DWARF_EXPRESSION_MAX_OPERATIONS) {
      EXPR_LOG("Expression exceeded the limit of %u operations", CRCRASH_DWARF_EXPRESSION_MAX_OPERATIONS);
      return CRCRASH_ERR_INVAL;
    }
    std::uint8_t opcode;
    stream.read_uint8(&opcode);
    machine_ptr a, b;
    switch (opcode) {
      case DW_OP_deref:
      case DW_OP_xderef: {
        if (opcode == DW_OP_xderef && stack.count < 2) {
          EXPR_LOG("DW_OP_xderef on stack with < 2 elements");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.pop(&a));
        if (opcode == DW_OP_xderef) TRY(stack.pop(&b));
        std::uint64_t v = 0;
        crcrash_error_t err = read_target(task, a, sizeof(machine_ptr), &v);
        if (err != CRCRASH_ERR_NONE) {
          EXPR_LOG("DW_OP_deref referenced an invalid target address 0x%llx", static_cast<ull>(a));
          return err;
        }
        TRY(stack.push(static_cast<machine_ptr>(v)));
        break;
      }
      case DW_OP_const1u: {
        std::uint8_t v;
        if (!stream.read_uint8(&v)) return short_read(1);
        TRY(stack.push(v));
        break;
      }
      case DW_OP_const1s: {
        std::uint8_t v;
        if (!stream.read_uint8(&v)) return short_read(1);
        TRY(stack.push(static_cast<machine_ptr>(static_cast<machine_ptr_s>(static_cast<std::int8_t>(v)))));
        break;
      }
      case DW_OP_const2u: {
        std::uint16_t v;
        if (!stream.read_uint16(&v)) return short_read(2);
        TRY(stack.push(v));
        break;
      }
      case DW_OP_const2s: {
        std::uint16_t v;
        if (!stream.read_uint16(&v)) return short_read(2);
        TRY(stack.push(static_cast<machine_ptr>(static_cast<machine_ptr_s>(static_cast<std::int16_t>(v)))));
        break;
      }
      case DW_OP_const4u: {
        std::uint32_t v;
        if (!stream.read_uint32(&v)) return short_read(4);
        TRY(stack.push(static_cast<machine_ptr>(v)));
        break;
      }
      case DW_OP_const4s: {
        std::uint32_t v;
        if (!stream.read_uint32(&v)) return short_read(4);
        TRY(stack.push(static_cast<machine_ptr>(static_cast<machine_ptr_s>(static_cast<std::int32_t>(v)))));
        break;
      }
      case DW_OP_const8u:
      case DW_OP_const8s: {
        std::uint64_t v;
        if (!stream.read_uint64(&v)) return short_read(8);
        TRY(stack.push(static_cast<machine_ptr>(v)));
        break;
      }
      case DW_OP_constu: {
        std::uint64_t v;
        if (!stream.read_uleb128(&v)) {
          EXPR_LOG("Read of ULEB128 value failed");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.push(static_cast<machine_ptr>(v)));
        break;
      }
      case DW_OP_consts: {
        std::int64_t v;
        if (!stream.read_sleb128(&v)) {
          EXPR_LOG("Read of SLEB128 value failed");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.push(static_cast<machine_ptr>(static_cast<std::uint64_t>(v))));
        break;
      }
      case DW_OP_dup:
        if (stack.count < 1) {
          EXPR_LOG("DW_OP_dup on an empty stack");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.push(stack.at(0)));
        break;
      case DW_OP_drop:
        if (stack.count < 1) {
          EXPR_LOG("DW_OP_drop on an empty stack");
          return CRCRASH_ERR_INVAL;
        }
        stack.count--;
        break;
      case DW_OP_over:
        if (stack.count < 2) {
          EXPR_LOG("DW_OP_over on stack with < 2 elements");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.push(stack.at(1)));
        break;
      case DW_OP_pick: {
        std::uint8_t index;
        if (!stream.read_uint8(&index)) return short_read(1);
        if (index >= stack.count) {
          EXPR_LOG("DW_OP_pick on invalid index");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.push(stack.at(index)));
        break;
      }
      case DW_OP_swap: {
        if (stack.count < 2) {
          EXPR_LOG("DW_OP_swap on stack with < 2 elements");
          return CRCRASH_ERR_INVAL;
        }
        machine_ptr top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = top;
        break;
      }
      case DW_OP_rot: {
        if (stack.count < 3) {
          EXPR_LOG("DW_OP_rot on stack with < 3 elements");
          return CRCRASH_ERR_INVAL;
        }
        machine_ptr top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = stack.at(2);
        stack.at(2) = top;
        break;
      }
      case DW_OP_abs:
        TRY(stack.pop(&a));
        // Negation in unsigned arithmetic: the most negative value stays itself instead of trapping.
        TRY(stack.push((a & kSignBit) != 0 ? static_cast<machine_ptr>(0 - a) : a));
        break;
      case DW_OP_neg:
        TRY(stack.pop(&a));
        TRY(stack.push(static_cast<machine_ptr>(0 - a)));
        break;
      case DW_OP_not:
        TRY(stack.pop(&a));
        TRY(stack.push(static_cast<machine_ptr>(~a)));
        break;
      case DW_OP_plus_uconst: {
        std::uint64_t n;
        if (!stream.read_uleb128(&n)) {
          EXPR_LOG("Read of ULEB128 value failed");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.pop(&a));
        TRY(stack.push(static_cast<machine_ptr>(a + static_cast<machine_ptr>(n))));
        break;
      }
      case DW_OP_and:
      case DW_OP_div:
      case DW_OP_minus:
      case DW_OP_mod:
      case DW_OP_mul:
      case DW_OP_or:
      case DW_OP_plus:
      case DW_OP_shl:
      case DW_OP_shr:
      case DW_OP_shra:
      case DW_OP_xor:
      case DW_OP_eq:
      case DW_OP_ge:
      case DW_OP_gt:
      case DW_OP_le:
      case DW_OP_lt:
      case DW_OP_ne: {
        TRY(stack.pop(&a));
        TRY(stack.pop(&b));
        machine_ptr r = 0;
        switch (opcode) {
          case DW_OP_and:
            r = b & a;
            break;
          case DW_OP_div:
            if (a == 0) {
              EXPR_LOG("DW_OP_div attempted divide by zero");
              return CRCRASH_ERR_INVAL;
            }
            // The minimum divided by -1 would trap; its wrapped quotient is the minimum itself.
            if (b == kSignBit && a == static_cast<machine_ptr>(~machine_ptr(0))) {
              r = b;
            } else {
              r = static_cast<machine_ptr>(as_signed(b) / as_signed(a));
            }
            break;
          case DW_OP_minus:
            r = static_cast<machine_ptr>(b - a);
            break;
          case DW_OP_mod:
            if (a == 0) {
              EXPR_LOG("DW_OP_mod attempted divide by zero");
              return CRCRASH_ERR_INVAL;
            }
            r = b % a;
            break;
          case DW_OP_mul:
            r = static_cast<machine_ptr>(b * a);
            break;
          case DW_OP_or:
            r = b | a;
            break;
          case DW_OP_plus:
            r = static_cast<machine_ptr>(b + a);
            break;
          case DW_OP_shl:
            r = static_cast<machine_ptr>(b << (a % kBits));
            break;
          case DW_OP_shr:
            r = a >= kBits ? 0 : static_cast<machine_ptr>(b >> a);
            break;
          case DW_OP_shra: {
            const machine_ptr fill = (b & kSignBit) != 0 ? static_cast<machine_ptr>(~machine_ptr(0)) : 0;
            if (a >= kBits) {
              r = fill;
            } else if (a == 0) {
              r = b;
            } else {
              r = static_cast<machine_ptr>((b >> a) | static_cast<machine_ptr>(fill << (kBits - a)));
            }
            break;
          }
          case DW_OP_xor:
            r = b ^ a;
            break;
          case DW_OP_eq:
            r = b == a;
            break;
          case DW_OP_ge:
            r = as_signed(b) >= as_signed(a);
            break;
          case DW_OP_gt:
            r = as_signed(b) > as_signed(a);
            break;
          case DW_OP_le:
            r = as_signed(b) <= as_signed(a);
            break;
          case DW_OP_lt:
            r = as_signed(b) < as_signed(a);
            break;
          case DW_OP_ne:
            r = b != a;
            break;
        }
        TRY(stack.push(r));
        break;
      }
      case DW_OP_bra:
      case DW_OP_skip: {
        std::uint16_t raw;
        if (!stream.read_uint16(&raw)) return short_read(2);
        const std::int16_t delta = static_cast<std::int16_t>(raw);
        bool jump = true;
        if (opcode == DW_OP_bra) {
          TRY(stack.pop(&a));
          jump = a != 0;
        }
        if (jump) {
          const std::int64_t target = static_cast<std::int64_t>(stream.position()) + delta;
          if (target < 0 || !stream.set_position(static_cast<std::uint64_t>(target))) {
            if (opcode == DW_OP_bra) {
              EXPR_LOG("DW_OP_bra offset %hd falls outside of opcode range", delta);
            } else {
              EXPR_LOG("DW_OP_skip offset %hd falls outside of opcode range", delta);
            }
            return CRCRASH_ERR_INVAL;
          }
        }
        break;
      }
      case DW_OP_bregx: {
        std::uint64_t reg;
        if (!stream.read_uleb128(&reg)) {
          EXPR_LOG("Read of ULEB128 value failed");
          return CRCRASH_ERR_INVAL;
        }
        TRY(push_register(&stack, &stream, thread_state, reg));
        break;
      }
      case DW_OP_deref_size:
      case DW_OP_xderef_size: {
        std::uint8_t size;
        if (!stream.read_uint8(&size)) return short_read(1);
        if (size > sizeof(machine_ptr)) {
          EXPR_LOG("DW_OP_deref_size specified a size larger than the native machine word");
          return CRCRASH_ERR_INVAL;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          EXPR_LOG("DW_OP_deref_size specified an unsupported size of %hhu", size);
          return CRCRASH_ERR_INVAL;
        }
        if (opcode == DW_OP_xderef_size && stack.count < 2) {
          EXPR_LOG("DW_OP_xderef_size on stack with < 2 elements");
          return CRCRASH_ERR_INVAL;
        }
        TRY(stack.pop(&a));
        if (opcode == DW_OP_xderef_size) TRY(stack.pop(&b));
        std::uint64_t v = 0;
        crcrash_error_t err = read_target(task, a, size, &v);
        if (err != CRCRASH_ERR_NONE) {
          EXPR_LOG("DW_OP_deref_size referenced an invalid target address 0x%llx", static_cast<ull>(a));
          return err;
        }
        TRY(stack.push(static_cast<machine_ptr>(v)));
        break;
      }
      case DW_OP_nop:
        break;
      default:
        if (opcode >= DW_OP_lit0 && opcode <= DW_OP_lit31) {
          TRY(stack.push(static_cast<machine_ptr>(opcode - DW_OP_lit0)));
        } else if (opcode >= DW_OP_breg0 && opcode <= DW_OP_breg31) {
          TRY(push_register(&stack, &stream, thread_state, opcode - DW_OP_breg0));
        } else {
          EXPR_LOG("Unsupported opcode 0x%hhx", opcode);
          return CRCRASH_ERR_NOTSUP;
        }
        break;
    }
  }
  if (stack.count == 0) {
    EXPR_LOG("Expression did not provide a result value.");
    return CRCRASH_ERR_INVAL;
  }
  *result = stack.at(0);
  return CRCRASH_ERR_NONE;
}

template crcrash_error_t crcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
    const crcrash_async_mobject_t*, task_t, const crcrash_async_thread_state_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, std::int64_t, std::uint64_t, const std::uint32_t*,
    std::size_t, std::uint32_t*);
template crcrash_error_t crcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
    const crcrash_async_mobject_t*, task_t, const crcrash_async_thread_state_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, std::int64_t, std::uint64_t, const std::uint64_t*,
    std::size_t, std::uint64_t*);

// The macros stay within this file (the library compiles several sources to a unit).
#undef EXPR_LOG
#undef TRY
