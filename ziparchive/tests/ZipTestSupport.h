#pragma once

// Helpers shared by the zip archive tests: running the real zip tools and Python, building and
// comparing folder trees, and reading back what an archive holds.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "testing/Sandbox.h"
#include "ziparchive/ZAZipArchive.h"

namespace ziptest {

namespace fs = std::filesystem;

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// Quotes a text for the shell.
inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

inline CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> chunk{};
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), got);
  int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Runs a Python script (with `zipfile`, `os` and `struct` imported) in `folder`.
inline CommandResult python(const fs::path& folder, const std::string& script) {
  fs::path file = folder / "script.py";
  std::ofstream(file) << "import zipfile, os, struct, sys\n" << script << "\n";
  return run("cd " + quoted(folder.string()) + " && python3 " + quoted(file.string()));
}

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void writeText(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline unsigned modeOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

inline std::time_t modificationTimeOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mtim.tv_sec;
}

inline std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return std::mktime(&parts);
}

inline void setModificationTime(const fs::path& path, std::time_t time) {
  timespec times[2] = {{time, 0}, {time, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// What a tree holds, item by item: "f <content>", "d", or "l <target>", with the mode for files.
inline std::map<std::string, std::string> describeTree(const fs::path& root, bool withModes = true) {
  std::map<std::string, std::string> items;
  if (!fs::exists(root)) return items;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string relative = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      items[relative] = "l " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      items[relative] = "d";
    } else {
      char mode[16];
      std::snprintf(mode, sizeof mode, "%04o ", modeOf(it->path()));
      items[relative] = "f " + (withModes ? std::string(mode) : std::string()) + readText(it->path());
    }
  }
  return items;
}

// One entry as an independent reader (libzip itself, not our wrapper) sees it.
struct EntryFacts {
  std::string name;
  std::uint8_t host = 0;
  std::uint32_t attributes = 0;
  std::uint16_t method = 0;
  std::uint16_t encryption = 0;
  std::uint64_t size = 0;
  std::time_t mtime = 0;
};

inline std::vector<EntryFacts> entriesOf(const fs::path& archivePath) {
  std::vector<EntryFacts> entries;
  int error = 0;
  zip_t* archive = zip_open(archivePath.c_str(), ZIP_RDONLY, &error);
  if (!archive) return entries;
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    EntryFacts facts;
    zip_stat_t stat;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
    facts.name = stat.name;
    facts.method = stat.comp_method;
    facts.encryption = stat.encryption_method;
    facts.size = stat.size;
    facts.mtime = stat.mtime;
    zip_file_get_external_attributes(archive, static_cast<zip_uint64_t>(i), 0, &facts.host,
                                     &facts.attributes);
    entries.push_back(facts);
  }
  zip_discard(archive);
  return entries;
}

inline std::vector<std::string> entryNamesOf(const fs::path& archivePath) {
  std::vector<std::string> names;
  for (const auto& entry : entriesOf(archivePath)) names.push_back(entry.name);
  return names;
}

// `unzip -tq` and `7z t` both accept the archive.
inline void expectToolsAccept(const fs::path& archivePath, const std::string& password = "",
                              bool infoZipCanRead = true) {
  if (infoZipCanRead) {
    auto unzip = run("unzip -tq " + (password.empty() ? "" : "-P " + quoted(password) + " ") +
                     quoted(archivePath.string()));
    EXPECT_EQ(unzip.exitCode, 0) << unzip.output;
  }
  auto sevenZip = run("7z t -p" + quoted(password) + " " + quoted(archivePath.string()));
  EXPECT_EQ(sevenZip.exitCode, 0) << sevenZip.output;
}

// Records every delegate call as a line of text.
class RecordingDelegate : public ZAZipArchiveDelegate {
 public:
  using ZAZipArchiveDelegate::zipArchiveDidUnzipFileAtIndex;

  void zipArchiveWillUnzipArchiveAtPath(const std::string&, const unz_global_info& info) override {
    calls.push_back("willUnzipArchive " + std::to_string(info.numberOfEntries));
  }
  void zipArchiveProgressEvent(std::uint64_t loaded, std::uint64_t total) override {
    calls.push_back("progress " + std::to_string(loaded) + "/" + std::to_string(total));
  }
  bool zipArchiveShouldUnzipFileAtIndex(std::int64_t index, std::int64_t total, const std::string&,
                                        const unz_file_info&) override {
    calls.push_back("should " + std::to_string(index) + "/" + std::to_string(total));
    return index != refuseIndex;
  }
  void zipArchiveWillUnzipFileAtIndex(std::int64_t index, std::int64_t, const std::string&,
                                      const unz_file_info&) override {
    calls.push_back("will " + std::to_string(index));
  }
  void zipArchiveDidUnzipFileAtIndex(std::int64_t index, std::int64_t, const std::string&,
                                     const std::string& unzippedFilePath) override {
    calls.push_back("did " + std::to_string(index) + " " + fs::path(unzippedFilePath).filename().string());
  }
  void zipArchiveDidUnzipArchiveAtPath(const std::string&, const unz_global_info&,
                                       const std::string&) override {
    calls.push_back("didUnzipArchive");
  }

  std::int64_t refuseIndex = -1;
  std::vector<std::string> calls;
};

}  // namespace ziptest

namespace ziptest {

// One entry of an archive made byte for byte by a test, for names and attributes no well-behaved
// tool would write.
struct CraftedEntry {
  std::string rawName;
  std::string data;
  std::uint32_t mode = 0100644;  // Unix mode, stored in the upper half of the external attributes
  int host = 3;                  // 3 = Unix, 0 = MS-DOS
  bool stored = false;           // stored instead of deflated
  std::array<int, 6> date{2020, 2, 3, 4, 5, 6};
};

inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Writes the entries with Python's zipfile under placeholder names of the same length, then puts
// the raw names in place of the placeholders in the local and central headers.
inline fs::path craftArchive(const fs::path& path, const std::vector<CraftedEntry>& entries) {
  std::string script = "entries = [\n";
  for (const auto& e : entries) {
    script += "  (bytes.fromhex('" + hex(e.rawName) + "'), bytes.fromhex('" + hex(e.data) + "'), " +
              std::to_string(e.mode) + ", " + std::to_string(e.host) + ", " + (e.stored ? "True" : "False") +
              ", (" + std::to_string(e.date[0]) + "," + std::to_string(e.date[1]) + "," +
              std::to_string(e.date[2]) + "," + std::to_string(e.date[3]) + "," + std::to_string(e.date[4]) +
              "," + std::to_string(e.date[5]) + ")),\n";
  }
  script += R"(]
out = sys.argv[1] if len(sys.argv) > 1 else 'OUT'
swaps = []
with zipfile.ZipFile(out, 'w') as z:
    for i, (raw, data, mode, host, stored, date) in enumerate(entries):
        if raw:
            placeholder = ('@%d@' % i).ljust(len(raw), '#').encode()
            assert len(placeholder) == len(raw), raw
            swaps.append((placeholder, raw))
        else:
            placeholder = b''
        info = zipfile.ZipInfo(placeholder.decode(), date_time=date)
        info.create_system = host
        info.external_attr = mode << 16
        info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
        z.writestr(info, data)
d = open(out, 'rb').read()
for placeholder, raw in swaps:
    assert d.count(placeholder) == 2, placeholder
    d = d.replace(placeholder, raw)
open(out, 'wb').write(d)
)";
  std::string withPath = script;
  withPath.replace(withPath.find("'OUT'"), 5, "'" + path.string() + "'");
  auto result = python(path.parent_path(), withPath);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return path;
}

}  // namespace ziptest
