#include <gtest/gtest.h>
#include <locale.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/PropertyList.h"
#include "testing/Sandbox.h"

using namespace platform;
using Format = PropertyList::Format;

namespace {

// Builds a binary property list from raw objects (marker byte and payload each) with one-byte
// references and four-byte offsets, so that tests can state damaged structures exactly.
std::string binaryPlist(const std::vector<std::string>& objects, std::uint64_t top = 0, int refSize = 1,
                        std::uint64_t countOverride = 0) {
  std::string out = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    out += object;
  }
  std::uint64_t table = out.size();
  for (auto offset : offsets) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((offset >> shift) & 0xFF);
  }
  std::string trailer(32, '\0');
  trailer[6] = 4;
  trailer[7] = static_cast<char>(refSize);
  auto put = [&](int at, std::uint64_t value) {
    for (int i = 7; i >= 0; --i, value >>= 8) trailer[at + i] = static_cast<char>(value & 0xFF);
  };
  put(8, countOverride ? countOverride : objects.size());
  put(16, top);
  put(24, table);
  return out + trailer;
}

std::string arrayOf(std::initializer_list<int> refs) {
  std::string out(1, static_cast<char>(0xA0 | refs.size()));
  for (int ref : refs) out += static_cast<char>(ref);
  return out;
}

PropertyList sampleValue() {
  Data bytes{0, 1, 2, 0xFF, 0};
  PropertyList::Dictionary nested{{"inner", PropertyList::Array{1, 2.5, "three"}}};
  return PropertyList(PropertyList::Dictionary{
      {"string", "héllo ✓ 𝄞"},
      {"empty", ""},
      {"zero", 0},
      {"negative", -42},
      {"max", std::numeric_limits<std::int64_t>::max()},
      {"min", std::numeric_limits<std::int64_t>::min()},
      {"real", 0.1},
      {"third", 1.0 / 3.0},
      {"yes", true},
      {"no", false},
      {"data", bytes},
      {"emptyData", Data{}},
      {"date", Date::fromTimeIntervalSinceReferenceDate(700000000.25)},
      {"array", PropertyList::Array{"a", PropertyList::Array{}, PropertyList::Dictionary{}}},
      {"nested", nested},
      {"uid", PropertyList::UID{7}},
  });
}

}  // namespace

TEST(PropertyList, RoundTripsEveryTypeInBinaryForm) {
  PropertyList value = sampleValue();
  auto bytes = value.write(Format::Binary);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
  Format format = Format::XML;
  auto back = PropertyList::read(*bytes, nullptr, &format);
  ASSERT_TRUE(back);
  EXPECT_EQ(format, Format::Binary);
  EXPECT_EQ(*back, value);
}

TEST(PropertyList, RoundTripsEveryTypeInXMLFormWithUIDsAsDictionaries) {
  // XML keeps whole seconds of dates; the sample's date is rounded for this form.
  PropertyList value = sampleValue();
  value.asDictionary()->insert_or_assign("date", Date::fromTimeIntervalSinceReferenceDate(700000000));
  auto bytes = value.write(Format::XML);
  ASSERT_TRUE(bytes);
  std::string text(bytes->begin(), bytes->end());
  EXPECT_NE(text.find("CF$UID"), std::string::npos);
  Format format = Format::Binary;
  auto back = PropertyList::read(*bytes, nullptr, &format);
  ASSERT_TRUE(back);
  EXPECT_EQ(format, Format::XML);
  EXPECT_EQ(*back, value);
}

TEST(PropertyList, DatesKeepTheirValueAcrossTheWholeRange) {
  struct Case {
    const char* name;
    double sinceReference;
    double tolerance;
  } cases[] = {
      {"reference date", 0, 0},
      {"microseconds", 123456.789012, 1e-6},
      {"before 2001 with a fraction", -1999999999.5, 1e-6},
      {"just before 2001", -86400.25, 1e-6},
      {"year 2100 (beyond 32-bit seconds)", 3155760000.0, 0},
      {"year 1900", -3187296000.0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PropertyList value(Date::fromTimeIntervalSinceReferenceDate(c.sinceReference));
    auto bytes = value.write(Format::Binary);
    ASSERT_TRUE(bytes);
    auto back = PropertyList::read(*bytes);
    ASSERT_TRUE(back && back->asDate());
    EXPECT_NEAR(back->asDate()->timeIntervalSinceReferenceDate(), c.sinceReference, c.tolerance);
  }
}

TEST(PropertyList, StringsAreWrittenAsValidUTF8) {
  std::string withNul("a\0b", 3);
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"\xff\xfe bad", "\xEF\xBF\xBD\xEF\xBF\xBD bad"},
      {withNul,
       "a\xEF\xBF\xBD"
       "b"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong "/"
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
  };
  for (const auto& c : cases) {
    PropertyList value(PropertyList::Dictionary{{c.in, c.in}});
    auto back = PropertyList::read(*value.write(Format::Binary));
    ASSERT_TRUE(back);
    const PropertyList* entry = back->find(c.out);
    ASSERT_TRUE(entry) << c.in;
    EXPECT_EQ(*entry->asString(), c.out);
  }
}

TEST(PropertyList, ValuesCompareByTypeAndContent) {
  EXPECT_NE(PropertyList(1), PropertyList(1.0));
  EXPECT_NE(PropertyList(1), PropertyList(true));
  EXPECT_EQ(PropertyList("x"), PropertyList(std::string("x")));
  EXPECT_NE(PropertyList(std::nan("")), PropertyList(std::nan("")));
  PropertyList dict(PropertyList::Dictionary{{"a", 1}});
  ASSERT_TRUE(dict.find("a"));
  EXPECT_EQ(*dict.find("a"), PropertyList(1));
  EXPECT_EQ(dict.find("b"), nullptr);
  EXPECT_EQ(PropertyList(1).find("a"), nullptr);
}

TEST(PropertyList, RefusesToWriteValuesNestedTooDeeply) {
  PropertyList value(PropertyList::Array{});
  for (std::size_t i = 0; i < PropertyList::kMaxDepth + 5; ++i)
    value = PropertyList(PropertyList::Array{value});
  Error error;
  EXPECT_FALSE(value.write(Format::Binary, &error));
  EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
}

TEST(PropertyList, MalformedInputGivesAnError) {
  std::string deepXML = "<plist version=\"1.0\">";
  for (int i = 0; i < 5000; ++i) deepXML += "<array>";
  for (int i = 0; i < 5000; ++i) deepXML += "</array>";
  deepXML += "</plist>";

  // 300 arrays each holding the next: deeper than the reader allows.
  std::vector<std::string> chain;
  for (int i = 0; i < 300; ++i)
    chain.push_back(std::string("\xA1") + char((i + 1) >> 8) + char((i + 1) & 0xFF));
  chain.push_back(std::string(1, '\xA0'));

  // 40 arrays each holding the next one twice: 2^40 nodes once expanded.
  std::vector<std::string> bomb;
  for (int i = 0; i < 40; ++i) bomb.push_back(arrayOf({i + 1, i + 1}));
  bomb.push_back(std::string(1, '\xA0'));

  struct Case {
    const char* name;
    std::string bytes;
    const char* why;
  } cases[] = {
      {"empty", "", "empty"},
      {"signature only", "bplist00", "truncated"},
      {"text", "hello", "not a well-formed"},
      {"unclosed XML", "<plist version=\"1.0\"><array><string>a</string>", "not a well-formed"},
      {"NUL character reference", "<plist version=\"1.0\"><string>a&#0;b</string></plist>",
       "not a well-formed"},
      {"XML nested too deeply", deepXML, "nest too deeply"},
      {"offset size zero",
       [] {
         auto b = binaryPlist({std::string(1, '\x09')});
         b[b.size() - 32 + 6] = 0;
         return b;
       }(),
       "trailer"},
      {"reference size nine",
       [] {
         auto b = binaryPlist({std::string(1, '\x09')});
         b[b.size() - 32 + 7] = 9;
         return b;
       }(),
       "trailer"},
      {"top object outside the table", binaryPlist({std::string(1, '\x09')}, 5), "object table"},
      {"object count beyond the data", binaryPlist({std::string(1, '\x09')}, 0, 1, 1u << 30), "object table"},
      {"reference outside the table", binaryPlist({arrayOf({9})}), "outside the object table"},
      {"array that holds itself", binaryPlist({arrayOf({0})}), "refer to themselves"},
      {"two arrays holding each other", binaryPlist({arrayOf({1}), arrayOf({0})}), "refer to themselves"},
      {"array length beyond the data",
       binaryPlist({std::string("\xAF\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10)}), "damaged"},
      {"string length beyond the data", binaryPlist({std::string("\x5F\x12\x7F\xFF\xFF\xFF", 6)}), "damaged"},
      {"objects nested too deeply", binaryPlist(chain, 0, 2), "nest too deeply"},
      {"dictionary key with a NUL",
       binaryPlist({std::string("\xD1\x01\x02"),
                    std::string("\x53"
                                "a\0b",
                                4),
                    std::string(1, '\x09')}),
       "NUL character"},
      {"dictionary key in UTF-16 with a NUL",
       binaryPlist({std::string("\xD1\x01\x02"), std::string("\x62\0a\0\0", 5), std::string(1, '\x09')}),
       "NUL character"},
      {"dictionary key that is a number",
       binaryPlist({std::string("\xD1\x01\x02"), std::string("\x10\x05", 2), std::string(1, '\x09')}),
       "not a string"},
      {"shared arrays that expand exponentially", binaryPlist(bomb), "expand beyond"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    EXPECT_FALSE(PropertyList::read(c.bytes, &error));
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
    EXPECT_EQ(error.code, kPropertyListReadCorruptError);
    EXPECT_FALSE(error.description.empty());
    EXPECT_NE(error.description.find(c.why), std::string::npos) << error.description;
  }
}

TEST(PropertyList, SharedObjectsWithinBoundsAreRead) {
  // Equal values written once and referenced several times, as writers that unique them do.
  std::string shared = std::string(1, '\x51') + "x";
  auto bytes = binaryPlist({arrayOf({1, 2, 2, 2}), arrayOf({3, 3}), shared, std::string(1, '\x09')});
  auto value = PropertyList::read(bytes);
  ASSERT_TRUE(value);
  ASSERT_TRUE(value->asArray());
  ASSERT_EQ(value->asArray()->size(), 4u);
  EXPECT_EQ((*value->asArray())[1], PropertyList("x"));
  EXPECT_EQ((*value->asArray())[0], PropertyList(PropertyList::Array{true, true}));
}

TEST(PropertyList, EveryTruncationOfAValidFileFailsCleanly) {
  auto bytes = *sampleValue().write(Format::Binary);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    Data prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(PropertyList::read(prefix)) << size;
  }
  auto xml = *sampleValue().write(Format::XML);
  for (std::size_t size = 0; size + 10 < xml.size(); size += 7) {
    Data prefix(xml.begin(), xml.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(PropertyList::read(prefix)) << size;
  }
}

TEST(PropertyList, WritingWhatWasReadGivesTheSameBytes) {
  // Values that writing normalises (found by fuzzing): once read back they write unchanged.
  struct Case {
    const char* name;
    PropertyList value;
  } cases[] = {
      {"keys repaired into another order",
       PropertyList::Dictionary{{"\x9d", 1}, {"b", 2}, {"\xEF\xBF\xBE", 3}}},
      {"date with microseconds far before 2001",
       Date::fromTimeIntervalSinceReferenceDate(-2147481500.516351938)},
      {"date with microseconds far after 2001", Date::fromTimeIntervalSinceReferenceDate(2147481500.999999)},
      {"not a number", std::nan("")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto first = c.value.write(Format::Binary);
    ASSERT_TRUE(first);
    auto read = PropertyList::read(*first);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->write(Format::Binary), first);
  }
}

// glibc keeps the search path of a locale loaded through LOCPATH in memory it never frees; the
// leak checker of sanitizer builds is told so.
// GLib (under libsecret and GDBus) keeps its type system and per-thread data for the life of the
// process by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\nleak:libglib-2.0.so\n"; }

namespace {

// Switches this thread to a German locale (decimal comma), compiled into the sandbox when the
// system has the locale sources; the application's toolkit sets the user's locale at start.
class GermanLocaleTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    std::string folder = (root() / "locales").string();
    std::string command = "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1";
    std::filesystem::create_directories(folder);
    if (std::system(command.c_str()) > 1) GTEST_SKIP() << "the de_DE locale cannot be compiled here";
    setenv("LOCPATH", folder.c_str(), 1);
    german_ = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
    unsetenv("LOCPATH");
    if (!german_) GTEST_SKIP() << "the de_DE locale cannot be loaded here";
    previous_ = uselocale(german_);
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", 0.5);
    ASSERT_STREQ(text, "0,5");
  }
  void TearDown() override {
    if (previous_) uselocale(previous_);
    if (german_) freelocale(german_);
    SandboxTest::TearDown();
  }
  locale_t german_ = nullptr;
  locale_t previous_ = nullptr;
};

}  // namespace

TEST_F(GermanLocaleTest, XMLRealsAreReadAndWrittenWithAPoint) {
  PropertyList value(PropertyList::Array{0.5, 1234.25, -1e-3});
  auto xml = value.write(Format::XML);
  ASSERT_TRUE(xml);
  std::string text(xml->begin(), xml->end());
  EXPECT_NE(text.find("0.5"), std::string::npos) << text;
  EXPECT_EQ(PropertyList::read(*xml), value);
  EXPECT_EQ(PropertyList::read(std::string_view("<plist version=\"1.0\"><real>2.25</real></plist>")),
            PropertyList(2.25));
}
