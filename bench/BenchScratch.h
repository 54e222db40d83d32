#pragma once

// The folder a benchmark keeps its files in: never the user's own. While it lives, HOME, the XDG
// folders and TMPDIR point into a fresh folder below the temporary folder ($TMPDIR, else /tmp), and
// secrets go to a file there rather than to the user's keyring; the folder is removed when it goes
// (or by remove(), for a benchmark that ends with _Exit).
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/SecretStore.h"

namespace qvbench {

class ScratchHome {
 public:
  explicit ScratchHome(const std::string& name) {
    const char* temporary = std::getenv("TMPDIR");
    const std::filesystem::path base = temporary && *temporary ? temporary : "/tmp";
    std::string pattern = (base / ("qv-bench-" + name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
      std::perror(("cannot make a scratch folder in " + base.string()).c_str());
      std::exit(1);
    }
    root_ = pattern;
    for (const char* variable :
         {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
      const auto folder = root_ / variable;
      std::filesystem::create_directories(folder);
      ::setenv(variable, folder.c_str(), 1);
    }
    ::chmod((root_ / "XDG_RUNTIME_DIR").c_str(), 0700);
    // TMPDIR last: the folder above was made in the caller's.
    std::filesystem::create_directories(root_ / "TMPDIR");
    ::setenv("TMPDIR", (root_ / "TMPDIR").c_str(), 1);
    platform::SecretStore::setShared(platform::SecretStore::fileStore(root_ / "secrets" / "secrets.plist"));
  }
  ~ScratchHome() { remove(); }
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  const std::filesystem::path& root() const { return root_; }

  void remove() {
    if (root_.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(root_, error);
    root_.clear();
  }

 private:
  std::filesystem::path root_;
};

}  // namespace qvbench
