#include "platform/ProcessTable.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace platform::processes {

namespace {

std::optional<ProcessInfo> readStat(const char* path, pid_t pid) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[512];
  ssize_t count = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (count <= 0) return std::nullopt;
  buffer[count] = '\0';
  // "pid (name) state ppid pgrp ...": the name may hold anything, so read after its last ')'.
  const char* close = std::strrchr(buffer, ')');
  if (!close) return std::nullopt;
  ProcessInfo info;
  info.pid = pid;
  int parent = 0;
  int group = 0;
  if (std::sscanf(close + 1, " %c %d %d", &info.state, &parent, &group) != 3) return std::nullopt;
  info.parent = parent;
  info.group = group;
  return info;
}

}  // namespace

std::optional<ProcessInfo> processInfo(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  return readStat(path.c_str(), pid);
}

std::vector<ProcessInfo> allProcesses() {
  std::vector<ProcessInfo> table;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto info = readStat((it->path() / "stat").c_str(), static_cast<pid_t>(std::stol(name)))) {
      table.push_back(*info);
    }
  }
  return table;
}

std::size_t zombieChildren(pid_t parent) {
  std::size_t zombies = 0;
  for (const auto& info : allProcesses()) {
    if (info.state == 'Z' && info.parent == parent) ++zombies;
  }
  return zombies;
}

}  // namespace platform::processes
