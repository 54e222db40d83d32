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

}  // namespace
