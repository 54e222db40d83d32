#include <gtest/gtest.h>

#include "platform/Escaping.h"

namespace {

using platform::HtmlQuotes;

TEST(EscapedHTML, Table) {
  struct Case {
    std::string text;
    std::string both;        // HtmlQuotes::doubleAndSingle
    std::string doubleOnly;  // HtmlQuotes::doubleOnly
  } cases[] = {
      {"", "", ""},
      {"plain text 123", "plain text 123", "plain text 123"},
      {"&", "&amp;", "&amp;"},
      {"<", "&lt;", "&lt;"},
      {">", "&gt;", "&gt;"},
      {"\"", "&quot;", "&quot;"},
      {"'", "&#39;", "'"},
      {"&amp;", "&amp;amp;", "&amp;amp;"},
      {"<a href=\"x\">Tom & 'Jerry'</a>", "&lt;a href=&quot;x&quot;&gt;Tom &amp; &#39;Jerry&#39;&lt;/a&gt;",
       "&lt;a href=&quot;x&quot;&gt;Tom &amp; 'Jerry'&lt;/a&gt;"},
      // UTF-8 passes through byte for byte: é, €, an emoji, and a lone continuation byte.
      {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \x80",
       "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \x80"},
      {"caf\xC3\xA9 <b>", "caf\xC3\xA9 &lt;b&gt;", "caf\xC3\xA9 &lt;b&gt;"},
      {std::string("a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::escapedHTML(c.text), c.both) << c.text;
    EXPECT_EQ(platform::escapedHTML(c.text, HtmlQuotes::doubleAndSingle), c.both) << c.text;
    EXPECT_EQ(platform::escapedHTML(c.text, HtmlQuotes::doubleOnly), c.doubleOnly) << c.text;
  }
}

TEST(EscapedHTML, AppendsToWhatIsThere) {
  std::string out = "<p>";
  platform::appendEscapedHTML(out, "1 < 2", HtmlQuotes::doubleOnly);
  platform::appendEscapedHTML(out, "");
  EXPECT_EQ(out, "<p>1 &lt; 2");
}

TEST(PercentEscaped, Table) {
  struct Case {
    std::string text;
    std::string alsoKept;
    std::string expected;
  } cases[] = {
      {"", "", ""},
      {"AZaz09-._~", "", "AZaz09-._~"},
      {"a/b c", "", "a%2Fb%20c"},
      {":@/?&=+", "", "%3A%40%2F%3F%26%3D%2B"},
      {"r\xC3\xA9sum\xC3\xA9 \"x\"'.txt", "", "r%C3%A9sum%C3%A9%20%22x%22%27.txt"},
      {std::string("\0\x1F\x7F\xFF", 4), "", "%00%1F%7F%FF"},
      {"%", "", "%25"},
      // The extra characters are kept, and only those.
      {"/a b/c?d#e%f", "/", "/a%20b/c%3Fd%23e%25f"},
      {"k=v w&x=1:2", "!$&'()*+,;=:@/?", "k=v%20w&x=1:2"},
      // Bytes from 0x80 up are encoded even when named.
      {"\xC3\xA9", "\xC3\xA9", "%C3%A9"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::percentEscaped(c.text, c.alsoKept), c.expected) << c.text;
}

TEST(HexDigitValue, Table) {
  const std::pair<char, int> cases[] = {
      {'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},  {'/', -1},    {':', -1},
      {'@', -1}, {'G', -1}, {'`', -1}, {'g', -1}, {' ', -1}, {'\0', -1}, {'\xC3', -1}, {'\xFF', -1},
  };
  for (const auto& [c, value] : cases) EXPECT_EQ(platform::hexDigitValue(c), value) << int(c);
  static_assert(platform::hexDigitValue('e') == 14 && platform::hexDigitValue('x') == -1);
}

}  // namespace
