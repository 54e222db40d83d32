#include "CRCrashProcessInfo.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "crcrash_async.h"

namespace {

std::mutex g_root_mutex;
std::string g_proc_root = "/proc";

std::string proc_root() {
  std::lock_guard lock(g_root_mutex);
  return g_proc_root;
}

bool read_all(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// Boot time in seconds since 1970, from the "btime" line of /proc/stat.
std::int64_t boot_time(const std::string& root) {
  std::ifstream in(root + "/stat");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("btime ", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace

void CRCrashProcessInfo::setProcRoot(const std::string& root) {
  std::lock_guard lock(g_root_mutex);
  g_proc_root = root;
}

std::shared_ptr<const CRCrashProcessInfo> CRCrashProcessInfo::initWithProcessID(pid_t pid) {
  const std::string root = proc_root();
  const std::string base = root + "/" + std::to_string(pid);
  std::string stat;
  if (!read_all(base + "/stat", stat)) {
    int error = errno;
    if (error != ENOENT)
      CRCRASH_DEBUG("Unexpected sysctl error %d: %s", error, crcrash_async_errno_text(error));
    errno = error;
    return nullptr;
  }
  // "pid (comm) state ppid ... starttime(22nd)": the name may hold spaces and parentheses, so it runs to
  // the last ")".
  std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    CRCRASH_DEBUG("Unexpected sysctl error %d: %s", EINVAL, crcrash_async_errno_text(EINVAL));
    errno = EINVAL;
    return nullptr;
  }
  auto info = std::make_shared<CRCrashProcessInfo>();
  info->processID_ = pid;
  std::string comm = stat.substr(open + 1, close - open - 1);
  if (comm.size() > 16) comm.resize(16);
  if (!comm.empty() && crcrash_utf8_valid_prefix(reinterpret_cast<const std::uint8_t*>(comm.data()),
                                                 comm.size()) == comm.size()) {
    info->processName_ = comm;
  } else {
    CRCRASH_DEBUG("Failed to decode p_comm for pid=%jd as UTF-8!", static_cast<intmax_t>(pid));
  }
  std::istringstream rest(stat.substr(close + 1));
  std::vector<std::string> fields;
  std::string field;
  while (rest >> field) fields.push_back(field);
  // fields[0] is the state (3rd field of the line); ppid is the 4th, starttime the 22nd.
  if (fields.size() > 19) {
    info->parentProcessID_ = static_cast<pid_t>(std::strtol(fields[1].c_str(), nullptr, 10));
    long ticks_per_second = sysconf(_SC_CLK_TCK);
    unsigned long long ticks = std::strtoull(fields[19].c_str(), nullptr, 10);
    if (ticks_per_second > 0) {
      info->startTime_.tv_sec = boot_time(root) + static_cast<std::int64_t>(ticks / ticks_per_second);
      info->startTime_.tv_usec = static_cast<std::int32_t>((ticks % ticks_per_second) * 1'000'000 /
                                                           static_cast<unsigned long long>(ticks_per_second));
    }
  }
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) {
      info->traced_ = std::strtol(line.c_str() + 10, nullptr, 10) != 0;
      break;
    }
  }
  return info;
}

std::shared_ptr<const CRCrashProcessInfo> CRCrashProcessInfo::currentProcessInfo() {
  return initWithProcessID(getpid());
}

CRCrashHostInfoVersion CRCrashHostInfo::parseRelease(const std::string& release) {
  CRCrashHostInfoVersion version;
  std::uint64_t* parts[] = {&version.major, &version.minor, &version.revision};
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at >= release.size() || release[at] != '.') {
        CRCRASH_DEBUG("Unexpected kern.osrelease string format: %s", release.c_str());
        return version;
      }
      ++at;
    }
    std::size_t start = at;
    while (at < release.size() && release[at] >= '0' && release[at] <= '9') {
      *parts[i] = *parts[i] * 10 + static_cast<std::uint64_t>(release[at] - '0');
      ++at;
    }
    if (at == start) {
      CRCRASH_DEBUG("Unexpected kern.osrelease string format: %s", release.c_str());
      return version;
    }
  }
  return version;
}

std::shared_ptr<const CRCrashHostInfo> CRCrashHostInfo::currentHostInfo() {
  char* release = crcrash_sysctl_string("kern.osrelease");
  if (release == nullptr) {
    int error = errno;
    CRCRASH_DEBUG("Failed to fetch kern.osrelease value %d: %s", error, crcrash_async_errno_text(error));
    return nullptr;
  }
  auto info = std::make_shared<CRCrashHostInfo>();
  info->version_ = parseRelease(release);
  std::free(release);
  return info;
}
