// Memory objects: the identity window over the own task, its cut at the first unreadable page, and the
// bounds every access is checked against.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <limits>

#include "CrashTestSupport.h"
#include "crcrash_async.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;
using crash_test::Pages;

namespace {
const std::uint64_t kPage = pc::page_size();
}

// Two pages, the second first readable, then PROT_NONE, then unmapped.
TEST(CrashMemoryObject, TwoPagesWithTheSecondGoing) {
  Pages pages(2);
  const std::uint64_t first = pages.address();
  const std::uint64_t second = first + kPage;
  enum class Second { Readable, Protected, Unmapped };
  struct Case {
    Second second;
    std::uint64_t address;
    std::uint64_t length;
    bool require_full;
    crcrash_error_t expected;
    std::uint64_t expected_length;
  } cases[] = {
      {Second::Readable, first + 10, kPage, true, CRCRASH_ERR_NONE, kPage},
      {Second::Protected, first + 10, kPage, true, CRCRASH_ERR_NOMEM, 0},
      {Second::Protected, first + 10, kPage, false, CRCRASH_ERR_NONE, kPage - 10},
      {Second::Protected, second, 16, false, CRCRASH_ERR_NOMEM, 0},
      {Second::Unmapped, first + 10, kPage, true, CRCRASH_ERR_NOMEM, 0},
      {Second::Unmapped, first + 10, kPage, false, CRCRASH_ERR_NONE, kPage - 10},
      {Second::Unmapped, second + 1, 1, false, CRCRASH_ERR_NOMEM, 0},
      {Second::Unmapped, first, 0, false, CRCRASH_ERR_NOMEM, 0},
  };
  Second state = Second::Readable;
  for (const Case& c : cases) {
    if (c.second != state) {
      if (c.second == Second::Protected) pages.protect(1, PROT_NONE);
      if (c.second == Second::Unmapped) pages.unmap(1);
      state = c.second;
    }
    CapturedStderr quiet;
    crcrash_async_mobject_t mobj;
    crcrash_error_t err =
        crcrash_async_mobject_init(&mobj, pc::mach_task_self(), c.address, c.length, c.require_full);
    EXPECT_EQ(err, c.expected) << static_cast<int>(c.second) << " " << c.address - first;
    if (err != CRCRASH_ERR_NONE) continue;
    EXPECT_EQ(crcrash_async_mobject_length(&mobj), c.expected_length);
    EXPECT_EQ(crcrash_async_mobject_base_address(&mobj), c.address);
    EXPECT_EQ(mobj.local_address, c.address) << "identity window";
    EXPECT_EQ(mobj.slide, 0u);
    crcrash_async_mobject_free(&mobj);
  }
}

TEST(CrashMemoryObject, StraddlingRequestKeepsItsPageOffset) {
  Pages pages(2);
  crcrash_async_mobject_t mobj;
  const std::uint64_t address = pages.address() + kPage - 5;
  ASSERT_EQ(crcrash_async_mobject_init(&mobj, pc::mach_task_self(), address, 10, true), CRCRASH_ERR_NONE);
  EXPECT_EQ(mobj.map_base, pages.address());
  EXPECT_EQ(mobj.map_length, 2 * kPage);
  EXPECT_EQ(mobj.length, 10u);
  EXPECT_EQ(mobj.local_address & (kPage - 1), kPage - 5);
  crcrash_async_mobject_free(&mobj);
}

TEST(CrashMemoryObject, NothingMappableIsLogged) {
  Pages pages(1);
  pages.protect(0, PROT_NONE);
  CapturedStderr captured;
  crcrash_async_mobject_t mobj;
  EXPECT_EQ(crcrash_async_mobject_init(&mobj, pc::mach_task_self(), pages.address(), 8, false),
            CRCRASH_ERR_NOMEM);
  EXPECT_NE(captured.text().find("No mappable pages found at 0x"), std::string::npos) << captured.text();
}

TEST(CrashMemoryObject, RemapAndVerifyBounds) {
  Pages pages(1);
  for (int i = 0; i < 16; ++i) pages.data()[i] = static_cast<std::uint8_t>(i);
  crcrash_async_mobject_t mobj;
  const std::uint64_t base = pages.address();
  ASSERT_EQ(crcrash_async_mobject_init(&mobj, pc::mach_task_self(), base, 16, true), CRCRASH_ERR_NONE);
  struct Case {
    std::uint64_t address;
    std::int64_t offset;
    std::uint64_t length;
    bool ok;
  } cases[] = {
      {base + 15, 0, 1, true},
      {base + 15, 0, 2, false},
      {base, 15, 1, true},
      {base, 16, 0, true},
      {base, 16, 1, false},
      {base + 4, -4, 16, true},
      {base + 4, -5, 1, false},
      {base, std::numeric_limits<std::int64_t>::max(), 1, false},
      {base, std::numeric_limits<std::int64_t>::min(), 1, false},
      {base, 0, std::numeric_limits<std::uint64_t>::max(), false},
  };
  for (const Case& c : cases) {
    void* p = crcrash_async_mobject_remap_address(&mobj, c.address, c.offset, c.length);
    EXPECT_EQ(p != nullptr, c.ok) << c.address - base << " " << c.offset << " " << c.length;
    if (p != nullptr) {
      EXPECT_EQ(reinterpret_cast<std::uint64_t>(p), c.address + static_cast<std::uint64_t>(c.offset));
    }
  }
  std::uint8_t v8;
  std::uint16_t v16;
  std::uint32_t v32;
  std::uint64_t v64;
  EXPECT_EQ(crcrash_async_mobject_read_uint8(&mobj, base, 15, &v8), CRCRASH_ERR_NONE);
  EXPECT_EQ(v8, 15);
  EXPECT_EQ(crcrash_async_mobject_read_uint8(&mobj, base, 16, &v8), CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_mobject_read_uint16(&mobj, crcrash_async_byteorder_big_endian(), base, 1, &v16),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(v16, 0x0102);
  EXPECT_EQ(crcrash_async_mobject_read_uint32(&mobj, crcrash_async_byteorder_little_endian(), base, 12, &v32),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(v32, 0x0F0E0D0Cu);
  EXPECT_EQ(crcrash_async_mobject_read_uint32(&mobj, crcrash_async_byteorder_little_endian(), base, 13, &v32),
            CRCRASH_ERR_INVAL);
  EXPECT_EQ(crcrash_async_mobject_read_uint64(&mobj, crcrash_async_byteorder_little_endian(), base, 8, &v64),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(v64, 0x0F0E0D0C0B0A0908ull);
  EXPECT_EQ(crcrash_async_mobject_task(&mobj), pc::mach_task_self());
  crcrash_async_mobject_free(&mobj);
}

// A region mapped after the last table refresh is still found, by probing.
TEST(CrashMemoryObject, RegionMappedAfterTheLastRefresh) {
  pc::region_table_refresh();
  void* p = mmap(nullptr, kPage * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  crcrash_async_mobject_t mobj;
  EXPECT_EQ(crcrash_async_mobject_init(&mobj, pc::mach_task_self(), reinterpret_cast<std::uint64_t>(p),
                                       kPage * 2, true),
            CRCRASH_ERR_NONE);
  crcrash_async_mobject_free(&mobj);
  munmap(p, kPage * 2);
  pc::region_table_refresh();
}

TEST(CrashMemoryObject, AnotherTaskIsNotSupported) {
  CapturedStderr quiet;
  crcrash_async_mobject_t mobj;
  EXPECT_EQ(crcrash_async_mobject_init(&mobj, 1, 0x400000, 16, false), CRCRASH_ERR_NOTSUP);
}
