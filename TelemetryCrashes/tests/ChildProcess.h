#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace crtesting {

struct ChildResult {
  int status = -1;     // as waitpid gives it
  std::string output;  // standard output and error
  bool signalled(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs this test program again as a child, only the given test, with extra environment variables;
// its output goes to a file in `folder`.
// `idle` runs while the child runs (the caller's main queue, for instance).
inline ChildResult runTestChild(const std::string& test,
                                const std::map<std::string, std::string>& environment,
                                const std::filesystem::path& folder,
                                const std::vector<std::string>& extra = {},
                                const std::function<void()>& idle = {}) {
  static int counter = 0;
  const std::filesystem::path outputPath = folder / ("child-" + std::to_string(++counter) + ".out");
  std::vector<std::string> args = {"/proc/self/exe", "--gtest_filter=" + test, "--gtest_catch_exceptions=0"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (environment.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
  }
  for (const auto& [key, value] : environment) env.push_back(key + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  ChildResult result;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return result;
  }
  posix_spawn_file_actions_destroy(&actions);
  for (;;) {
    const pid_t done = waitpid(pid, &result.status, idle ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (done == 0) idle();
  }
  std::ifstream in(outputPath);
  result.output.assign(std::istreambuf_iterator<char>(in), {});
  return result;
}

}  // namespace crtesting
