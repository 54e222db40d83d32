// Error texts, byte order, task reads, string routines, the log line and the host facts.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "CrashTestSupport.h"
#include "Platform/CRSysctl.h"
#include "crcrash_async.h"
#include "testing/Sandbox.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;
using crash_test::Pages;

TEST(CrashAsync, StrerrorCoversTheTable) {
  const char* texts[] = {"No error",
                         "Unknown error",
                         "Output file can not be opened (or written to)",
                         "No memory available",
                         "Operation not supported",
                         "Invalid argument",
                         "Internal error",
                         "Access denied",
                         "Not found",
                         "The input data is in an unknown or invalid format."};
  for (crcrash_error_t code = 0; code < 10; ++code)
    EXPECT_STREQ(crcrash_async_strerror(code), texts[code]) << code;
  EXPECT_STREQ(crcrash_async_strerror(10), "Unhandled error code");
  EXPECT_STREQ(crcrash_async_strerror(0xFFFFFFFF), "Unhandled error code");
}

TEST(CrashAsync, ByteOrders) {
  const crcrash_async_byteorder_t* little = crcrash_async_byteorder_little_endian();
  const crcrash_async_byteorder_t* big = crcrash_async_byteorder_big_endian();
  EXPECT_EQ(little->swap16(0x1234), 0x1234);
  EXPECT_EQ(little->swap32(0x12345678u), 0x12345678u);
  EXPECT_EQ(little->swap64(0x0102030405060708ull), 0x0102030405060708ull);
  EXPECT_EQ(big->swap16(0x1234), 0x3412);
  EXPECT_EQ(big->swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(big->swap64(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(CrashAsync, TaskReadsTellOverflowUnmappedAndProtected) {
  Pages pages(3);
  std::memcpy(pages.page(0), "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
  pages.protect(1, PROT_NONE);
  pages.unmap(2);
  const task_t self = pc::mach_task_self();
  std::uint8_t out[8];

  struct Case {
    const char* what;
    std::uint64_t address;
    std::int64_t offset;
    std::uint64_t length;
    crcrash_error_t expected;
  } cases[] = {
      {"readable", pages.address(), 0, 8, CRCRASH_ERR_NONE},
      {"negative offset", pages.address() + 8, -8, 8, CRCRASH_ERR_NONE},
      {"positive overflow", std::numeric_limits<std::uint64_t>::max() - 4, 8, 1, CRCRASH_ERR_NOMEM},
      {"negative overflow", 4, -8, 1, CRCRASH_ERR_NOMEM},
      {"protected page", reinterpret_cast<std::uint64_t>(pages.page(1)), 0, 8, CRCRASH_ERR_ACCESS},
      {"unmapped page", reinterpret_cast<std::uint64_t>(pages.page(2)), 0, 8, CRCRASH_ERR_NOTFOUND},
      {"straddles into protected", reinterpret_cast<std::uint64_t>(pages.page(1)) - 4, 0, 8,
       CRCRASH_ERR_ACCESS},
      {"null page", 0, 16, 8, CRCRASH_ERR_NOTFOUND},
  };
  for (const Case& c : cases) {
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(crcrash_async_task_memcpy(self, c.address, c.offset, out, c.length), c.expected) << c.what;
    if (c.expected == CRCRASH_ERR_NOMEM) {
      EXPECT_EQ(out[0], 0xEE) << c.what << ": nothing may be read";
    }
  }

  std::uint16_t v16;
  std::uint32_t v32;
  std::uint64_t v64;
  std::uint8_t v8;
  EXPECT_EQ(crcrash_async_task_read_uint8(self, pages.address(), 1, &v8), CRCRASH_ERR_NONE);
  EXPECT_EQ(v8, 0x22);
  EXPECT_EQ(
      crcrash_async_task_read_uint16(self, crcrash_async_byteorder_big_endian(), pages.address(), 0, &v16),
      0u);
  EXPECT_EQ(v16, 0x1122);
  EXPECT_EQ(
      crcrash_async_task_read_uint32(self, crcrash_async_byteorder_little_endian(), pages.address(), 4, &v32),
      0u);
  EXPECT_EQ(v32, 0x88776655u);
  EXPECT_EQ(
      crcrash_async_task_read_uint64(self, crcrash_async_byteorder_little_endian(), pages.address(), 0, &v64),
      0u);
  EXPECT_EQ(v64, 0x8877665544332211ull);
}

TEST(CrashAsync, AddressAddOffset) {
  std::uint64_t result = 0;
  EXPECT_TRUE(crcrash_async_address_add_offset(100, -100, &result));
  EXPECT_EQ(result, 0u);
  EXPECT_FALSE(crcrash_async_address_add_offset(100, -101, &result));
  EXPECT_TRUE(crcrash_async_address_add_offset(std::numeric_limits<std::uint64_t>::max() - 1, 1, nullptr));
  EXPECT_FALSE(crcrash_async_address_add_offset(std::numeric_limits<std::uint64_t>::max() - 1, 2, &result));
  EXPECT_FALSE(crcrash_async_address_add_offset(0, std::numeric_limits<std::int64_t>::min(), &result));
}

TEST(CrashAsync, StringRoutines) {
  EXPECT_EQ(crcrash_async_strcmp("abc", "abc"), 0);
  EXPECT_LT(crcrash_async_strcmp("abc", "abd"), 0);
  EXPECT_EQ(crcrash_async_strcmp("\xff", "a"), 0xff - 'a');
  EXPECT_GT(crcrash_async_strcmp("abcd", "abc"), 0);
  EXPECT_EQ(crcrash_async_strncmp("abcX", "abcY", 3), 0);
  EXPECT_NE(crcrash_async_strncmp("abcX", "abcY", 4), 0);
  EXPECT_EQ(crcrash_async_strncmp("ab\0X", "ab\0Y", 4), 0);
  char buffer[8] = "xxxxxxx";
  crcrash_async_memset(buffer, 0x141, 3);
  EXPECT_EQ(std::string(buffer, 4), "AAAx");
  crcrash_async_memset(buffer, 'z', 0);
  EXPECT_EQ(buffer[0], 'A');
  crcrash_async_memcpy(buffer, "hello", 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST(CrashAsync, Utf8ValidPrefix) {
  struct Case {
    std::string bytes;
    std::size_t expected;
  } cases[] = {
      {std::string("\x61\x62\xC3", 3), 2},
      {std::string("\xEF\xBB\xBF\x41", 4), 4},
      {std::string("\x41\x00\x42", 3), 1},
      {"caf\xC3\xA9", 5},
      {"\xE2\x82\xAC!", 4},
      {"\xF0\x9F\x98\x80", 4},
      {"a\x80", 1},
      {"a\xC3\x41", 1},
      {std::string("a\xC3\x00", 3), 1},
      {"ab\xF8\x88", 2},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        crcrash_utf8_valid_prefix(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()),
        c.expected)
        << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(crcrash_utf8_cstring_valid_prefix("ok\xC3"), 2u);
}

namespace {
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buffer[128];
  va_list args;
  va_start(args, fmt);
  crcrash_async_format(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}
}  // namespace

TEST(CrashAsync, FormatterConversions) {
  EXPECT_EQ(format("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
  EXPECT_EQ(format("%x|%X|%08x", 0xbeefu, 0xbeefu, 0x1fu), "beef|BEEF|0000001f");
  EXPECT_EQ(
      format("0x%llx %llu %lld", 0xdeadbeefcafeull, 18446744073709551615ull, -9223372036854775807ll - 1),
      "0xdeadbeefcafe 18446744073709551615 -9223372036854775808");
  EXPECT_EQ(format("%zu %jd", static_cast<std::size_t>(12), static_cast<intmax_t>(-3)), "12 -3");
  EXPECT_EQ(format("%s|%.3s|%5s|%-3s|", "abc", "abcdef", "ab", "a"), "abc|abc|   ab|a  |");
  EXPECT_EQ(format("%p", reinterpret_cast<void*>(0x1000)), "0x1000");
  EXPECT_EQ(format("%c%%", 'Q'), "Q%");
  const char* volatile null_text = nullptr;
  char buffer[16];
  auto via_list = [&](const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    crcrash_async_format(buffer, sizeof buffer, fmt, args);
    va_end(args);
  };
  via_list("%s", null_text);
  EXPECT_STREQ(buffer, "(null)");
  std::string long_text(300, 'x');
  EXPECT_EQ(format("%s", long_text.c_str()).size(), 127u);
}

TEST(CrashAsync, DebugLogLine) {
  CapturedStderr captured;
  errno = ENOSPC;
  crcrash_async_debug_log("some_function", 42, "value %d at 0x%llx", 7, 0x10ull);
  EXPECT_EQ(errno, ENOSPC) << "logging keeps errno";
  std::string long_text(300, 'y');
  crcrash_async_debug_log("f", 1, "%s", long_text.c_str());
  EXPECT_EQ(captured.text(), "[CRCrashReport] some_function:42: value 7 at 0x10\n[CRCrashReport] f:1: " +
                                 std::string(127, 'y') + "\n");
}

class CrashSysctl : public qvtesting::SandboxTest {
 protected:
  void TearDown() override {
    pc::set_sysctl_roots("/proc", "/sys");
    qvtesting::SandboxTest::TearDown();
  }
};

TEST_F(CrashSysctl, FactsOfThisMachine) {
  int value = 0;
  EXPECT_TRUE(crcrash_sysctl_int("hw.cputype", &value));
  EXPECT_EQ(value, 0x1000007);
  EXPECT_TRUE(crcrash_sysctl_int("hw.cpusubtype", &value));
  EXPECT_EQ(value, 3);
  EXPECT_TRUE(crcrash_sysctl_int("hw.logicalcpu_max", &value));
  EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_CONF));
  errno = 0;
  EXPECT_FALSE(crcrash_sysctl_int("sysctl.proc_native", &value));
  EXPECT_EQ(errno, ENOENT);
  char* release = crcrash_sysctl_string("kern.osrelease");
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(std::string(release), crash_test::run("uname -r").substr(0, std::strlen(release)));
  std::free(release);
  char* version = crcrash_sysctl_string("kern.osversion");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(std::string(version), crash_test::run("uname -v").substr(0, std::strlen(version)));
  std::free(version);
}

TEST_F(CrashSysctl, InjectedRoots) {
  std::filesystem::path proc = root() / "proc", sys = root() / "sys";
  std::filesystem::create_directories(proc / "sys/kernel");
  std::filesystem::create_directories(sys / "class/dmi/id");
  for (int cpu = 0; cpu < 4; ++cpu) {
    auto topology = sys / ("devices/system/cpu/cpu" + std::to_string(cpu)) / "topology";
    std::filesystem::create_directories(topology);
    std::ofstream(topology / "physical_package_id") << "0\n";
    std::ofstream(topology / "core_id") << cpu / 2 << "\n";
  }
  std::ofstream(proc / "sys/kernel/osrelease") << "6.1.0-18-amd64\n";
  std::ofstream(sys / "class/dmi/id/product_name") << "Test Machine\n";
  pc::set_sysctl_roots(proc.string(), sys.string());

  char* model = crcrash_sysctl_string("hw.model");
  ASSERT_NE(model, nullptr);
  EXPECT_STREQ(model, "Test Machine");
  std::free(model);
  char* release = crcrash_sysctl_string("kern.osrelease");
  ASSERT_NE(release, nullptr);
  EXPECT_STREQ(release, "6.1.0-18-amd64");
  std::free(release);
  int cores = 0;
  EXPECT_TRUE(crcrash_sysctl_int("hw.physicalcpu_max", &cores));
  EXPECT_EQ(cores, 2);
  // Missing facts fail with ENOENT and no value.
  errno = 0;
  EXPECT_EQ(crcrash_sysctl_string("kern.osversion"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  pc::set_sysctl_roots((root() / "none").string(), (root() / "none").string());
  EXPECT_EQ(crcrash_sysctl_string("hw.model"), nullptr);
  EXPECT_FALSE(crcrash_sysctl_int("hw.physicalcpu_max", &cores));
}
