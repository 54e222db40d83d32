#include "testing/TreePaths.h"

#include <deque>
#include <mutex>
#include <string>

namespace qvtesting {
namespace {

// Each joined path is kept for the life of the program, so that callers may hold the pointer.
const char* keep(const char* root, const char* relative) {
  static std::mutex mutex;
  static std::deque<std::string> paths;
  std::lock_guard lock(mutex);
  return paths.emplace_back(std::string(root) + "/" + relative).c_str();
}

}  // namespace

const char* sourceTreePath(const char* relative) { return keep(QV_SOURCE_ROOT, relative); }
const char* buildTreePath(const char* relative) { return keep(QV_BINARY_ROOT, relative); }

}  // namespace qvtesting
