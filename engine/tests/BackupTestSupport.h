#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace enginetest {

namespace fs = std::filesystem;

inline std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Everything below a folder: relative path → file bytes, "<folder>" for folders, "-> target" for
// links. Two equal trees hold the same items with the same bytes.
inline std::map<std::string, std::string> treeOf(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  if (!fs::exists(folder, ec)) return tree;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = it->path().lexically_relative(folder).generic_string();
    if (it->is_symlink()) {
      tree[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[relative] = "<folder>";
    } else {
      tree[relative] = readBytes(it->path());
    }
  }
  return tree;
}

// Runs a shell command; answers its exit status and, when asked, its standard output.
inline int runCommand(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string quoted(const fs::path& path) {
  std::string text = "'";
  for (char c : path.string()) {
    if (c == '\'') {
      text += "'\\''";
    } else {
      text += c;
    }
  }
  return text + "'";
}

// Info-ZIP's own test of an archive: every entry's data and CRC.
inline bool unzipAccepts(const fs::path& archive) {
  return runCommand("unzip -tqq " + quoted(archive) + " >/dev/null 2>&1") == 0;
}

// The entry names of an archive as Info-ZIP lists them, sorted.
inline std::vector<std::string> entryNames(const fs::path& archive) {
  std::string output;
  runCommand("unzip -Z1 " + quoted(archive) + " 2>/dev/null", &output);
  std::vector<std::string> names;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) names.push_back(line);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace enginetest
