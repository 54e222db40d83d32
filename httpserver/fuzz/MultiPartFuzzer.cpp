// Feeds arbitrary multipart bodies, split into pieces at places taken from the input, to the
// multipart form parser with small caps, and checks that it never leaves a temporary file behind
// once the parts are gone.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "httpserver/WebServerMIMEStreamParser.h"
#include "platform/Paths.h"

namespace {

// Uploads go to a folder of this process, which must be empty again after each input.
const char* temporaryFolder() {
  static std::string folder = [] {
    char path[] = "/tmp/qv-multipart-fuzz-XXXXXX";
    ::setenv("TMPDIR", ::mkdtemp(path), 1);
    return platform::paths::temporaryDirectory().string();
  }();
  return folder.c_str();
}

bool folderIsEmpty(const char* folder) {
  DIR* directory = ::opendir(folder);
  if (!directory) return false;
  bool empty = true;
  while (dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") empty = false;
  }
  ::closedir(directory);
  return empty;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* folder = temporaryFolder();
  if (size < 1) return 0;
  // The first byte chooses the piece size; the boundary is fixed so that inputs can reach parts.
  std::size_t pieceSize = static_cast<std::size_t>(data[0]) + 1;
  WebServerMultiPartLimits limits;
  limits.maximumInMemoryPartSize = 4096;
  limits.maximumHeaderSize = 1024;
  limits.maximumPartCount = 32;
  limits.maximumNestingDepth = 3;
  {
    WebServerMIMEStreamParser::Arguments arguments;
    WebServerMIMEStreamParser::Files files;
    auto parser = WebServerMIMEStreamParser::make(std::string("b"), std::nullopt, &arguments, &files, limits);
    if (!parser) std::abort();
    for (std::size_t fed = 1; fed < size; fed += pieceSize) {
      if (!parser->appendBytes(data + fed, std::min(pieceSize, size - fed))) break;
    }
    if (arguments.size() + files.size() > limits.maximumPartCount) std::abort();
    for (const auto& argument : arguments) {
      if (argument->data().size() > limits.maximumInMemoryPartSize) std::abort();
    }
    parser.reset();
  }
  if (!folderIsEmpty(folder)) std::abort();
  return 0;
}
