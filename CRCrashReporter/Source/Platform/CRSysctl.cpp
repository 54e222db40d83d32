#include "CRSysctl.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

#include "CRMach.h"

namespace platform::crash {

namespace {

std::mutex g_roots_mutex;
std::string g_proc_root = "/proc";
std::string g_sys_root = "/sys";

std::pair<std::string, std::string> roots() {
  std::lock_guard lock(g_roots_mutex);
  return {g_proc_root, g_sys_root};
}

// The first line of a file, without its newline; false when the file cannot be read.
bool read_line(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, out);
  return !in.bad();
}

int physical_cores(const std::string& sys_root) {
  std::error_code ec;
  std::set<std::pair<std::string, std::string>> cores;
  std::filesystem::path cpus = std::filesystem::path(sys_root) / "devices/system/cpu";
  for (const auto& entry : std::filesystem::directory_iterator(cpus, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
      continue;
    }
    std::string package, core;
    if (read_line((entry.path() / "topology/physical_package_id").string(), package) &&
        read_line((entry.path() / "topology/core_id").string(), core)) {
      cores.emplace(package, core);
    }
  }
  return static_cast<int>(cores.size());
}

int answer_string(const std::string& text, void* value, std::size_t* size) {
  std::size_t needed = text.size() + 1;
  if (value == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(value, text.c_str(), needed);
  *size = needed;
  return 0;
}

int answer_int(int number, void* value, std::size_t* size) {
  if (value == nullptr) {
    *size = sizeof(int);
    return 0;
  }
  if (*size < sizeof(int)) {
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(value, &number, sizeof number);
  *size = sizeof(int);
  return 0;
}

}  // namespace

void set_sysctl_roots(const std::string& proc_root, const std::string& sys_root) {
  std::lock_guard lock(g_roots_mutex);
  g_proc_root = proc_root;
  g_sys_root = sys_root;
}

int sysctlbyname(const char* name, void* value, std::size_t* size) {
  if (name == nullptr || size == nullptr) {
    errno = EINVAL;
    return -1;
  }
  auto [proc_root, sys_root] = roots();
  std::string key = name;
  std::string text;
  if (key == "hw.model") {
    if (!read_line(sys_root + "/class/dmi/id/product_name", text) || text.empty()) {
      errno = ENOENT;
      return -1;
    }
    return answer_string(text, value, size);
  }
  if (key == "kern.osrelease" || key == "kern.osversion") {
    const char* file = key == "kern.osrelease" ? "/sys/kernel/osrelease" : "/sys/kernel/version";
    if (!read_line(proc_root + file, text)) {
      errno = ENOENT;
      return -1;
    }
    return answer_string(text, value, size);
  }
  if (key == "hw.cputype") return answer_int(CPU_TYPE_X86_64, value, size);
  if (key == "hw.cpusubtype") return answer_int(CPU_SUBTYPE_X86_64_ALL, value, size);
  if (key == "hw.logicalcpu_max") {
    long count = sysconf(_SC_NPROCESSORS_CONF);
    if (count < 1) {
      errno = ENOENT;
      return -1;
    }
    return answer_int(static_cast<int>(count), value, size);
  }
  if (key == "hw.physicalcpu_max") {
    int count = physical_cores(sys_root);
    if (count < 1) {
      errno = ENOENT;
      return -1;
    }
    return answer_int(count, value, size);
  }
  errno = ENOENT;
  return -1;
}

}  // namespace platform::crash
