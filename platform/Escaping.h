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

}  // namespace platform
