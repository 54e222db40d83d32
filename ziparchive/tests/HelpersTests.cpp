#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "testing/ScopedTimeZone.h"
#include "ziparchive/ZAExtractionFolder.h"
#include "ziparchive/ZAZipArchive.h"

namespace {

// Local-time conversions depend on the zone; pin one with a daylight-saving switch.
class LocalZone : public ::testing::Test {
 protected:
  void SetUp() override { zone_.emplace("Europe/Berlin"); }
  void TearDown() override { zone_.reset(); }

 private:
  std::optional<qvtesting::ScopedTimeZone> zone_;
};

std::uint32_t dos(int year, int month, int day, int hour, int minute, int second) {
  return (static_cast<std::uint32_t>(year - 1980) << 25) | (static_cast<std::uint32_t>(month) << 21) |
         (static_cast<std::uint32_t>(day) << 16) | (static_cast<std::uint32_t>(hour) << 11) |
         (static_cast<std::uint32_t>(minute) << 5) | static_cast<std::uint32_t>(second / 2);
}

}  // namespace

TEST(ZAZipArchiveHelpers, HexAndBase64) {
  EXPECT_EQ(ZAZipArchive::_hexString({0x00, 0xAB, 0x1F, 0xFF}), "00AB1FFF");
  EXPECT_EQ(ZAZipArchive::_hexString({}), "");
  struct Case {
    platform::Data data;
    const char* base64;
  } cases[] = {
      {{}, ""},
      {{'f'}, "Zg=="},
      {{'f', 'o'}, "Zm8="},
      {{'f', 'o', 'o'}, "Zm9v"},
      {{0xFB, 0xFF, 0xBF}, "-_-_"},  // "+/+/" in the standard alphabet
  };
  for (const auto& c : cases) EXPECT_EQ(ZAZipArchive::_base64RFC4648(c.data), c.base64);
}

TEST_F(LocalZone, DOSDatesConvertBothWaysInLocalTime) {
  struct Case {
    std::uint32_t dosDate;
    const char* localTime;  // as strftime "%Y-%m-%d %H:%M:%S" in the pinned zone
  } cases[] = {
      {dos(2024, 5, 1, 12, 30, 58), "2024-05-01 12:30:58"},  // summer time
      {dos(2024, 1, 15, 0, 0, 0), "2024-01-15 00:00:00"},    // winter time
      {dos(1980, 1, 1, 0, 0, 0), "1980-01-01 00:00:00"},
      {dos(2107, 12, 31, 23, 59, 58), "2107-12-31 23:59:58"},
  };
  for (const auto& c : cases) {
    platform::Date date = ZAZipArchive::_dateWithMSDOSFormat(c.dosDate);
    auto seconds = static_cast<std::time_t>(date.timeIntervalSince1970());
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    EXPECT_STREQ(text, c.localTime);
    EXPECT_EQ(ZAZipArchive::dosDateWithDate(date), c.dosDate) << c.localTime;
  }
  // Odd seconds round down to the format's two-second steps; dates outside 1980..2107 are clamped.
  platform::Date odd =
      ZAZipArchive::_dateWithMSDOSFormat(dos(2024, 5, 1, 12, 30, 58)).addingTimeInterval(1.7);
  EXPECT_EQ(ZAZipArchive::dosDateWithDate(odd), dos(2024, 5, 1, 12, 30, 58));
  EXPECT_EQ(ZAZipArchive::dosDateWithDate(platform::Date::fromTimeIntervalSince1970(0)),
            dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(ZAZipArchive::dosDateWithDate(platform::Date::fromTimeIntervalSince1970(5e9)),
            dos(2107, 12, 31, 23, 59, 58));
}

TEST(ZAZipArchiveHelpers, EntryNamesDecodeAsUTF8ThenLegacyCodePageThenHex) {
  struct Case {
    std::string raw;
    std::string name;
  } cases[] = {
      {"plain/name.txt", "plain/name.txt"},
      {"caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},            // UTF-8 stays
      {"R\x82sum\x82.txt", "R\xC3\xA9sum\xC3\xA9.txt"},  // code page 437 "é"
      {std::string("cut\0after", 9), "cut"},             // the name ends at a zero byte
      {"\x01\xFF", "01FF"},                              // neither: upper-case hex of the bytes
      {"\xC0\xAF", "\xE2\x94\x94\xC2\xBB"},              // an overlong "/" is not UTF-8
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZAZipArchive::_filenameStringWithCString(c.raw.data(), c.raw.size()), c.name) << c.raw;
  }
}

TEST(ZAExtractionFolder, EntryNamesThatLeaveTheDestinationAreRefused) {
  using Components = ZAExtractionFolder::Components;
  struct Case {
    std::string name;
    std::optional<Components> components;
  } cases[] = {
      {"a/b/c.txt", Components{"a", "b", "c.txt"}},
      {"./a//b/", Components{"a", "b"}},
      {"a/./b", Components{"a", "b"}},
      {"..a/b..", Components{"..a", "b.."}},
      {"./", Components{}},
      {"/etc/passwd", std::nullopt},
      {"../x", std::nullopt},
      {"a/../../x", std::nullopt},
      {"a/..", std::nullopt},
      {"a/../b", std::nullopt},  // harmless, but a ".." segment is refused wherever it is
      {std::string("a\0/../x", 7), std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZAExtractionFolder::componentsOfEntryName(c.name), c.components) << c.name;
  }
}

TEST(ZAExtractionFolder, LinkTargetsMustStayInside) {
  using Components = ZAExtractionFolder::Components;
  struct Case {
    Components link;
    std::string target;
    bool contained;
  } cases[] = {
      {{"link"}, "file.txt", true},
      {{"link"}, "sub/file.txt", true},
      {{"link"}, ".", true},
      {{"a", "b", "link"}, "../../file.txt", true},
      {{"a", "b", "link"}, "../../../file.txt", false},
      {{"link"}, "../outside", false},
      {{"link"}, "/etc/passwd", false},
      {{"a", "link"}, "other/../../x", false},  // ".." after a descent could leave through a linked folder
      {{"a", "link"}, "other/..", false},
      {{"link"}, std::string("x\0y", 3), false},
      {{"a", "link"}, "./../b", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZAExtractionFolder::isContainedLinkTarget(c.link, c.target), c.contained) << c.target;
  }
}
