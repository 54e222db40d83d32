// Every FDE of this process's C and C++ runtime libraries and of the test program itself, evaluated as
// loaded in memory, against the row tables that llvm-dwarfdump prints for the files on disk: at each
// row's first byte and at its last byte, the CFA rule and every register rule must agree.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "crcrash_async_dwarf_cfa_state.h"
#include "crcrash_async_image_list.h"

namespace pc = platform::crash;

namespace {

using cfa_state = dwarf_cfa_state<std::uint64_t, std::int64_t>;

std::string real_path(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string self_path() { return real_path("/proc/self/exe"); }

std::string register_name(std::uint64_t dwarf) {
  static const char* const kNames[] = {"RAX", "RDX", "RCX", "RBX", "RSI", "RDI", "RBP", "RSP", "R8",
                                       "R9",  "R10", "R11", "R12", "R13", "R14", "R15", "RIP"};
  if (dwarf < std::size(kNames)) return kNames[dwarf];
  return "reg" + std::to_string(dwarf);
}

std::string signed_offset(std::int64_t v, bool show_zero) {
  if (v == 0) return show_zero ? "+0" : "";
  return (v > 0 ? "+" : "-") + std::to_string(v > 0 ? v : -v);
}

// The expression bytes in llvm-dwarfdump's words, for the operations call-frame information uses.
std::string disassemble(const std::uint8_t* p, std::size_t length) {
  static const std::map<std::uint8_t, const char*> kNames = {
      {0x06, "DW_OP_deref"}, {0x12, "DW_OP_dup"}, {0x1A, "DW_OP_and"}, {0x1C, "DW_OP_minus"},
      {0x22, "DW_OP_plus"},  {0x24, "DW_OP_shl"}, {0x25, "DW_OP_shr"}, {0x29, "DW_OP_eq"},
      {0x2A, "DW_OP_ge"},    {0x2B, "DW_OP_gt"},  {0x2C, "DW_OP_le"},  {0x2D, "DW_OP_lt"},
      {0x2E, "DW_OP_ne"},    {0x96, "DW_OP_nop"}, {0x1E, "DW_OP_mul"}};
  std::string out;
  const std::uint8_t* end = p + length;
  while (p < end) {
    if (!out.empty()) out += ", ";
    const std::uint8_t op = *p++;
    if (op >= 0x30 && op <= 0x4F) {
      out += "DW_OP_lit" + std::to_string(op - 0x30);
    } else if (op >= 0x70 && op <= 0x8F) {
      std::int64_t v = 0;
      unsigned shift = 0;
      std::uint8_t byte;
      do {
        byte = *p++;
        v |= static_cast<std::int64_t>(byte & 0x7F) << shift;
        shift += 7;
      } while ((byte & 0x80) != 0);
      if (shift < 64 && (byte & 0x40) != 0) v |= -(static_cast<std::int64_t>(1) << shift);
      out +=
          "DW_OP_breg" + std::to_string(op - 0x70) + " " + register_name(op - 0x70) + signed_offset(v, true);
    } else if (kNames.count(op) != 0) {
      out += kNames.at(op);
    } else {
      out += "DW_OP_unknown";
      break;
    }
  }
  return out;
}

std::string expression_at_length_field(std::uint64_t address) {
  auto* p = reinterpret_cast<const std::uint8_t*>(address);
  std::uint64_t length = 0;
  unsigned shift = 0;
  std::uint8_t byte;
  do {
    byte = *p++;
    length |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  } while ((byte & 0x80) != 0);
  return disassemble(p, length);
}

struct Row {
  std::string cfa;
  std::map<std::string, std::string> registers;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  out << "CFA=" << row.cfa << ":";
  for (const auto& [name, rule] : row.registers) out << " " << name << "=" << rule;
  return out;
}

Row describe(const cfa_state& state) {
  Row row;
  const dwarf_cfa_rule<std::uint64_t> cfa = state.get_cfa_rule();
  if (cfa.type == DWARF_CFA_STATE_CFA_TYPE_EXPRESSION) {
    row.cfa =
        disassemble(reinterpret_cast<const std::uint8_t*>(cfa.expression_address), cfa.expression_length);
  } else if (cfa.type != DWARF_CFA_STATE_CFA_TYPE_UNDEFINED) {
    row.cfa = register_name(cfa.reg) + signed_offset(static_cast<std::int64_t>(cfa.offset), false);
  }
  dwarf_cfa_state_iterator<std::uint64_t, std::int64_t> it(&state);
  std::uint32_t reg;
  crcrash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value;
  while (it.next(&reg, &rule, &value)) {
    std::string text;
    switch (rule) {
      case CRCRASH_DWARF_CFA_REG_RULE_OFFSET:
        text = "[CFA" + signed_offset(static_cast<std::int64_t>(value), false) + "]";
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
        text = "CFA" + signed_offset(static_cast<std::int64_t>(value), false);
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_REGISTER:
        text = register_name(value);
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
        text = "[" + expression_at_length_field(value) + "]";
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION:
        text = expression_at_length_field(value);
        break;
      case CRCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
        text = "same";
        break;
    }
    row.registers[register_name(reg)] = text;
  }
  return row;
}

// "CFA=RSP+16: RBX=[CFA-16], RIP=[CFA-8]"; an undefined register is the same as one without a rule.
Row parse_row(const std::string& text) {
  Row row;
  const std::size_t colon = text.find(": ");
  row.cfa = text.substr(4, colon == std::string::npos ? std::string::npos : colon - 4);
  if (colon == std::string::npos) return row;
  const std::string rest = text.substr(colon + 2);
  std::size_t start = 0;
  auto is_name_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  while (start < rest.size()) {
    // The next entry starts after ", " followed by a register name and '='.
    std::size_t next = start;
    for (;;) {
      next = rest.find(", ", next);
      if (next == std::string::npos) break;
      std::size_t j = next + 2;
      while (j < rest.size() && is_name_char(rest[j])) ++j;
      if (j < rest.size() && rest[j] == '=' && j > next + 2) break;
      next += 2;
    }
    const std::string entry =
        rest.substr(start, next == std::string::npos ? std::string::npos : next - start);
    const std::size_t eq = entry.find('=');
    const std::string name = entry.substr(0, eq), rule = entry.substr(eq + 1);
    if (rule != "undefined") row.registers[name] = rule;
    if (next == std::string::npos) break;
    start = next + 2;
  }
  return row;
}

struct DumpedFde {
  std::uint64_t offset, pc_start, pc_end;
  std::vector<std::pair<std::uint64_t, std::string>> rows;
  // Where the FDE's first DW_CFA_restore_state takes effect. llvm-dwarfdump-14 restores only the register
  // rules there and keeps the CFA rule of the abandoned state, so its CFA from here on is not an oracle.
  std::uint64_t restore_at = ~0ull;
  std::uint64_t advanced = 0;
};

std::vector<DumpedFde> dump_fdes(const std::string& path) {
  std::vector<DumpedFde> fdes;
  std::istringstream in(crash_test::run("llvm-dwarfdump-14 --eh-frame '" + path + "' 2>/dev/null"));
  std::string line;
  bool in_eh_frame = false;
  while (std::getline(in, line)) {
    if (line.rfind(".eh_frame contents:", 0) == 0) in_eh_frame = true;
    if (!in_eh_frame) continue;
    if (line.size() > 30 && std::isxdigit(static_cast<unsigned char>(line[0])) &&
        line.find(" FDE cie=") != std::string::npos) {
      DumpedFde fde{};
      fde.offset = std::stoull(line.substr(0, 8), nullptr, 16);
      const std::size_t at = line.find("pc=");
      const std::size_t dots = line.find("...", at);
      fde.pc_start = std::stoull(line.substr(at + 3, dots - at - 3), nullptr, 16);
      fde.pc_end = std::stoull(line.substr(dots + 3), nullptr, 16);
      fdes.push_back(fde);
    } else if (line.rfind("  DW_CFA_", 0) == 0 && !fdes.empty()) {
      DumpedFde& fde = fdes.back();
      const std::size_t colon = line.find(':');
      const std::string op = line.substr(2, colon - 2);
      if (op.rfind("DW_CFA_advance_loc", 0) == 0) {
        fde.advanced += std::stoull(line.substr(colon + 1));  // the code alignment factor is 1 on x86-64
      } else if (op == "DW_CFA_set_loc") {
        fde.advanced = std::stoull(line.substr(colon + 1), nullptr, 16) - fde.pc_start;
      } else if (op == "DW_CFA_restore_state" && fde.restore_at == ~0ull) {
        fde.restore_at = fde.pc_start + fde.advanced;
      }
    } else if (line.rfind("  0x", 0) == 0 && !fdes.empty() && line.find(": CFA=") != std::string::npos) {
      const std::size_t colon = line.find(": CFA=");
      fdes.back().rows.emplace_back(std::stoull(line.substr(2, colon - 2), nullptr, 16),
                                    line.substr(colon + 2));
    } else if (line.find(" CIE") != std::string::npos && std::isxdigit(static_cast<unsigned char>(line[0]))) {
      fdes.push_back(DumpedFde{~0ull, 0, 0, {}});  // rows of a CIE are not compared
    }
  }
  fdes.erase(std::remove_if(fdes.begin(), fdes.end(), [](const DumpedFde& f) { return f.offset == ~0ull; }),
             fdes.end());
  return fdes;
}

class DwarfDifferential : public testing::TestWithParam<const char*> {};

void add_image(std::uint64_t header, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header, name);
}
void remove_image(std::uint64_t header, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header);
}

TEST_P(DwarfDifferential, RowsAgreeWithLlvmDwarfdump) {
  const std::string wanted = std::string(GetParam()) == "self" ? self_path() : real_path(GetParam());
  crcrash_async_image_list_t list;
  crcrash_nasync_image_list_init(&list, pc::mach_task_self());
  const int handle = pc::dyld_register_image_callbacks(add_image, remove_image, &list);
  crcrash_nasync_image_list_set_reading(&list, true);
  crcrash_async_macho_t* image = nullptr;
  for (crcrash_async_macho_t* i = crcrash_nasync_image_list_next(&list, nullptr); i != nullptr;
       i = crcrash_nasync_image_list_next(&list, i)) {
    if (real_path(i->name) == wanted) image = i;
  }
  ASSERT_NE(image, nullptr) << wanted << " is not loaded";
  crcrash_async_mobject_t section;
  ASSERT_EQ(crcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section), CRCRASH_ERR_NONE);
  const std::uint64_t base = crcrash_async_mobject_base_address(&section);
  const std::uint64_t bias = image->slide;

  const std::vector<DumpedFde> fdes = dump_fdes(wanted);
  ASSERT_GT(fdes.size(), 10u);
  std::size_t compared = 0, cfa_not_compared = 0;
  for (const DumpedFde& dumped : fdes) {
    SCOPED_TRACE(testing::Message() << wanted << " FDE at 0x" << std::hex << dumped.offset);
    crcrash_async_dwarf_fde_info_t fde;
    ASSERT_EQ(crcrash_async_dwarf_fde_info_init<std::uint64_t>(
                  &fde, &section, crcrash_async_byteorder_little_endian(), base + dumped.offset, false),
              CRCRASH_ERR_NONE);
    ASSERT_EQ(fde.pc_start - bias, dumped.pc_start);
    ASSERT_EQ(fde.pc_end - bias, dumped.pc_end);
    gnu_ehptr_reader<std::uint64_t> reader(crcrash_async_byteorder_little_endian());
    crcrash_async_dwarf_cie_info_t cie;
    ASSERT_EQ(crcrash_async_dwarf_cie_info_init<std::uint64_t>(
                  &cie, &section, crcrash_async_byteorder_little_endian(), &reader, base + fde.cie_offset),
              CRCRASH_ERR_NONE);
    for (std::size_t r = 0; r < dumped.rows.size(); ++r) {
      const std::uint64_t start = dumped.rows[r].first;
      const std::uint64_t end = r + 1 < dumped.rows.size() ? dumped.rows[r + 1].first : dumped.pc_end;
      if (end <= start) continue;  // superseded by a row at the same address
      const Row expected = parse_row(dumped.rows[r].second);
      for (std::uint64_t at : {start, end - 1}) {
        cfa_state state;
        ASSERT_EQ(state.eval_program(&section, at + bias, fde.pc_start, &cie, &reader,
                                     crcrash_async_byteorder_little_endian(), base,
                                     static_cast<std::int64_t>(cie.initial_instructions_offset),
                                     cie.initial_instructions_length),
                  CRCRASH_ERR_NONE);
        ASSERT_EQ(
            state.eval_program(&section, at + bias, fde.pc_start, &cie, &reader,
                               crcrash_async_byteorder_little_endian(), base,
                               static_cast<std::int64_t>(fde.instructions_offset), fde.instructions_length),
            CRCRASH_ERR_NONE)
            << "at 0x" << std::hex << at;
        Row actual = describe(state);
        if (at >= dumped.restore_at) {
          actual.cfa = expected.cfa;
          ++cfa_not_compared;
        }
        ASSERT_EQ(actual, expected) << "at 0x" << std::hex << at;
        ++compared;
      }
    }
  }
  RecordProperty("rows_compared", static_cast<int>(compared));
  RecordProperty("cfa_not_compared", static_cast<int>(cfa_not_compared));
  std::printf("%s: %zu FDEs, %zu row ends compared (%zu without the CFA, after a restore_state)\n",
              wanted.c_str(), fdes.size(), compared, cfa_not_compared);
  EXPECT_GT(compared, fdes.size());
  crcrash_async_mobject_free(&section);
  crcrash_nasync_image_list_set_reading(&list, false);
  pc::dyld_unregister_image_callbacks(handle);
  crcrash_nasync_image_list_free(&list);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, DwarfDifferential,
    testing::Values("/lib/x86_64-linux-gnu/libc.so.6", "/lib/x86_64-linux-gnu/libstdc++.so.6",
                    "/lib/x86_64-linux-gnu/libm.so.6", "/lib/x86_64-linux-gnu/libgcc_s.so.1", "self"),
    [](const testing::TestParamInfo<const char*>& info) {
      std::string name = info.param;
      name = name.substr(name.rfind('/') + 1);
      name.erase(std::remove_if(name.begin(), name.end(),
                                [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }),
                 name.end());
      return name;
    });

}  // namespace
