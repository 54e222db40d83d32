// Feeds arbitrary bytes to extraction and the password tests as an archive file. Every input must
// end in a result (never a crash, a hang or unbounded memory) and nothing may appear outside the
// destination folder. The seeds in corpus/unzip are small archives made by zip, 7z and Python's zipfile:
// stored and deflated entries with folders, bzip2 and LZMA, zip64 records, an empty archive and one with
// a comment, traditional and AES encryption with this target's password and with another, a symbolic
// link, and names and links that point out of the destination.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ziparchive/ZAZipArchive.h"

namespace {

std::filesystem::path workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-unzip-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    return std::filesystem::path(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto folder = workFolder();
  const auto archive = folder / "input.zip";
  const auto destination = folder / "inside" / "dest";
  if (FILE* file = std::fopen(archive.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  platform::Error error;
  ZAZipArchive::unzipFileAtPath(archive.string(), destination.string(), true, true, 1, "pw", &error, nullptr,
                                nullptr, nullptr);
  ZAZipArchive::isFilePasswordProtectedAtPath(archive.string());
  ZAZipArchive::isPasswordValidForArchiveAtPath(archive.string(), "pw", &error);
  // Only the destination may have been written to.
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    const auto name = item.path().filename().string();
    if (name != "input.zip" && name != "inside") abort();
  }
  std::error_code ignored;
  if (std::filesystem::exists(folder / "inside")) {
    for (const auto& item : std::filesystem::directory_iterator(folder / "inside")) {
      if (item.path().filename() != "dest") abort();
    }
  }
  std::filesystem::remove_all(folder / "inside", ignored);
  return 0;
}
