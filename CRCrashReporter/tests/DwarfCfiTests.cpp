// CIE and FDE decoding and the FDE search of a CFI section.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CrashTestSupport.h"
#include "DwarfTestSupport.h"
#include "crcrash_async_dwarf_cfi.h"
#include "crcrash_async_image_list.h"
#include "crframe_dwarf_unwind.h"

using namespace unwind_test;

namespace {

crcrash_error_t parse_cie(const Bytes& section_bytes, std::size_t at, crcrash_async_dwarf_cie_info_t* cie) {
  Mapped m(section_bytes);
  gnu_ehptr_reader<std::uint64_t> reader(le());
  return crcrash_async_dwarf_cie_info_init<std::uint64_t>(cie, m.mobj(), le(), &reader, m.address() + at);
}

TEST(DwarfCie, AugmentationsFillTheRecord) {
  CfiSection s;
  // zPLR: personality as absptr, LSDA and FDE pointers as pcrel|sdata4.
  const std::size_t at = s.cie(Bytes()
                                   .u32(0)
                                   .u8(1)
                                   .str("zPLR")
                                   .uleb(1)
                                   .sleb(-8)
                                   .uleb(16)
                                   .uleb(11)
                                   .u8(0x00)
                                   .u64(0x1234)
                                   .u8(0x1B)
                                   .u8(0x1B)
                                   .append(Bytes{0x0C, 0x07, 0x08}));
  crcrash_async_dwarf_cie_info_t cie;
  ASSERT_EQ(parse_cie(s.bytes(), at, &cie), CRCRASH_ERR_NONE);
  EXPECT_TRUE(cie.has_z_augmentation);
  EXPECT_TRUE(cie.has_personality_address);
  EXPECT_EQ(cie.personality_address, 0x1234u);
  EXPECT_TRUE(cie.has_lsda_encoding);
  EXPECT_EQ(cie.lsda_encoding, 0x1B);
  EXPECT_TRUE(cie.has_pointer_encoding);
  EXPECT_EQ(cie.pointer_encoding, 0x1B);
  EXPECT_EQ(cie.code_alignment_factor, 1u);
  EXPECT_EQ(cie.data_alignment_factor, -8);
  EXPECT_EQ(cie.return_address_register, 16u);
  EXPECT_EQ(cie.cie_offset, 4u);
  EXPECT_EQ(cie.initial_instructions_length, 3u);
  EXPECT_EQ(cie.initial_instructions_offset, s.bytes().size() - 3);
}

struct CieCase {
  const char* name;
  Bytes body;  // after the length field
  crcrash_error_t err;
};

TEST(DwarfCie, AcceptsAndRefusesTheTable) {
  const CieCase cases[] = {
      {"zRX stops at X and succeeds",
       Bytes().u32(0).u8(1).str("zRX").uleb(1).sleb(-8).uleb(16).uleb(1).u8(0x04), CRCRASH_ERR_NONE},
      {"eh prefix is refused", Bytes().u32(0).u8(1).str("eh").uleb(1).sleb(-8).uleb(16), CRCRASH_ERR_NOTSUP},
      {"empty augmentation", Bytes().u32(0).u8(1).str("").uleb(1).sleb(-8).uleb(16).u8(0), CRCRASH_ERR_NONE},
      {"version 2", Bytes().u32(0).u8(2).str("").uleb(1).sleb(-8).uleb(16), CRCRASH_ERR_INVAL},
      {"version 3", Bytes().u32(0).u8(3).str("").uleb(1).sleb(-8).uleb(16), CRCRASH_ERR_NONE},
      {"id neither 0 nor all-ones", Bytes().u32(7).u8(1).str("").uleb(1).sleb(-8).uleb(16),
       CRCRASH_ERR_INVAL},
      {"debug_frame id all-ones", Bytes().u32(0xFFFFFFFF).u8(1).str("").uleb(1).sleb(-8).uleb(16),
       CRCRASH_ERR_NONE},
      {"augmentation length near 2^64",
       Bytes().u32(0).u8(1).str("zR").uleb(1).sleb(-8).uleb(16).uleb(~0ULL - 3).u8(4), CRCRASH_ERR_INVAL},
      {"augmentation length past the entry",
       Bytes().u32(0).u8(1).str("zR").uleb(1).sleb(-8).uleb(16).uleb(40).u8(4), CRCRASH_ERR_INVAL},
      {"declared length shorter than read", Bytes().u32(0).u8(1).str(""), CRCRASH_ERR_INVAL},
      {"truncated code alignment", Bytes().u32(0).u8(1).str("").u8(0x80), CRCRASH_ERR_INVAL},
  };
  for (const CieCase& c : cases) {
    SCOPED_TRACE(c.name);
    CfiSection s;
    std::size_t at;
    if (std::string(c.name) == "declared length shorter than read") {
      // The length field says 2 bytes; the fields run on past it.
      at = s.entry(c.body);
      s.bytes().put32(at, 2);
      s.bytes().append(Bytes().uleb(1).sleb(-8).uleb(16));
    } else {
      at = s.cie(c.body);
    }
    crcrash_async_dwarf_cie_info_t cie;
    EXPECT_EQ(parse_cie(s.bytes(), at, &cie), c.err);
  }
}

TEST(DwarfCie, VersionFourReadsAddressAndSegmentSizes) {
  CfiSection s;
  const std::size_t at =
      s.cie(Bytes().u32(0xFFFFFFFF).u8(4).str("").u8(8).u8(0).uleb(1).sleb(-8).uleb(16).u8(0));
  crcrash_async_dwarf_cie_info_t cie;
  ASSERT_EQ(parse_cie(s.bytes(), at, &cie), CRCRASH_ERR_NONE);
  EXPECT_EQ(cie.address_size, 8);
  EXPECT_EQ(cie.segment_size, 0);
  EXPECT_EQ(cie.initial_instructions_length, 1u);
}

TEST(DwarfCie, SixtyFourBitFormIdsMustBeSixtyFourBitsWide) {
  auto body = [](std::uint64_t id) { return Bytes().u64(id).u8(1).str("").uleb(1).sleb(-8).uleb(16); };
  for (auto [id, err] : {std::pair{0xFFFFFFFFull, CRCRASH_ERR_INVAL}, std::pair{~0ull, CRCRASH_ERR_NONE},
                         std::pair{0ull, CRCRASH_ERR_NONE}}) {
    Bytes b = Bytes().u32(0xFFFFFFFF);
    Bytes rest = body(id);
    b.u64(rest.size()).append(rest);
    crcrash_async_dwarf_cie_info_t cie;
    EXPECT_EQ(parse_cie(b, 0, &cie), err) << std::hex << id;
    if (err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(cie.cie_offset, 12u);
      EXPECT_EQ(cie.initial_instructions_length, 0u);
    }
  }
  // A 64-bit length that wraps the address space.
  Bytes wrap = Bytes().u32(0xFFFFFFFF).u64(~0ull - 4).append(body(0));
  crcrash_async_dwarf_cie_info_t cie;
  EXPECT_EQ(parse_cie(wrap, 0, &cie), CRCRASH_ERR_INVAL);
}

crcrash_error_t parse_fde(const Bytes& section, std::size_t at, crcrash_async_dwarf_fde_info_t* fde,
                          bool debug_frame = false) {
  Mapped m(section);
  return crcrash_async_dwarf_fde_info_init<std::uint64_t>(fde, m.mobj(), le(), m.address() + at, debug_frame);
}

TEST(DwarfFde, DecodesRangeAndInstructions) {
  CfiSection s;
  const std::size_t cie = s.cie(standard_cie_body());
  const std::size_t at =
      s.fde(cie, Bytes().u64(0x401000).u64(0x20).uleb(2).u8(0xAA).u8(0xBB).u8(0x41).u8(0x0E).u8(16));
  crcrash_async_dwarf_fde_info_t fde;
  ASSERT_EQ(parse_fde(s.bytes(), at, &fde), CRCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x401000u);
  EXPECT_EQ(fde.pc_end, 0x401020u);
  EXPECT_EQ(fde.cie_offset, cie);
  EXPECT_EQ(fde.fde_offset, at + 4);
  // The instructions begin after the two bytes of augmentation data.
  EXPECT_EQ(fde.instructions_offset, s.bytes().size() - 3);
  EXPECT_EQ(fde.instructions_length, 3u);

  // Without 'z' the instructions start right after the address range.
  CfiSection plain;
  const std::size_t plain_cie = plain.cie(Bytes().u32(0).u8(1).str("").uleb(1).sleb(-8).uleb(16));
  const std::size_t plain_fde = plain.fde(plain_cie, Bytes().u64(0x500000).u64(0x10).u8(0x41));
  ASSERT_EQ(parse_fde(plain.bytes(), plain_fde, &fde), CRCRASH_ERR_NONE);
  EXPECT_EQ(fde.instructions_offset, plain.bytes().size() - 1);
  EXPECT_EQ(fde.instructions_length, 1u);
}

TEST(DwarfFde, RefusesBrokenEntries) {
  struct Case {
    const char* name;
    std::function<std::size_t(CfiSection&)> build;
    bool debug_frame;
    crcrash_error_t err;
  };
  const Case cases[] = {
      {"CIE pointer reaches before the section",
       [](CfiSection& s) {
         s.cie(standard_cie_body());
         return s.entry(Bytes().u32(0x1000).append(standard_fde_rest(0x1000, 0x10, {})));
       },
       false, CRCRASH_ERR_INVAL},
      {"range wraps past 2^64",
       [](CfiSection& s) {
         return s.fde(s.cie(standard_cie_body()), standard_fde_rest(~0ull - 4, 0x10, {}));
       },
       false, CRCRASH_ERR_INVAL},
      {"augmentation data longer than the FDE",
       [](CfiSection& s) {
         return s.fde(s.cie(standard_cie_body()), Bytes().u64(0x1000).u64(0x10).uleb(~0ull >> 1));
       },
       false, CRCRASH_ERR_INVAL},
      {"CIE pointer names a broken CIE",
       [](CfiSection& s) { return s.fde(s.cie(Bytes().u32(0).u8(9)), standard_fde_rest(0x1000, 0x10, {})); },
       false, CRCRASH_ERR_INVAL},
      {"debug_frame CIE offset negative",
       [](CfiSection& s) {
         s.cie(Bytes().u32(0xFFFFFFFF).u8(1).str("").uleb(1).sleb(-8).uleb(16));
         Bytes b = Bytes().u32(0xFFFFFFFF);
         Bytes rest = Bytes().u64(0x8000000000000000ull).u64(0x1000).u64(0x10);
         b.u64(rest.size()).append(rest);
         const std::size_t at = s.bytes().size();
         s.bytes().append(b);
         return at;
       },
       true, CRCRASH_ERR_INVAL},
      {"debug_frame FDE with absolute CIE offset",
       [](CfiSection& s) {
         const std::size_t cie = s.cie(Bytes().u32(0xFFFFFFFF).u8(1).str("").uleb(1).sleb(-8).uleb(16));
         return s.debug_fde(cie, Bytes().u64(0x1000).u64(0x10));
       },
       true, CRCRASH_ERR_NONE},
      {"header outside the mapped range",
       [](CfiSection& s) {
         s.bytes().u16(0);
         return std::size_t{0};
       },
       false, CRCRASH_ERR_INVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CfiSection s;
    const std::size_t at = c.build(s);
    crcrash_async_dwarf_fde_info_t fde;
    EXPECT_EQ(parse_fde(s.bytes(), at, &fde, c.debug_frame), c.err);
  }
}

TEST(DwarfFindFde, ScansTheSection) {
  CfiSection s;
  const std::size_t cie = s.cie(standard_cie_body());
  const std::size_t first = s.fde(cie, standard_fde_rest(0x1000, 0x100, {}));
  const std::size_t second = s.fde(cie, standard_fde_rest(0x2000, 0x80, {}));
  s.terminator();
  s.cie(standard_cie_body());  // after the terminator: never reached
  Mapped m(s.bytes());
  cfi_section_reader reader(m.mobj(), le(), true, false);
  crcrash_async_dwarf_fde_info_t fde;

  struct Case {
    std::uint64_t hint, pc;
    crcrash_error_t err;
    std::size_t fde_at;
  };
  const Case cases[] = {
      {0, 0x1000, CRCRASH_ERR_NONE, first},      {0, 0x10FF, CRCRASH_ERR_NONE, first},
      {0, 0x1100, CRCRASH_ERR_NOTFOUND, 0},      {0, 0x2040, CRCRASH_ERR_NONE, second},
      {0, 0x2080, CRCRASH_ERR_NOTFOUND, 0},      {second, 0x2000, CRCRASH_ERR_NONE, second},
      {second, 0x1000, CRCRASH_ERR_NOTFOUND, 0}, {s.bytes().size(), 0x1000, CRCRASH_ERR_INVAL, 0},
      {~0ull - 2, 0x1000, CRCRASH_ERR_INVAL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "hint " << c.hint << " pc " << std::hex << c.pc);
    EXPECT_EQ(reader.find_fde(c.hint, c.pc, &fde), c.err);
    if (c.err == CRCRASH_ERR_NONE) {
      EXPECT_EQ(fde.fde_offset, c.fde_at + 4);
    }
  }
}

TEST(DwarfFindFde, EndsOnOnlyCiesOrBrokenLengths) {
  CfiSection only;
  only.cie(standard_cie_body());
  only.cie(standard_cie_body());
  Mapped m(only.bytes());
  crcrash_async_dwarf_fde_info_t fde;
  EXPECT_EQ(cfi_section_reader(m.mobj(), le(), true, false).find_fde(0, 0x1000, &fde), CRCRASH_ERR_NOTFOUND);

  // A 64-bit length that wraps the address space.
  Bytes wrap = Bytes().u32(0xFFFFFFFF).u64(~0ull - 8).u64(0);
  Mapped w(wrap);
  EXPECT_EQ(cfi_section_reader(w.mobj(), le(), true, false).find_fde(0, 0x1000, &fde), CRCRASH_ERR_INVAL);

  // An entry whose id runs off the section.
  Bytes cut = Bytes().u32(8).u16(0);
  Mapped c(cut);
  EXPECT_EQ(cfi_section_reader(c.mobj(), le(), true, false).find_fde(0, 0x1000, &fde), CRCRASH_ERR_INVAL);
}

TEST(DwarfFindFde, ThirtyTwoBitSectionsUseFourByteAddresses) {
  CfiSection s;
  const std::size_t cie = s.cie(Bytes().u32(0).u8(1).str("zR").uleb(1).sleb(-4).uleb(8).uleb(1).u8(0x00));
  const std::size_t at = s.fde(cie, Bytes().u32(0x8000).u32(0x40).uleb(0).u8(0x41));
  Mapped m(s.bytes());
  crcrash_async_dwarf_fde_info_t fde;
  ASSERT_EQ(cfi_section_reader(m.mobj(), le(), false, false).find_fde(0, 0x8010, &fde), CRCRASH_ERR_NONE);
  EXPECT_EQ(fde.fde_offset, at + 4);
  EXPECT_EQ(fde.pc_end, 0x8040u);
  EXPECT_EQ(fde.instructions_length, 1u);
}

// The DWARF frame reader over an image whose FDE for the pc points at a CIE that does not decode: the
// reader gives way to the next one and its log names the CIE and why.
TEST(DwarfFrameReader, FdeWithAnUndecodableCieNamesTheCie) {
  // __TEXT at 0x1000 in one page: the header, __eh_frame at 0x1400, __text at 0x1800.
  CfiSection cfi;
  const std::size_t cie = cfi.cie(Bytes().u32(0).u8(2).str("").uleb(1).sleb(-8).uleb(16));  // version 2
  cfi.fde(cie, standard_fde_rest(0x1800, 0x100, {}));
  cfi.terminator();
  crash_test::MachOBuilder b(true, false);
  b.header(MH_MAGIC_64, 1);
  b.segment("__TEXT", 0x1000, 0x1000, 0, 0x1000,
            {{"__eh_frame", 0x1400, cfi.bytes().size()}, {"__text", 0x1800, 0x100}});
  b.end_commands();
  crash_test::Pages pages(1);
  std::memcpy(pages.data(), b.bytes.data(), b.bytes.size());
  std::memcpy(pages.data() + 0x400, cfi.bytes().data(), cfi.bytes().size());
  crcrash_async_image_list_t images;
  crcrash_nasync_image_list_init(&images, platform::crash::mach_task_self());
  crcrash_nasync_image_list_append(&images, pages.address(), "built");

  crcrash_async_thread_state_t current, next;
  crcrash_async_thread_state_init(&current, platform::crash::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&current, CRCRASH_REG_IP, pages.address() + 0x810);
  crash_test::CapturedStderr captured;
  EXPECT_EQ(
      crframe_cursor_read_dwarf_unwind(platform::crash::mach_task_self(), &images, &current, nullptr, &next),
      CRFRAME_ERR_NOTSUP);
  EXPECT_NE(captured.text().find("Failed to parse CIE at offset of 0x0: 5"), std::string::npos)
      << captured.text();
  crcrash_nasync_image_list_free(&images);
}

}  // namespace
