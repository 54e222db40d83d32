#include "app/QVRelaunch.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/Bundle.h"
#include "platform/Log.h"

extern char** environ;

namespace QVRelaunch {
namespace {

std::function<void()>& relaunchHandler() {
  static std::function<void()> handler;
  return handler;
}

void relaunchForReal() {
  const std::string executable = platform::Bundle::executablePath().string();
  std::vector<std::string> arguments = relaunchArguments(executable, getpid());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The new process leaves this one's process group, so that nothing sent to the group reaches it.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t child = 0;
  const int status = posix_spawn(&child, executable.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (status != 0) platform::log("Could not relaunch {}: {}", executable, std::strerror(status));
  _exit(0);
}

}  // namespace

void relaunch() {
  if (relaunchHandler()) {
    relaunchHandler()();
    return;
  }
  relaunchForReal();
}

void setHandler(std::function<void()> handler) { relaunchHandler() = std::move(handler); }

std::vector<std::string> relaunchArguments(const std::string& executable, pid_t pid) {
  return {executable, kWaitForPidArgument, std::to_string(pid)};
}

pid_t pidToWaitFor(int argc, const char* const* argv) {
  for (int index = 1; index + 1 < argc; ++index) {
    if (std::strcmp(argv[index], kWaitForPidArgument) != 0) continue;
    const char* text = argv[index + 1];
    const char* end = text + std::strlen(text);
    long value = 0;
    const auto [pointer, error] = std::from_chars(text, end, value);
    if (error != std::errc() || pointer != end || value <= 0 || value > INT32_MAX) return 0;
    return static_cast<pid_t>(value);
  }
  return 0;
}

bool waitForProcessToEnd(pid_t pid, double timeoutSeconds) {
  if (pid <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  // A pidfd turns readable when the process ends, whoever its parent is.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    if (errno == ESRCH) return true;
    // No pidfd (an old kernel): ask for the process until it is gone.
    while (kill(pid, 0) == 0 || errno == EPERM) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  bool ended = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready > 0) {
      ended = true;
      break;
    }
    if (ready == 0) break;
    if (errno != EINTR) break;
  }
  close(pidfd);
  return ended;
}

}  // namespace QVRelaunch
