#include <gtest/gtest.h>

#include "platform/HexColor.h"

using platform::Color;

namespace {

struct HexCase {
  const char* text;
  std::uint32_t number;
};

TEST(HexColor, ReadsTheTextAsTheScannerDoes) {
  const HexCase cases[] = {
      {"527908", 0x527908},
      {"#527908", 0x527908},   // one leading # is dropped
      {"##527908", 0},         // a second one is not
      {" #527908", 0},         // nor one after white space
      {"0x527908", 0x527908},  // prefix
      {"#0X527908", 0x527908},
      {"  \n\t527908", 0x527908},  // leading white space and newlines are skipped
      {"\xC2\xA0"
       "ff",
       0xFF},                     // NO-BREAK SPACE too
      {"FFF", 0xFFF},             // no expansion of short forms
      {"ff0000zz", 0xFF0000},     // reading stops at the first other character
      {"FF112233", 0xFF112233},   // eight digits: the top two are beyond the colour
      {"123456789", 0xFFFFFFFF},  // too many digits saturate
      {"zz", 0},
      {"", 0},
      {"#", 0},
      {"0x", 0},  // "0" then "x": the zero is read
      {"0xg1", 0},
      {"-12", 0},
  };
  for (const auto& c : cases) {
    std::string_view text = c.text;
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    EXPECT_EQ(platform::zk_scanHexInt(text), c.number) << c.text;
  }
}

TEST(HexColor, MakesOpaqueDeviceColours) {
  Color green = platform::zk_colorWithHexColorString("527908");
  EXPECT_EQ(green, Color::colorWithDeviceRed(82 / 255.0, 121 / 255.0, 8 / 255.0, 1.0));
  EXPECT_EQ(platform::zk_colorWithHexColorString("#527908"), green);
  EXPECT_EQ(platform::zk_colorWithHexColorString("#FF0000"), platform::zk_colorWithHexColorString("FF0000"));
  EXPECT_EQ(platform::zk_colorWithHexColorString("##527908"), Color::blackColor());
  EXPECT_EQ(platform::zk_colorWithHexColorString("zz"), Color::blackColor());
  EXPECT_EQ(platform::zk_colorWithHexColorString(""), Color::blackColor());
  EXPECT_EQ(platform::zk_colorWithHexColorString("FFF"), Color::colorWithDeviceRed(0, 15 / 255.0, 1.0, 1.0));
  EXPECT_EQ(platform::zk_colorWithHexColorString("FF112233"),
            Color::colorWithDeviceRed(0x11 / 255.0, 0x22 / 255.0, 0x33 / 255.0, 1.0));
  EXPECT_EQ(platform::zk_colorWithHexColorString("123456789"), Color::whiteColor());
}

}  // namespace
