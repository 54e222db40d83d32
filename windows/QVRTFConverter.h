#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Turns a README written as rich text (RTF) into a small HTML document that a text browser shows:
// paragraphs and line breaks, bold, italic, underline, font sizes, colours from the colour table,
// HYPERLINK fields as links, the escapes (\\ \{ \} \~ \'hh \uN with \ucN) and the common named
// characters. Everything else (fonts, style sheets, pictures, document information, unknown control
// words) is skipped. No Qt: the converter reads outside data and has a fuzz target of its own.
//
// Bad input converts what it can: a truncated file closes what is open, groups nested deeper than
// kMaximumDepth share the innermost kept state, a \bin length never reads past the end, and the work
// is one pass over the input with output bounded by kMaximumOutputBytes.
class QVRTFConverter {
 public:
  static constexpr std::size_t kMaximumDepth = 200;
  static constexpr std::size_t kMaximumOutputBytes = 64u << 20;

  // The HTML body of the document (a complete "<html><body>...</body></html>" text, UTF-8).
  static std::string htmlFromRTF(std::string_view rtf);
};
