#include <sys/stat.h>

#include <algorithm>

#include "engine/NSString+NextAvailable.h"

namespace {

// Path text without trailing slashes (the root stays "/").
std::string standardized(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string lastPathComponent(const std::string& path) {
  if (path == "/") return path;
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  if (path == "/") return path;
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  std::string parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return parent.empty() ? "/" : parent;
}

std::string appendingPathComponent(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Anything at the path, followed or not: lstat finds dangling links too. A path that cannot be
// examined (no permission on a parent) counts as free, as it would to the caller's own check.
bool occupied(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (!path.empty() && path.front() == '/') components.emplace_back("/");
  std::size_t start = 0;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) components.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return components;
}

}  // namespace

std::string zk_nextAvailablePath(const std::string& path) {
  if (!occupied(path)) return path;
  std::string trimmed = standardized(path);
  std::string folder = deletingLastPathComponent(trimmed);
  std::string name = lastPathComponent(trimmed);
  std::string extension;
  std::string base = name;
  // A leading point names a hidden file, not an extension.
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    extension = name.substr(dot + 1);
    base = name.substr(0, dot);
  }
  for (long n = 2;; ++n) {
    std::string candidate = appendingPathComponent(folder, base + " " + std::to_string(n) + "." + extension);
    if (!occupied(candidate)) return candidate;
  }
}

std::optional<std::string> zk_commonAncestorWithPaths(const std::vector<std::string>& paths) {
  if (paths.empty()) return std::nullopt;
  if (paths.size() == 1) return deletingLastPathComponent(standardized(paths.front()));
  std::vector<std::string> common = pathComponents(paths.front());
  for (std::size_t i = 1; i < paths.size(); ++i) {
    std::vector<std::string> components = pathComponents(paths[i]);
    std::size_t shared = 0;
    std::size_t limit = std::min(common.size(), components.size());
    while (shared < limit && common[shared] == components[shared]) ++shared;
    common.resize(shared);
    if (common.empty()) return std::nullopt;
  }
  std::size_t first = common.front() == "/" ? 1 : 0;
  std::string joined;
  for (std::size_t i = first; i < common.size(); ++i) {
    if (i > first) joined += "/";
    joined += common[i];
  }
  if (joined.empty() || joined.front() != '/') joined.insert(joined.begin(), '/');
  return joined;
}
