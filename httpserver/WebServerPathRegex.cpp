#include "httpserver/WebServerPathRegex.h"

#include <regex>

struct WebServerPathRegex::Expression {
  std::regex regex;
};

WebServerPathRegex::WebServerPathRegex(std::unique_ptr<Expression> expression)
    : expression_(std::move(expression)) {}

WebServerPathRegex::~WebServerPathRegex() = default;

std::shared_ptr<const WebServerPathRegex> WebServerPathRegex::regexWithPattern(const std::string& pattern) {
  try {
    auto expression = std::make_unique<Expression>(
        Expression{std::regex(pattern, std::regex::ECMAScript | std::regex::icase)});
    return std::shared_ptr<const WebServerPathRegex>(new WebServerPathRegex(std::move(expression)));
  } catch (const std::regex_error&) {
    return nullptr;
  }
}

std::optional<std::vector<std::string>> WebServerPathRegex::capturesInPath(const std::string& path) const {
  std::vector<std::string> captures;
  bool matched = false;
  for (std::sregex_iterator it(path.begin(), path.end(), expression_->regex), end; it != end; ++it) {
    matched = true;
    for (std::size_t group = 1; group < it->size(); ++group) {
      if ((*it)[group].matched) captures.push_back((*it)[group].str());
    }
  }
  if (!matched) return std::nullopt;
  return captures;
}
