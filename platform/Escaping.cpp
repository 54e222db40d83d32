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

std::string percentEscaped(std::string_view text, std::string_view alsoKept) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~' ||
                      (c < 0x80 && alsoKept.find(ch) != std::string_view::npos);
    if (keep) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

}  // namespace platform
