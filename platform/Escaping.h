#pragma once

#include <string>
#include <string_view>

// Escaping of text for the places it is written into.

namespace platform {

// ---- HTML ----

// Which quotation marks HTML escaping replaces besides & < and >.
enum class HtmlQuotes {
  // " and ' (as &quot; and &#39;): safe in text and in attribute values with either delimiter.
  doubleAndSingle,
  // " only: for text and for attribute values delimited with ".
  doubleOnly,
};

// Appends the text with & < > and the chosen quotation marks replaced by character references. Every
// other byte, UTF-8 sequences included, is appended as it is.
void appendEscapedHTML(std::string& out, std::string_view text,
                       HtmlQuotes quotes = HtmlQuotes::doubleAndSingle);

// The text escaped as appendEscapedHTML does.
std::string escapedHTML(std::string_view text, HtmlQuotes quotes = HtmlQuotes::doubleAndSingle);

// ---- Percent-encoding (RFC 3986) ----

// The bytes of the text with every byte percent-encoded ("%2F", upper-case hexadecimal) except the
// unreserved ASCII characters (letters, digits and "-._~") and the ASCII characters in `alsoKept`.
// Bytes from 0x80 up, and so every byte of a UTF-8 sequence, are always encoded.
std::string percentEscaped(std::string_view text, std::string_view alsoKept = {});

// ---- Hexadecimal digits ----

// The value of an ASCII hexadecimal digit (either case), or -1 for any other character.
constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace platform
