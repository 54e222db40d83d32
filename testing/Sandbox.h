#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/AsioMainQueue.h"

namespace qvtesting {

// Points the XDG folders and TMPDIR at a fresh temporary folder for the length of one test and
// installs a fresh main queue, so tests never touch the user's files or share state.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the main queue until the predicate holds or the timeout passes; answers the predicate.
  bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds = 10.0);
  // Runs the main queue for the given time.
  void runFor(double seconds);

  const std::filesystem::path& root() const { return root_; }
  platform::AsioMainQueue& mainQueue() { return *mainQueue_; }

  // A file in the sandbox (parents created), holding `content`.
  std::filesystem::path writeFile(const std::filesystem::path& relative, const std::string& content);

 private:
  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> savedEnvironment_;
  std::shared_ptr<platform::AsioMainQueue> mainQueue_;
};

// Runs the installed main queue (an AsioMainQueue) until the predicate holds or the timeout passes.
bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds = 10.0);

// Captures platform log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(const std::string& text) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qvtesting
