// The Mach-O reader: on fixtures built by clang-14 and ld64.lld and mapped here, checked against
// llvm-objdump's view of them, and on byte-built images for what the linker never makes.

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "CrashTestSupport.h"
#include "crcrash_async_image_list.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;
using crash_test::MachOBuilder;
using crash_test::MappedMachO;
using crash_test::Pages;

namespace {

struct ObjdumpSymbol {
  std::uint64_t address;
  bool global;
  std::string segment, section, name;
};

std::vector<ObjdumpSymbol> objdump_symbols(const std::string& path) {
  std::vector<ObjdumpSymbol> out;
  std::istringstream in(crash_test::read_text(path + ".syms"));
  std::string line;
  std::regex row(R"(^([0-9a-f]{16}) ([lg]) +\w+ (\w+),(\w+) (\S+)$)");
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    out.push_back({std::stoull(m[1], nullptr, 16), m[2] == "g", m[3], m[4], m[5]});
  }
  return out;
}

// "key value" pairs of one load command or section block, in file order.
std::vector<std::map<std::string, std::string>> objdump_blocks(const std::string& path) {
  std::vector<std::map<std::string, std::string>> blocks;
  std::istringstream in(crash_test::read_text(path + ".headers"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key, value;
    if (!(fields >> key)) continue;
    if (key == "Load" || key == "Section") {
      blocks.emplace_back();
      blocks.back()["kind"] = key;
      continue;
    }
    std::getline(fields, value);
    value.erase(0, value.find_first_not_of(' '));
    if (!blocks.empty()) blocks.back().emplace(key, value);
  }
  return blocks;
}

std::uint64_t number(const std::string& text) { return std::stoull(text, nullptr, 0); }

struct MachOFound {
  std::uint64_t address = 0;
  std::string name;
  int calls = 0;
};
void macho_on_found(std::uint64_t address, const char* name, void* ctx) {
  auto* f = static_cast<MachOFound*>(ctx);
  f->address = address;
  f->name = name;
  f->calls++;
}

const std::map<std::string, std::uint32_t> kCommandNumbers = {
    {"LC_SEGMENT_64", 0x19},    {"LC_SYMTAB", 0x2},           {"LC_DYSYMTAB", 0xB},
    {"LC_UUID", 0x1B},          {"LC_ID_DYLIB", 0xD},         {"LC_DYLD_INFO_ONLY", 0x80000022},
    {"LC_BUILD_VERSION", 0x32}, {"LC_FUNCTION_STARTS", 0x26}, {"LC_DATA_IN_CODE", 0x29}};

}  // namespace

class CrashMachOFixture : public testing::TestWithParam<const char*> {};

TEST_P(CrashMachOFixture, ReadersAgreeWithObjdump) {
  MappedMachO mapped(GetParam());
  crcrash_async_macho_t image{};
  ASSERT_EQ(crcrash_nasync_macho_init(&image, pc::mach_task_self(), mapped.path().c_str(), mapped.address()),
            CRCRASH_ERR_NONE);
  auto blocks = objdump_blocks(mapped.path());
  EXPECT_TRUE(image.m64);
  EXPECT_EQ(image.byteorder, &crcrash_async_byteorder_direct);
  EXPECT_EQ(crcrash_async_macho_header_size(&image), 32u);
  EXPECT_EQ(crcrash_async_macho_cpu_type(&image), pc::CPU_TYPE_X86_64);
  EXPECT_EQ(crcrash_async_macho_cpu_subtype(&image), 3);
  EXPECT_EQ(image.slide, mapped.address()) << "linked at 0";

  // Load commands in order, with their types.
  std::vector<std::string> commands;
  for (const auto& block : blocks) {
    if (block.count("cmd") != 0 && block.at("kind") == "Load") commands.push_back(block.at("cmd"));
  }
  std::size_t index = 0;
  for (void* cmd = crcrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
       cmd = crcrash_async_macho_next_command(&image, cmd), ++index) {
    ASSERT_LT(index, commands.size());
    auto known = kCommandNumbers.find(commands[index]);
    if (known == kCommandNumbers.end()) continue;
    std::uint32_t type;
    std::memcpy(&type, cmd, 4);
    EXPECT_EQ(type, known->second) << commands[index];
  }
  EXPECT_EQ(index, commands.size());
  EXPECT_EQ(index, image.ncmds);

  // Segments and sections where objdump puts them.
  std::string segment;
  for (const auto& block : blocks) {
    if (block.at("kind") == "Load" && block.count("segname") != 0) {
      segment = block.at("segname");
      if (segment == "__TEXT") {
        EXPECT_EQ(image.text_vmaddr, number(block.at("vmaddr")));
        EXPECT_EQ(image.text_size, number(block.at("vmsize")));
      }
      crcrash_async_macho_mapped_segment_t mapped_segment;
      ASSERT_EQ(crcrash_async_macho_map_segment(&image, segment.c_str(), &mapped_segment), CRCRASH_ERR_NONE)
          << segment;
      EXPECT_EQ(crcrash_async_mobject_base_address(&mapped_segment.mobj),
                mapped.address() + number(block.at("vmaddr")));
      EXPECT_EQ(mapped_segment.fileoff, number(block.at("fileoff")));
      EXPECT_EQ(mapped_segment.filesize, number(block.at("filesize")));
      crcrash_async_macho_mapped_segment_free(&mapped_segment);
    }
    if (block.at("kind") == "Section") {
      crcrash_async_mobject_t mobj;
      const std::string& name = block.at("sectname");
      ASSERT_EQ(crcrash_async_macho_map_section(&image, block.at("segname").c_str(), name.c_str(), &mobj),
                CRCRASH_ERR_NONE)
          << name;
      EXPECT_EQ(crcrash_async_mobject_base_address(&mobj), mapped.address() + number(block.at("addr")))
          << name;
      EXPECT_EQ(crcrash_async_mobject_length(&mobj), number(block.at("size"))) << name;
      crcrash_async_mobject_free(&mobj);
    }
  }
  crcrash_async_mobject_t mobj;
  EXPECT_EQ(crcrash_async_macho_map_section(&image, "__TEXT", "__nothing", &mobj), CRCRASH_ERR_NOTFOUND);
  EXPECT_EQ(crcrash_async_macho_map_section(&image, "__NOPE", "__text", &mobj), CRCRASH_ERR_NOTFOUND);
  crcrash_async_macho_mapped_segment_t missing;
  EXPECT_EQ(crcrash_async_macho_map_segment(&image, "__NOPE", &missing), CRCRASH_ERR_NOTFOUND);

  // The UUID objdump prints.
  std::uint8_t uuid[16];
  ASSERT_EQ(crcrash_async_macho_uuid(&image, uuid), CRCRASH_ERR_NONE);
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                uuid[0], uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
  for (const auto& block : blocks) {
    if (block.count("uuid") != 0) {
      EXPECT_EQ(block.at("uuid"), text);
    }
  }

  // Every symbol names its own address and the bytes after it, and is found by name.
  auto symbols = objdump_symbols(mapped.path());
  ASSERT_FALSE(symbols.empty());
  std::uint64_t lowest = ~0ull;
  for (const ObjdumpSymbol& s : symbols) {
    lowest = std::min(lowest, s.address);
    for (std::uint64_t delta : {0, 1}) {
      MachOFound found;
      ASSERT_EQ(crcrash_async_macho_find_symbol_by_pc(&image, mapped.address() + s.address + delta,
                                                      macho_on_found, &found),
                CRCRASH_ERR_NONE)
          << s.name;
      EXPECT_EQ(found.calls, 1);
      EXPECT_EQ(found.name, s.name);
      EXPECT_EQ(found.address, mapped.address() + s.address);
    }
    std::uint64_t address = 0;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(&image, s.name.c_str(), &address), CRCRASH_ERR_NONE)
        << s.name;
    EXPECT_EQ(address, mapped.address() + s.address);
  }
  MachOFound none;
  EXPECT_EQ(
      crcrash_async_macho_find_symbol_by_pc(&image, mapped.address() + lowest - 1, macho_on_found, &none),
      CRCRASH_ERR_NOTFOUND);
  std::uint64_t address;
  EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(&image, "_no_such_symbol", &address),
            CRCRASH_ERR_NOTFOUND);

  EXPECT_TRUE(crcrash_async_macho_contains_address(&image, mapped.address()));
  EXPECT_TRUE(crcrash_async_macho_contains_address(&image, mapped.address() + image.text_size - 1));
  EXPECT_FALSE(crcrash_async_macho_contains_address(&image, mapped.address() + image.text_size));
  crcrash_async_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CrashMachOFixture, testing::Values("chain.dylib", "frameless.dylib"));

// The mapper's work is right: rebased data and executable code behave as linked.
TEST(CrashMachOMapper, MappedCodeRuns) {
  MappedMachO mapped("chain.dylib");
  crcrash_async_macho_t image{};
  ASSERT_EQ(crcrash_nasync_macho_init(&image, pc::mach_task_self(), "chain", mapped.address()),
            CRCRASH_ERR_NONE);
  std::uint64_t a = 0;
  ASSERT_EQ(crcrash_async_macho_find_symbol_by_name(&image, "_fixture_a", &a), CRCRASH_ERR_NONE);
  auto fixture_a = reinterpret_cast<int (*)(int)>(a);
  EXPECT_EQ(fixture_a(2), 2 * 3 + 5 + 1 + 2);
  crcrash_async_macho_free(&image);
}

// ---- Byte-built images ----

namespace {

// Copies the image to page-aligned memory and makes a record of it.
struct BuiltImage {
  Pages pages;
  crcrash_async_macho_t image{};
  crcrash_error_t err;
  explicit BuiltImage(const std::vector<std::uint8_t>& bytes, std::size_t page_count = 4)
      : pages(page_count) {
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    err = crcrash_nasync_macho_init(&image, pc::mach_task_self(), "built", pages.address());
  }
  ~BuiltImage() {
    if (err == CRCRASH_ERR_NONE) crcrash_async_macho_free(&image);
  }
};

std::vector<std::uint8_t> minimal_image(bool m64, bool swapped) {
  MachOBuilder b(m64, swapped);
  b.header(m64 ? (swapped ? MH_CIGAM_64 : MH_MAGIC_64) : (swapped ? MH_CIGAM : MH_MAGIC), 1);
  b.segment("__TEXT", 0x1000, 0x3000, 0, 0x3000, {{"__text", 0x1100, 0x40}});
  b.end_commands();
  // The builder wrote the magic as the host stores it; a swapped image stores it byte-reversed.
  return b.bytes;
}

}  // namespace

TEST(CrashMachOBuilt, HeadersAndMagics) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    crcrash_error_t expected;
    const char* log;
  };
  std::vector<Case> cases;
  cases.push_back({"64-bit", minimal_image(true, false), CRCRASH_ERR_NONE, ""});
  cases.push_back({"32-bit", minimal_image(false, false), CRCRASH_ERR_NONE, ""});
  cases.push_back({"byte-swapped 64-bit", minimal_image(true, true), CRCRASH_ERR_NONE, ""});
  cases.push_back({"byte-swapped 32-bit", minimal_image(false, true), CRCRASH_ERR_NONE, ""});
  for (std::uint32_t fat : {FAT_MAGIC, FAT_CIGAM}) {
    std::vector<std::uint8_t> bytes = minimal_image(true, false);
    std::memcpy(bytes.data(), &fat, 4);
    cases.push_back(
        {"universal", bytes, CRCRASH_ERR_INVAL, "unsupported universal Mach-O archive in: built"});
  }
  {
    std::vector<std::uint8_t> bytes = minimal_image(true, false);
    bytes[0] = 0x42;
    cases.push_back(
        {"unknown magic", bytes, CRCRASH_ERR_INVAL, "Unknown Mach-O magic: 0xfeedfa42 in: built"});
  }
  {
    MachOBuilder b(true, false);
    b.header(MH_MAGIC_64, 2);
    b.segment("__DATA", 0x1000, 0x1000, 0, 0x1000);
    b.raw_command(LC_UUID, 24, 16);
    b.end_commands();
    cases.push_back({"no __TEXT", b.bytes, CRCRASH_ERR_INVAL, "Could not find __TEXT segment!"});
  }
  {
    MachOBuilder b(true, false);
    b.header(MH_MAGIC_64, 1);
    b.raw_command(LC_SEGMENT_64, 40, 32);
    b.end_commands();
    cases.push_back(
        {"segment command too short", b.bytes, CRCRASH_ERR_INVAL, "LC_SEGMENT command was too short"});
  }
  for (const Case& c : cases) {
    CapturedStderr captured;
    BuiltImage built(c.bytes);
    EXPECT_EQ(built.err, c.expected) << c.what;
    EXPECT_NE(captured.text().find(c.log), std::string::npos) << c.what << ": " << captured.text();
    if (built.err != CRCRASH_ERR_NONE) continue;
    const bool swapped = std::string(c.what).find("swapped") != std::string::npos;
    const bool m64 = std::string(c.what).find("64") != std::string::npos;
    EXPECT_EQ(built.image.byteorder,
              swapped ? &crcrash_async_byteorder_swapped : &crcrash_async_byteorder_direct);
    EXPECT_EQ(built.image.m64, m64) << c.what;
    EXPECT_EQ(built.image.header_size, m64 ? 32u : 28u) << c.what;
    EXPECT_EQ(built.image.text_vmaddr, 0x1000u) << c.what;
    EXPECT_EQ(built.image.text_size, 0x3000u) << c.what;
    EXPECT_EQ(built.image.slide, built.pages.address() - 0x1000) << c.what;
    EXPECT_EQ(crcrash_async_macho_cpu_type(&built.image), m64 ? 0x1000007 : 7) << c.what;
    crcrash_async_mobject_t mobj;
    ASSERT_EQ(crcrash_async_macho_map_section(&built.image, "__TEXT", "__text", &mobj), CRCRASH_ERR_NONE)
        << c.what;
    EXPECT_EQ(crcrash_async_mobject_base_address(&mobj), built.pages.address() + 0x100) << c.what;
    EXPECT_EQ(crcrash_async_mobject_length(&mobj), 0x40u) << c.what;
    crcrash_async_mobject_free(&mobj);
  }
}

TEST(CrashMachOBuilt, BrokenLoadCommandsEndTheWalk) {
  struct Case {
    const char* what;
    std::uint32_t second_cmdsize;
    const char* log;
  } cases[] = {
      {"cmdsize 0", 0, "Found invalid 0-length cmdsize in LC_CMD at address 0x"},
      {"cmdsize past the load commands", 4096, "Failed to map LC_CMD at address 0x"},
  };
  for (const Case& c : cases) {
    MachOBuilder b(true, false);
    b.header(MH_MAGIC_64, 3);
    b.segment("__TEXT", 0, 0x4000, 0, 0x4000);
    b.raw_command(LC_UUID, c.second_cmdsize, 16);
    b.raw_command(LC_UUID, 24, 16);
    b.end_commands();
    CapturedStderr captured;
    BuiltImage built(b.bytes);
    ASSERT_EQ(built.err, CRCRASH_ERR_NONE) << c.what;
    int seen = 0;
    for (void* cmd = crcrash_async_macho_next_command(&built.image, nullptr); cmd != nullptr;
         cmd = crcrash_async_macho_next_command(&built.image, cmd)) {
      ++seen;
    }
    EXPECT_EQ(seen, 1) << c.what;
    EXPECT_NE(captured.text().find(c.log), std::string::npos) << c.what << ": " << captured.text();
    std::uint8_t uuid[16];
    EXPECT_EQ(crcrash_async_macho_uuid(&built.image, uuid), CRCRASH_ERR_NOTFOUND) << c.what;
  }
}

TEST(CrashMachOBuilt, SectionTableOutsideTheLoadCommands) {
  MachOBuilder b(true, false);
  b.header(MH_MAGIC_64, 1);
  b.segment("__TEXT", 0, 0x4000, 0, 0x4000, {{"__text", 0x100, 0x10}});
  b.end_commands();
  // Claim three sections where one is present.
  b.put32(32 + 64, 3);
  CapturedStderr captured;
  BuiltImage built(b.bytes);
  ASSERT_EQ(built.err, CRCRASH_ERR_NONE);
  crcrash_async_mobject_t mobj;
  EXPECT_EQ(crcrash_async_macho_map_section(&built.image, "__TEXT", "__other", &mobj), CRCRASH_ERR_INVAL);
  EXPECT_NE(
      captured.text().find("Section table entry outside of expected range; searching for (__TEXT,__other)"),
      std::string::npos);
}

namespace {

struct SymbolSpec {
  std::string name;
  std::uint8_t type;
  std::uint64_t value;
  std::uint16_t desc = 0;
};

// An image with a symbol table in __LINKEDIT (at 0x2000) and optionally a dynamic symbol table whose
// ranges are given as they stand.
std::vector<std::uint8_t> symbol_image(bool m64, const std::vector<SymbolSpec>& symbols, bool dysymtab,
                                       std::uint32_t ilocal, std::uint32_t nlocal, std::uint32_t iext,
                                       std::uint32_t next) {
  MachOBuilder b(m64, false);
  b.header(m64 ? MH_MAGIC_64 : MH_MAGIC, dysymtab ? 4 : 3);
  b.segment("__TEXT", 0, 0x2000, 0, 0x2000);
  b.segment("__LINKEDIT", 0x2000, 0x2000, 0x2000, 0x2000);
  const std::uint32_t entry = m64 ? 16 : 12;
  const std::uint32_t symoff = 0x2000, stroff = 0x2000 + entry * static_cast<std::uint32_t>(symbols.size());
  std::string strings(1, '\0');
  std::vector<std::uint32_t> offsets;
  for (const SymbolSpec& s : symbols) {
    offsets.push_back(static_cast<std::uint32_t>(strings.size()));
    strings += s.name + '\0';
  }
  b.u32(LC_SYMTAB);
  b.u32(24);
  b.u32(symoff);
  b.u32(static_cast<std::uint32_t>(symbols.size()));
  b.u32(stroff);
  b.u32(static_cast<std::uint32_t>(strings.size()));
  if (dysymtab) {
    b.u32(LC_DYSYMTAB);
    b.u32(80);
    b.u32(ilocal);
    b.u32(nlocal);
    b.u32(iext);
    b.u32(next);
    for (int i = 0; i < 14; ++i) b.u32(0);
  }
  b.end_commands();
  b.bytes.resize(symoff, 0);
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    b.u32(offsets[i]);
    b.u8(symbols[i].type);
    b.u8(1);
    b.u16(symbols[i].desc);
    b.word(symbols[i].value);
  }
  b.append(strings.data(), strings.size());
  return b.bytes;
}

}  // namespace

TEST(CrashMachOBuilt, SymbolLookup) {
  // Locals first in the table (index 0-1), then the globals (2-4).
  std::vector<SymbolSpec> symbols = {
      {"_local_same", 0x0E, 0x100},    {"_local_high", 0x0E, 0x300}, {"_global_same", 0x0F, 0x100},
      {"_thumb", 0x0F, 0x200, 0x0008}, {"_debug_stab", 0x2E, 0x280},
  };
  struct Case {
    const char* what;
    bool m64;
    bool dysymtab;
    std::uint64_t pc_offset;
    crcrash_error_t expected;
    const char* name;
    std::uint64_t address_offset;
  } cases[] = {
      {"globals before locals at an equal address", true, true, 0x150, CRCRASH_ERR_NONE, "_global_same",
       0x100},
      {"without a dynamic table, table order", true, false, 0x150, CRCRASH_ERR_NONE, "_local_same", 0x100},
      {"a local above every global", true, true, 0x310, CRCRASH_ERR_NONE, "_local_high", 0x300},
      {"exactly at a symbol", true, true, 0x300, CRCRASH_ERR_NONE, "_local_high", 0x300},
      {"stabs are skipped; n_desc bit 3 sets bit 0", true, true, 0x290, CRCRASH_ERR_NONE, "_thumb", 0x201},
      {"below every symbol", true, true, 0xFF, CRCRASH_ERR_NOTFOUND, "", 0},
      {"32-bit", false, true, 0x150, CRCRASH_ERR_NONE, "_global_same", 0x100},
  };
  for (const Case& c : cases) {
    BuiltImage built(symbol_image(c.m64, symbols, c.dysymtab, 0, 2, 2, 3));
    ASSERT_EQ(built.err, CRCRASH_ERR_NONE) << c.what;
    MachOFound found;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_pc(&built.image, built.pages.address() + c.pc_offset,
                                                    macho_on_found, &found),
              c.expected)
        << c.what;
    if (c.expected != CRCRASH_ERR_NONE) continue;
    EXPECT_EQ(found.name, c.name) << c.what;
    EXPECT_EQ(found.address, built.pages.address() + c.address_offset) << c.what;
  }
}

// Dynamic symbol table ranges are checked in 64 bits: a start near 2^32 cannot wrap back inside.
TEST(CrashMachOBuilt, DynamicSymbolRangesAreCheckedWithoutWrapping) {
  std::vector<SymbolSpec> symbols = {{"_a", 0x0F, 0x100}, {"_b", 0x0F, 0x200}};
  struct Case {
    std::uint32_t ilocal, nlocal, iext, next;
    crcrash_error_t expected;
  } cases[] = {
      {0, 0, 0xFFFFFFF0u, 0x20, CRCRASH_ERR_INVAL},
      {0xFFFFFFFFu, 2, 0, 2, CRCRASH_ERR_INVAL},
      {0, 1, 1, 2, CRCRASH_ERR_INVAL},
      {0, 0, 0, 2, CRCRASH_ERR_NONE},
      {2, 0, 0, 2, CRCRASH_ERR_NONE},
  };
  for (const Case& c : cases) {
    BuiltImage built(symbol_image(true, symbols, true, c.ilocal, c.nlocal, c.iext, c.next));
    ASSERT_EQ(built.err, CRCRASH_ERR_NONE);
    CapturedStderr captured;
    MachOFound found;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_pc(&built.image, built.pages.address() + 0x250,
                                                    macho_on_found, &found),
              c.expected)
        << c.iext << " " << c.next;
    if (c.expected == CRCRASH_ERR_INVAL) {
      EXPECT_NE(captured.text().find("out of range nsym=2"), std::string::npos) << captured.text();
    } else {
      EXPECT_EQ(found.name, "_b");
    }
  }
}

TEST(CrashMachOBuilt, NoSymbolTable) {
  CapturedStderr captured;
  BuiltImage built(minimal_image(true, false));
  MachOFound found;
  EXPECT_EQ(crcrash_async_macho_find_symbol_by_pc(&built.image, built.pages.address() + 0x1200,
                                                  macho_on_found, &found),
            CRCRASH_ERR_NOTFOUND);
  EXPECT_NE(captured.text().find("could not find LC_SYMTAB load command"), std::string::npos);
}

TEST(CrashMachOBuilt, StringsAcrossPages) {
  Pages pages(20);
  BuiltImage built(minimal_image(true, false));
  const std::uint64_t page = pc::page_size();
  struct Case {
    const char* what;
    std::uint64_t start;
    std::size_t length;  // bytes before the NUL; 0 = none written
    crcrash_error_t expected;
    const char* log;
  } cases[] = {
      {"short, crossing into the second page", page - 10, 30, CRCRASH_ERR_NONE, ""},
      {"longer than one page", 100, 5000, CRCRASH_ERR_NONE,
       "Mapped a string larger than one page! Remapping ..."},
      {"longer than the limit", 0, 70000, CRCRASH_ERR_INVAL, "Failed to remap additional space ..."},
  };
  for (const Case& c : cases) {
    std::memset(pages.data(), 0, 20 * page);
    std::memset(pages.data() + c.start, 'n', c.length);
    CapturedStderr captured;
    crcrash_async_macho_string_t string;
    crcrash_async_macho_string_init(&string, &built.image, pages.address() + c.start);
    std::uint64_t length = 0;
    EXPECT_EQ(crcrash_async_macho_string_get_length(&string, &length), c.expected) << c.what;
    if (c.expected == CRCRASH_ERR_NONE) {
      EXPECT_EQ(length, c.length) << c.what;
      const char* p = nullptr;
      ASSERT_EQ(crcrash_async_macho_string_get_pointer(&string, &p), CRCRASH_ERR_NONE);
      EXPECT_EQ(std::strlen(p), c.length);
    }
    EXPECT_NE(captured.text().find(c.log), std::string::npos) << c.what;
    crcrash_async_macho_string_free(&string);
  }
  // A string that runs into an unmapped page.
  std::memset(pages.data(), 'n', 2 * page);
  pages.unmap(2);
  CapturedStderr captured;
  crcrash_async_macho_string_t string;
  crcrash_async_macho_string_init(&string, &built.image, pages.address() + page);
  std::uint64_t length;
  EXPECT_EQ(crcrash_async_macho_string_get_length(&string, &length), CRCRASH_ERR_INVAL);
  crcrash_async_macho_string_free(&string);
}
