#include "platform/Escaping.h"

namespace platform {

void appendEscapedHTML(std::string& out, std::string_view text, HtmlQuotes quotes) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        if (quotes == HtmlQuotes::doubleAndSingle) {
          out += "&#39;";
        } else {
          out.push_back(c);
        }
        break;
      default:
        out.push_back(c);
    }
  }
}

std::string escapedHTML(std::string_view text, HtmlQuotes quotes) {
  std::string out;
  out.reserve(text.size());
  appendEscapedHTML(out, text, quotes);
  return out;
}

}  // namespace platform
