#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace platform::processes {

// One line of the kernel's process table.
struct ProcessInfo {
  pid_t pid = 0;
  char state = 0;  // 'R', 'S', 'Z' (ended, not reaped), ...
  pid_t parent = 0;
  pid_t group = 0;
};

// The process's entry, or nullopt when it does not exist (any more).
std::optional<ProcessInfo> processInfo(pid_t pid);
// Every process the kernel lists now; processes that end while the table is read are left out.
std::vector<ProcessInfo> allProcesses();
// Children of `parent` that have ended and were not reaped.
std::size_t zombieChildren(pid_t parent = ::getpid());

}  // namespace platform::processes
