#include "windows/QVRTFConverter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Escaping.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Lengths past these are read as far as the syntax goes but not kept.
constexpr std::size_t kMaximumWordLetters = 32;
constexpr std::size_t kMaximumParameterDigits = 10;
constexpr std::size_t kMaximumColorEntries = 1024;
constexpr std::size_t kMaximumInstructionBytes = 4096;
constexpr std::size_t kMaximumURLBytes = 2048;
constexpr int kMaximumOpenLinks = 8;

// Windows-1252 for the bytes 0x80 to 0x9F (the rest of the code page is Latin-1).
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

char32_t fromWindows1252(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kWindows1252High[byte - 0x80];
  return byte;
}

void appendUTF8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct CharFormat {
  bool bold = false;
  bool italic = false;
  bool underline = false;
  int halfPoints = 0;  // 0: the view's own size
  int color = 0;       // an index into the colour table; 0 is the automatic colour
  bool operator==(const CharFormat&) const = default;
  bool isPlain() const { return *this == CharFormat(); }
};

enum class Destination { text, skip, colorTable, fieldInstruction };

struct Group {
  CharFormat format;
  Destination destination = Destination::text;
  int unicodeSkip = 1;
  bool ignorable = false;  // opened with \*: skipped unless it is a field instruction
  bool sawFirstWord = false;
  bool opensField = false;
  bool opensLink = false;
};

struct Color {
  int red = -1, green = -1, blue = -1;
};

class Converter {
 public:
  explicit Converter(std::string_view input) : in_(input) { groups_.push_back(Group()); }

  std::string run() {
    html_ = "<html><body>";
    while (pos_ < in_.size() && html_.size() < QVRTFConverter::kMaximumOutputBytes) step();
    closeSpan();
    while (openLinks_ > 0) closeLink();
    if (paragraphOpen_) html_ += "</p>";
    html_ += "</body></html>";
    return std::move(html_);
  }

 private:
  Group& top() { return groups_.back(); }

  void step() {
    const char c = in_[pos_];
    if (c == '{') {
      ++pos_;
      openGroup();
    } else if (c == '}') {
      ++pos_;
      closeGroup();
    } else if (c == '\\') {
      ++pos_;
      controlSequence();
    } else if (c == '\r' || c == '\n' || (static_cast<unsigned char>(c) < 0x20 && c != '\t')) {
      ++pos_;  // line ends are not text; other control bytes show nothing
    } else {
      ++pos_;
      if (consumeFallback()) return;
      flushSurrogate();
      text(fromWindows1252(static_cast<unsigned char>(c)));
    }
  }

  void openGroup() {
    skipCount_ = 0;
    flushSurrogate();
    if (groups_.size() >= QVRTFConverter::kMaximumDepth) {
      ++overflow_;
      return;
    }
    Group inner = top();
    inner.ignorable = false;
    inner.sawFirstWord = false;
    inner.opensField = false;
    inner.opensLink = false;
    groups_.push_back(inner);
  }

  void closeGroup() {
    skipCount_ = 0;
    flushSurrogate();
    if (overflow_ > 0) {
      --overflow_;
      return;
    }
    if (groups_.size() <= 1) return;  // a stray brace: the document's outer state stays
    const Group closing = groups_.back();
    groups_.pop_back();
    if (closing.opensLink) closeLink();
    if (closing.opensField && !fields_.empty()) fields_.pop_back();
  }

  // After "\": a control word with its parameter, or a control symbol.
  void controlSequence() {
    if (pos_ >= in_.size()) return;
    const char c = in_[pos_];
    if (!isLetter(c)) {
      ++pos_;
      controlSymbol(c);
      return;
    }
    std::string word;
    while (pos_ < in_.size() && isLetter(in_[pos_])) {
      if (word.size() < kMaximumWordLetters) word += in_[pos_];
      ++pos_;
    }
    std::optional<std::int64_t> parameter;
    bool negative = false;
    if (pos_ < in_.size() && in_[pos_] == '-' && pos_ + 1 < in_.size() && isDigit(in_[pos_ + 1])) {
      negative = true;
      ++pos_;
    }
    if (pos_ < in_.size() && isDigit(in_[pos_])) {
      std::int64_t value = 0;
      std::size_t digits = 0;
      while (pos_ < in_.size() && isDigit(in_[pos_])) {
        if (digits++ < kMaximumParameterDigits) value = value * 10 + (in_[pos_] - '0');
        ++pos_;
      }
      parameter = negative ? -value : value;
    }
    if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;  // the delimiter belongs to the word
    controlWord(word, parameter);
  }

  void controlSymbol(char c) {
    if (c == '\'') {
      int value = 0;
      for (int k = 0; k < 2; ++k) {
        if (pos_ >= in_.size()) return;
        const int digit = platform::hexDigitValue(in_[pos_]);
        if (digit < 0) break;
        value = value * 16 + digit;
        ++pos_;
      }
      if (consumeFallback()) return;
      flushSurrogate();
      text(fromWindows1252(static_cast<unsigned char>(value)));
      return;
    }
    if (consumeFallback()) return;
    flushSurrogate();
    switch (c) {
      case '\\':
      case '{':
      case '}':
        text(static_cast<unsigned char>(c));
        break;
      case '~':
        text(0x00A0);
        break;
      case '_':
        text(0x2011);
        break;
      case '-':
        break;  // an optional hyphen
      case '\r':
      case '\n':
        paragraph();
        break;
      case '*':
        if (!top().sawFirstWord) top().ignorable = true;
        break;
      default:
        break;
    }
  }

  void controlWord(const std::string& word, std::optional<std::int64_t> parameter) {
    Group& group = top();
    const bool first = !group.sawFirstWord;
    group.sawFirstWord = true;
    if (word == "bin") {
      // Binary data: skipped whatever the destination, never past the end.
      const std::int64_t length = std::max<std::int64_t>(0, parameter.value_or(0));
      pos_ += static_cast<std::size_t>(
          std::min<std::int64_t>(length, static_cast<std::int64_t>(in_.size() - pos_)));
      return;
    }
    if (first && group.ignorable && word != "fldinst") {
      group.destination = Destination::skip;
      return;
    }
    if (isSkippedDestination(word)) {
      group.destination = Destination::skip;
      return;
    }
    if (group.destination == Destination::skip) return;
    if (word == "colortbl") {
      group.destination = Destination::colorTable;
      colors_.clear();
      pending_ = Color();
      return;
    }
    if (group.destination == Destination::colorTable) {
      const int value = static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(0), 0, 255));
      if (word == "red") pending_.red = value;
      if (word == "green") pending_.green = value;
      if (word == "blue") pending_.blue = value;
      return;
    }
    if (word == "field") {
      if (fields_.size() < QVRTFConverter::kMaximumDepth) {
        fields_.emplace_back();
        group.opensField = true;
      }
      return;
    }
    if (word == "fldinst") {
      group.destination = Destination::fieldInstruction;
      return;
    }
    if (word == "fldrslt") {
      // One link per result group, and only a few open at once: results nested in results add none.
      if (!group.opensLink && openLinks_ < kMaximumOpenLinks && !fields_.empty() && !fields_.back().empty()) {
        if (auto url = hyperlinkTarget(fields_.back())) {
          openLink(*url);
          group.opensLink = true;
        }
      }
      return;
    }
    if (word == "u") {
      if (!parameter) return;
      std::int64_t value = *parameter;
      if (value < 0) value += 65536;
      if (value < 0 || value > 0xFFFF) value = kReplacement;
      unicode(static_cast<char32_t>(value));
      skipCount_ = group.unicodeSkip;
      return;
    }
    if (consumeFallback()) return;
    flushSurrogate();
    if (word == "uc") {
      group.unicodeSkip = static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(1), 0, 10));
    } else if (word == "par" || word == "sect" || word == "page") {
      paragraph();
    } else if (word == "line") {
      lineBreak();
    } else if (word == "tab") {
      text(0x2003);
    } else if (word == "b") {
      group.format.bold = parameter.value_or(1) != 0;
    } else if (word == "i") {
      group.format.italic = parameter.value_or(1) != 0;
    } else if (word == "ul") {
      group.format.underline = parameter.value_or(1) != 0;
    } else if (word == "ulnone") {
      group.format.underline = false;
    } else if (word == "plain") {
      group.format = CharFormat();
    } else if (word == "fs") {
      group.format.halfPoints = static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(24), 0, 2000));
    } else if (word == "cf") {
      group.format.color = static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(0), 0, 1 << 20));
    } else if (word == "emdash") {
      text(0x2014);
    } else if (word == "endash") {
      text(0x2013);
    } else if (word == "bullet") {
      text(0x2022);
    } else if (word == "lquote") {
      text(0x2018);
    } else if (word == "rquote") {
      text(0x2019);
    } else if (word == "ldblquote") {
      text(0x201C);
    } else if (word == "rdblquote") {
      text(0x201D);
    } else if (word == "emspace" || word == "enspace") {
      text(0x00A0);
    }
    // Any other word (fonts, paragraph settings, unknown ones) changes nothing shown.
  }

  static bool isSkippedDestination(const std::string& word) {
    static const std::array<std::string_view, 27> kSkipped = {
        "fonttbl",   "stylesheet",      "info",      "pict",      "object",
        "header",    "footer",          "headerl",   "headerr",   "headerf",
        "footerl",   "footerr",         "footerf",   "listtable", "listoverridetable",
        "revtbl",    "rsidtbl",         "generator", "themedata", "colorschememapping",
        "datastore", "latentstyles",    "xmlnstbl",  "filetbl",   "NeXTGraphic",
        "footnote",  "expandedcolortbl"};
    return std::find(kSkipped.begin(), kSkipped.end(), word) != kSkipped.end();
  }

  // A character of the fallback text after \uN is dropped (the Unicode character replaced it).
  bool consumeFallback() {
    if (skipCount_ <= 0) return false;
    --skipCount_;
    return true;
  }

  void unicode(char32_t c) {
    if (c >= 0xD800 && c <= 0xDBFF) {
      flushSurrogate();
      highSurrogate_ = c;
      return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
      if (highSurrogate_) {
        const char32_t combined = 0x10000 + ((*highSurrogate_ - 0xD800) << 10) + (c - 0xDC00);
        highSurrogate_.reset();
        text(combined);
      } else {
        text(kReplacement);
      }
      return;
    }
    flushSurrogate();
    text(c);
  }

  // A high surrogate that no low one followed is shown as the replacement character.
  void flushSurrogate() {
    if (!highSurrogate_) return;
    highSurrogate_.reset();
    text(kReplacement);
  }

  void text(char32_t c) {
    Group& group = top();
    switch (group.destination) {
      case Destination::skip:
        return;
      case Destination::colorTable:
        if (c == ';') {
          if (colors_.size() < kMaximumColorEntries) colors_.push_back(pending_);
          pending_ = Color();
        }
        return;
      case Destination::fieldInstruction:
        if (!fields_.empty() && fields_.back().size() < kMaximumInstructionBytes)
          appendUTF8(fields_.back(), c);
        return;
      case Destination::text:
        break;
    }
    ensureParagraph();
    // Formats are compared by the style they write: a colour outside the table writes none.
    if (!spanOpen_ || spanFormat_ != group.format) {
      std::string style = styleFor(group.format);
      if (spanOpen_ && style != spanStyle_) closeSpan();
      if (!spanOpen_ && !style.empty()) openSpan(group.format, std::move(style));
      spanFormat_ = group.format;
    }
    std::string encoded;
    appendUTF8(encoded, c);
    platform::appendEscapedHTML(html_, encoded, platform::HtmlQuotes::doubleOnly);
    paragraphEmpty_ = false;
  }

  void ensureParagraph() {
    if (paragraphOpen_) return;
    html_ += "<p style=\"margin:0\">";
    paragraphOpen_ = true;
    paragraphEmpty_ = true;
  }

  void paragraph() {
    if (top().destination != Destination::text) return;
    ensureParagraph();
    closeSpan();
    // An empty paragraph is a blank line.
    if (paragraphEmpty_) html_ += "&nbsp;";
    html_ += "</p>";
    paragraphOpen_ = false;
  }

  void lineBreak() {
    if (top().destination != Destination::text) return;
    ensureParagraph();
    closeSpan();
    html_ += "<br>";
    paragraphEmpty_ = false;
  }

  std::string styleFor(const CharFormat& format) const {
    std::string style;
    if (format.bold) style += "font-weight:bold;";
    if (format.italic) style += "font-style:italic;";
    if (format.underline) style += "text-decoration:underline;";
    if (format.halfPoints > 0) {
      style += "font-size:" + std::to_string(format.halfPoints / 2);
      if (format.halfPoints % 2) style += ".5";
      style += "pt;";
    }
    if (format.color > 0 && static_cast<std::size_t>(format.color) < colors_.size()) {
      const Color& color = colors_[format.color];
      if (color.red >= 0 || color.green >= 0 || color.blue >= 0) {
        static const char* kHex = "0123456789abcdef";
        style += "color:#";
        for (int component : {color.red, color.green, color.blue}) {
          component = std::max(component, 0);
          style += kHex[component >> 4];
          style += kHex[component & 15];
        }
        style += ';';
      }
    }
    return style;
  }

  void openSpan(const CharFormat& format, std::string style) {
    html_ += "<span style=\"" + style + "\">";
    spanOpen_ = true;
    spanFormat_ = format;
    spanStyle_ = std::move(style);
    paragraphEmpty_ = false;
  }

  void closeSpan() {
    if (!spanOpen_) return;
    html_ += "</span>";
    spanOpen_ = false;
  }

  void openLink(const std::string& url) {
    ensureParagraph();
    closeSpan();
    html_ += "<a href=\"";
    platform::appendEscapedHTML(html_, url, platform::HtmlQuotes::doubleOnly);
    html_ += "\">";
    ++openLinks_;
    paragraphEmpty_ = false;
  }

  void closeLink() {
    if (openLinks_ == 0) return;
    closeSpan();
    html_ += "</a>";
    --openLinks_;
  }

  // The target of a field instruction such as `HYPERLINK "https://example.org"`; none for other fields.
  static std::optional<std::string> hyperlinkTarget(const std::string& instruction) {
    const auto at = instruction.find("HYPERLINK");
    if (at == std::string::npos) return std::nullopt;
    std::size_t i = at + 9;
    while (i < instruction.size() && (instruction[i] == ' ' || instruction[i] == '\t')) ++i;
    std::string url;
    if (i < instruction.size() && instruction[i] == '"') {
      const auto end = instruction.find('"', i + 1);
      url = instruction.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    } else {
      while (i < instruction.size() && instruction[i] != ' ') url += instruction[i++];
    }
    if (url.empty() || url.size() > kMaximumURLBytes) return std::nullopt;
    return url;
  }

  static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::vector<Group> groups_;
  std::size_t overflow_ = 0;
  std::vector<Color> colors_;
  Color pending_;
  std::vector<std::string> fields_;  // the instruction text of each open field
  int skipCount_ = 0;
  std::optional<char32_t> highSurrogate_;

  std::string html_;
  bool paragraphOpen_ = false;
  bool paragraphEmpty_ = true;
  bool spanOpen_ = false;
  CharFormat spanFormat_;
  std::string spanStyle_;
  int openLinks_ = 0;
};

}  // namespace

std::string QVRTFConverter::htmlFromRTF(std::string_view rtf) { return Converter(rtf).run(); }
