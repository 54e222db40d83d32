#include "testing/TreePaths.h"

#include <map>
#include <mutex>
#include <string>

namespace qvtesting {
namespace {

// Each joined path is made once and kept for the life of the program, so that callers may hold the
// pointer however often they ask.
const char* keep(const char* root, const char* relative) {
  static std::mutex mutex;
  static std::map<std::string, std::string> paths;
  std::string path = std::string(root) + "/" + relative;
  std::lock_guard lock(mutex);
  return paths.try_emplace(path, path).first->second.c_str();
}

}  // namespace

const char* sourceTreePath(const char* relative) { return keep(QV_SOURCE_ROOT, relative); }
const char* buildTreePath(const char* relative) { return keep(QV_BINARY_ROOT, relative); }

}  // namespace qvtesting
