#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/QVOutputLineBuffer.h"

namespace {

// Feeds the reads one after the other and collects the lines, with "<overlong>" for each line
// dropped for its length.
std::vector<std::string> linesOf(const std::vector<std::string>& reads,
                                 std::size_t* pendingAfterReads = nullptr) {
  QVOutputLineBuffer buffer;
  std::vector<std::string> lines;
  auto line = [&](std::string_view text) { lines.emplace_back(text); };
  auto overlong = [&] { lines.emplace_back("<overlong>"); };
  for (const auto& read : reads) buffer.append(read, line, overlong);
  if (pendingAfterReads) *pendingAfterReads = buffer.pendingSize();
  buffer.finish(line, overlong);
  EXPECT_EQ(buffer.pendingSize(), 0u);
  return lines;
}

TEST(QVOutputLineBufferTest, CutsLinesWhateverTheReads) {
  const std::string big(QVOutputLineBuffer::kMaximumLineLength, 'b');
  const std::string tooBig(QVOutputLineBuffer::kMaximumLineLength + 1, 't');
  struct Case {
    std::string name;
    std::vector<std::string> reads;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"one read, two lines", {"a\nb\n"}, {"a", "b"}},
      {"a line split over two reads", {"{\"type\":", "\"log\"}\n"}, {"{\"type\":\"log\"}"}},
      {"a line in many small reads", {"a", "b", "c", "\n", "d"}, {"abc", "d"}},
      {"the last line without newline", {"a\nlast"}, {"a", "last"}},
      {"a UTF-8 character split over two reads", {"caf\xC3", "\xA9\n"}, {"caf\xC3\xA9"}},
      {"CR, LF, VT and FF", {"a\rb\nc\vd\fe"}, {"a", "b", "c", "d", "e"}},
      {"CR LF gives an empty line", {"a\r\nb"}, {"a", "", "b"}},
      {"NEL, LINE and PARAGRAPH SEPARATOR",
       {"a\xC2\x85"
        "b\xE2\x80\xA8"
        "c\xE2\x80\xA9"
        "d"},
       {"a", "b", "c", "d"}},
      {"a LINE SEPARATOR split over reads",
       {"a\xE2", "\x80",
        "\xA8"
        "b"},
       {"a", "b"}},
      {"a NEL split over reads",
       {"a\xC2",
        "\x85"
        "b"},
       {"a", "b"}},
      {"E2 80 not followed by A8 or A9 is text",
       {"a\xE2\x80\xA6"
        "b\n"},
       {"a\xE2\x80\xA6"
        "b"}},
      {"a line of exactly the limit", {big + "\n"}, {big}},
      {"a line over the limit in one read", {tooBig + "\nnext\n"}, {"<overlong>", "next"}},
      {"a line over the limit over many reads",
       {tooBig.substr(0, 600000), tooBig.substr(600000), "\n", "next\n"},
       {"<overlong>", "next"}},
      {"an overlong line ending with a split separator",
       {tooBig, "\xE2\x80",
        "\xA9"
        "next"},
       {"<overlong>", "next"}},
      {"an overlong last line without newline", {tooBig}, {"<overlong>"}},
      {"nothing", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(linesOf(c.reads), c.lines);
  }
}

TEST(QVOutputLineBufferTest, AnOverlongLineKeepsNoMoreThanTheLimit) {
  // Megabytes without a newline: what is held stays within the limit.
  std::vector<std::string> reads(64, std::string(64 * 1024, 'z'));
  reads.push_back("\nafter\n");
  std::size_t pending = 0;
  std::vector<std::string> firstReads(reads.begin(), reads.end() - 1);
  EXPECT_EQ(linesOf(firstReads, &pending), std::vector<std::string>{"<overlong>"});
  EXPECT_LE(pending, QVOutputLineBuffer::kMaximumLineLength);
  EXPECT_EQ(linesOf(reads), (std::vector<std::string>{"<overlong>", "after"}));
}

TEST(QVOutputLineBufferTest, UnfinishedUTF8Length) {
  struct Case {
    std::string text;
    std::size_t unfinished;
  };
  const std::vector<Case> cases = {
      {"", 0},
      {"abc", 0},
      {"caf\xC3", 1},
      {"caf\xC3\xA9", 0},
      {"\xE2\x82", 2},
      {"\xE2\x82\xAC", 0},
      {"\xF0\x9F\x98", 3},
      {"\xF0\x9F\x98\x80", 0},
      // Bytes that start no character are not waited for.
      {"\x80\x80\x80\x80", 0},
      {"a\xFF", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(QVUnfinishedUTF8Length(c.text), c.unfinished);
  }
}

}  // namespace
