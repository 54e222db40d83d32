// Exports a folder to a backup archive the way the backup export does it, or imports one the way
// the backup import does it, and reports the peak memory. Run by bench/zip_backup.py.
//
//   qv_bench_zip_backup export <support folder> <archive>
//   qv_bench_zip_backup import <archive> <support folder>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ziparchive/ZAZipArchive.h"

namespace fs = std::filesystem;

namespace {

// The backed-up items, in the order the export writes them.
const char* const kItems[] = {"Logs", "Module Databases", "Modules", "Modules.plist"};

bool exportFolder(const fs::path& support, const fs::path& archivePath) {
  auto archive = ZAZipArchive::initWithPath(archivePath.string());
  if (!archive->open()) return false;
  for (const char* item : kItems) {
    const fs::path path = support / item;
    std::error_code ec;
    const auto status = fs::symlink_status(path, ec);
    if (ec || !fs::exists(status)) continue;
    if (!fs::is_directory(status)) {
      if (!archive->writeFileAtPath(path.string(), item, "")) return false;
      continue;
    }
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_directory() || it->is_symlink()) files.push_back(it->path());
    }
    if (ec) return false;
    for (const auto& file : files) {
      const std::string name = std::string(item) + "/" + fs::relative(file, path).string();
      if (!archive->writeFileAtPath(file.string(), name, "")) return false;
    }
  }
  return archive->close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s export <folder> <archive> | import <archive> <folder>\n", argv[0]);
    return 2;
  }
  bool ok = false;
  if (std::strcmp(argv[1], "export") == 0) {
    ok = exportFolder(argv[2], argv[3]);
  } else if (std::strcmp(argv[1], "import") == 0) {
    ok = ZAZipArchive::unzipFileAtPath(argv[2], argv[3]);
  }
  // The high-water mark of this process image (getrusage would include what the parent used
  // before it started this program).
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::strncmp(line, "VmHWM:", 6) == 0)
        std::printf("peak_rss_kib %ld\n", std::strtol(line + 6, nullptr, 10));
    }
    std::fclose(status);
  }
  return ok ? 0 : 1;
}
