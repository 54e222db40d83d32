// The diagnostic log: every plain line reaches standard error; debug lines only when debug logging is
// on (the environment variable QV_DEBUG_LOG or setDebugLogging), while the sink sees both.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "testing/Sandbox.h"

extern char** environ;

namespace {

constexpr const char* kChildVariable = "QV_LOG_TEST_CHILD";

// Runs LogChild.DISABLED_WritesADebugAndAPlainLine in a fresh process of this test program, with
// QV_DEBUG_LOG set to `value` (left out when null); what the child wrote to standard error.
std::string childStandardError(const char* value) {
  const std::string program = platform::Bundle::executablePath().string();
  std::vector<std::string> arguments{program, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=LogChild.DISABLED_WritesADebugAndAPlainLine"};
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    const std::string text = *variable;
    if (text.rfind("QV_DEBUG_LOG=", 0) == 0) continue;
    environment.push_back(text);
  }
  environment.push_back(std::string(kChildVariable) + "=1");
  if (value) environment.push_back(std::string("QV_DEBUG_LOG=") + value);
  std::vector<char*> argv, envp;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) output += "\n(the child failed)";
  return output;
}

}  // namespace

TEST(LogChild, DISABLED_WritesADebugAndAPlainLine) {
  if (!std::getenv(kChildVariable))
    GTEST_SKIP() << "runs in a child of LogTest.DebugLinesFollowTheEnvironment";
  platform::logDebug("debug detail {}", 7);
  platform::log("plain line {}", 8);
}

TEST(LogTest, DebugLinesFollowTheEnvironment) {
  struct Case {
    const char* value;
    bool shown;
  };
  const std::vector<Case> cases{{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(not set)");
    const std::string output = childStandardError(c.value);
    EXPECT_EQ(output.find("(the child failed)"), std::string::npos) << output;
    EXPECT_NE(output.find("plain line 8"), std::string::npos) << output;
    EXPECT_EQ(output.find("debug detail 7") != std::string::npos, c.shown) << output;
  }
}

TEST(LogTest, SetDebugLoggingDecidesAndTheSinkSeesEveryLine) {
  const bool before = platform::debugLogging();
  for (bool on : {false, true}) {
    SCOPED_TRACE(on);
    platform::setDebugLogging(on);
    qvtesting::LogCapture capture;
    testing::internal::CaptureStderr();
    platform::logDebug("detail {}", on);
    platform::log("line {}", on);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written.find(fmt::format("detail {}", on)) != std::string::npos, on) << written;
    EXPECT_NE(written.find(fmt::format("line {}", on)), std::string::npos) << written;
    EXPECT_TRUE(capture.contains(fmt::format("detail {}", on)));
    EXPECT_TRUE(capture.contains(fmt::format("line {}", on)));
  }
  platform::setDebugLogging(before);
}
