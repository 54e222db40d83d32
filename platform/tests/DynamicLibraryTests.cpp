// Libraries opened on first use: a real library of the system (zlib) resolves, a missing library and
// a missing symbol fail with an error naming what is missing, and threads that ask at once share one
// opening.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <latch>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"

using namespace platform;

namespace {

struct ZlibTable {
  decltype(&::zlibVersion) zlibVersion = nullptr;
  decltype(&::crc32) crc32 = nullptr;

  void bind(DynamicLibrarySymbols& symbols) {
    symbols(zlibVersion, "zlibVersion");
    symbols(crc32, "crc32");
  }
};

// A table that asks for one function zlib does not have, between two it has.
struct ZlibTableWithAMissingFunction {
  decltype(&::zlibVersion) zlibVersion = nullptr;
  decltype(&::zlibVersion) missing = nullptr;
  decltype(&::crc32) crc32 = nullptr;

  void bind(DynamicLibrarySymbols& symbols) {
    symbols(zlibVersion, "zlibVersion");
    symbols(missing, "qvNoSuchFunctionInZlib");
    symbols(crc32, "crc32");
  }
};

constexpr const char* kAbsentLibrarySoname = "libqv-no-such-library.so.7";

struct LibraryLoadCase {
  const char* name;
  // Makes a fresh table and asks it once: whether it gave functions, and the error it reported.
  std::function<bool(Error*)> load;
  std::int64_t code;                   // 0: loaded
  std::vector<std::string> described;  // texts the error's description holds
};

std::ostream& operator<<(std::ostream& out, const LibraryLoadCase& c) { return out << c.name; }

class DynamicLibraryLoadTest : public ::testing::TestWithParam<LibraryLoadCase> {};

TEST_P(DynamicLibraryLoadTest, GivesTheTableOrSaysWhatIsMissing) {
  const auto& c = GetParam();
  Error error = Error::make("untouched", 0, "untouched");
  const bool loaded = c.load(&error);
  EXPECT_EQ(loaded, c.code == 0);
  if (c.code == 0) {
    EXPECT_EQ(error.domain, "untouched") << "success leaves the error alone";
  } else {
    EXPECT_EQ(error.domain, kDynamicLibraryErrorDomain);
    EXPECT_EQ(error.code, c.code);
    for (const auto& text : c.described)
      EXPECT_NE(error.description.find(text), std::string::npos) << error.description;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DynamicLibraryLoadTest,
    ::testing::Values(
        LibraryLoadCase{"ExistingLibrary",
                        [](Error* error) {
                          DynamicLibrary<ZlibTable> zlib("libz.so.1");
                          const ZlibTable* functions = zlib.functions(error);
                          // The functions are zlib's own: they answer as the linked ones do.
                          return functions && std::string(functions->zlibVersion()) == ZLIB_VERSION &&
                                 functions->crc32(0, reinterpret_cast<const Bytef*>("abc"), 3) == 0x352441C2;
                        },
                        0,
                        {}},
        LibraryLoadCase{"MissingLibrary",
                        [](Error* error) {
                          DynamicLibrary<ZlibTable> absent(kAbsentLibrarySoname);
                          return absent.functions(error) != nullptr;
                        },
                        kDynamicLibraryNotLoaded,
                        {std::string("Could not load ") + kAbsentLibrarySoname, "No such file"}},
        LibraryLoadCase{"MissingSymbol",
                        [](Error* error) {
                          DynamicLibrary<ZlibTableWithAMissingFunction> zlib("libz.so.1");
                          return zlib.functions(error) != nullptr;
                        },
                        kDynamicLibraryMissingSymbol,
                        {"Could not find qvNoSuchFunctionInZlib in libz.so.1"}},
        LibraryLoadCase{"SetUpFails",
                        [](Error* error) {
                          DynamicLibrary<ZlibTable> zlib("libz.so.1",
                                                         [](const ZlibTable&, std::string* failure) {
                                                           *failure = "refused by the test";
                                                           return false;
                                                         });
                          return zlib.functions(error) != nullptr;
                        },
                        kDynamicLibraryNotInitialised,
                        {"Could not initialise libz.so.1: refused by the test"}}),
    [](const ::testing::TestParamInfo<LibraryLoadCase>& info) { return std::string(info.param.name); });

// Every thread that asks before the first opening has ended waits for it and gets its outcome; the
// set-up runs once.
TEST(DynamicLibraryTest, ConcurrentFirstUseOpensOnce) {
  for (const char* soname : {"libz.so.1", kAbsentLibrarySoname}) {
    SCOPED_TRACE(soname);
    std::atomic<int> setUps{0};
    DynamicLibrary<ZlibTable> library(soname, [&](const ZlibTable&, std::string*) {
      ++setUps;
      return true;
    });
    constexpr int kThreads = 8;
    std::latch ready(kThreads);
    std::vector<const ZlibTable*> seen(kThreads, nullptr);
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ready.arrive_and_wait();
        Error error;
        seen[i] = library.functions(&error);
        errors[i] = error.description;
      });
    }
    for (auto& thread : threads) thread.join();
    const bool exists = std::string(soname) == "libz.so.1";
    for (int i = 0; i < kThreads; ++i) {
      EXPECT_EQ(seen[i], seen[0]) << "thread " << i;
      EXPECT_EQ(errors[i], errors[0]) << "thread " << i;
    }
    EXPECT_EQ(seen[0] != nullptr, exists);
    EXPECT_EQ(library.openCount(), 1);
    EXPECT_EQ(setUps.load(), exists ? 1 : 0);
    // Later uses keep the outcome without opening again.
    EXPECT_EQ(library.functions(), seen[0]);
    EXPECT_EQ(library.isAvailable(), exists);
    EXPECT_EQ(library.openCount(), 1);
  }
}

// A substitution makes a table open another soname while it lasts: tests use it to show how callers
// behave where a library is not installed. The table's own outcome is back when it ends.
TEST(DynamicLibraryTest, ASubstitutedSonameLastsForItsScope) {
  DynamicLibrary<ZlibTable> zlib("libz.so.1");
  const ZlibTable* real = zlib.functions();
  ASSERT_TRUE(real);
  {
    DynamicLibrarySubstitution substitution("libz.so.1", kAbsentLibrarySoname);
    Error error;
    EXPECT_EQ(zlib.functions(&error), nullptr);
    EXPECT_NE(error.description.find(kAbsentLibrarySoname), std::string::npos) << error.description;
  }
  EXPECT_EQ(zlib.functions(), real);
  // A substitution of another soname leaves this table alone.
  DynamicLibrarySubstitution unrelated("libunrelated.so.1", kAbsentLibrarySoname);
  EXPECT_EQ(zlib.functions(), real);
  EXPECT_EQ(zlib.soname(), "libz.so.1");
}

}  // namespace
