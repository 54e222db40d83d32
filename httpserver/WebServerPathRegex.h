#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A case-insensitive regular expression over request paths, as the regex handlers use it.
class WebServerPathRegex {
 public:
  // nullptr when the pattern does not compile.
  static std::shared_ptr<const WebServerPathRegex> regexWithPattern(const std::string& pattern);
  ~WebServerPathRegex();

  // nullopt when the expression finds no match in the path; otherwise the text of every capture
  // group that took part, match after match, group after group.
  std::optional<std::vector<std::string>> capturesInPath(const std::string& path) const;

 private:
  struct Expression;
  explicit WebServerPathRegex(std::unique_ptr<Expression> expression);
  std::unique_ptr<Expression> expression_;
};
