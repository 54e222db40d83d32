#include "httpserver/WebServerRequestMessage.h"

namespace {

// RFC 9110 token characters.
bool isTokenCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isTokenCharacter(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Field values: visible characters, spaces, tabs and bytes of other encodings; no control characters.
bool isFieldValue(std::string_view text) {
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  return true;
}

bool isTarget(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string_view trimmedMessageText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "HTTP/1.1" → (1, 1).
bool parseVersion(std::string_view text, int* major, int* minor) {
  if (text.size() != 8 || !text.starts_with("HTTP/") || text[6] != '.') return false;
  char a = text[5];
  char b = text[7];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  *major = a - '0';
  *minor = b - '0';
  return true;
}

}  // namespace

WebServerRequestMessage::Status WebServerRequestMessage::parse(std::string_view head,
                                                               WebServerRequestMessage* message) {
  *message = WebServerRequestMessage();
  std::size_t pos = 0;
  // Reads the next line without its CR LF; false when no complete line is left.
  auto nextLine = [&](std::string_view* line) {
    std::size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos) return false;
    *line = head.substr(pos, end - pos);
    pos = end + 2;
    return true;
  };

  std::string_view line;
  do {
    if (!nextLine(&line)) return Status::Malformed;
  } while (line.empty());

  std::size_t firstSpace = line.find(' ');
  if (firstSpace == std::string_view::npos) return Status::Malformed;
  std::size_t secondSpace = line.find(' ', firstSpace + 1);
  if (secondSpace == std::string_view::npos) return Status::Malformed;
  std::string_view method = line.substr(0, firstSpace);
  std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  std::string_view version = line.substr(secondSpace + 1);
  if (!isToken(method) || !parseVersion(version, &message->versionMajor_, &message->versionMinor_)) {
    return Status::Malformed;
  }
  if (target.size() > kMaximumTargetLength) return Status::URITooLong;
  if (!isTarget(target)) return Status::Malformed;
  if (message->versionMajor_ != 1) return Status::VersionNotSupported;
  message->method_ = std::string(method);
  message->target_ = std::string(target);

  std::size_t count = 0;
  while (true) {
    if (!nextLine(&line)) return Status::Malformed;
    if (line.empty()) break;
    if (++count > kMaximumHeaderCount) return Status::HeaderFieldsTooLarge;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Status::Malformed;
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimmedMessageText(line.substr(colon + 1));
    if (!isToken(name) || !isFieldValue(value)) return Status::Malformed;
    auto [it, inserted] = message->headers_.try_emplace(std::string(name), std::string(value));
    if (!inserted) {
      it->second += ", ";
      it->second += value;
    }
  }
  if (pos != head.size()) return Status::Malformed;
  return Status::OK;
}
