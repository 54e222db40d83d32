#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace qvtesting {

// Counts how often one file in a folder is replaced (an atomic write renames onto it) or written, as
// the kernel reports it, so tests can check that bursts of changes are saved once. An atomic write
// closes its file after renaming it into place: that close is the same write as the rename.
class FileWriteCounter {
 public:
  FileWriteCounter(const std::filesystem::path& folder, std::string name,
                   std::uint32_t events = IN_MOVED_TO | IN_CLOSE_WRITE)
      : name_(std::move(name)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::filesystem::create_directories(folder);
    ::inotify_add_watch(fd_, folder.c_str(), events);
  }
  ~FileWriteCounter() { ::close(fd_); }
  FileWriteCounter(const FileWriteCounter&) = delete;
  FileWriteCounter& operator=(const FileWriteCounter&) = delete;

  int count() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (char* p = buffer; p < buffer + got;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->len > 0 && name_ == event->name) {
          const bool closeOfTheMove = (event->mask & IN_CLOSE_WRITE) != 0 && lastWasMove_;
          if (!closeOfTheMove) ++count_;
          lastWasMove_ = (event->mask & IN_MOVED_TO) != 0;
        }
        p += sizeof(inotify_event) + event->len;
      }
    }
    return count_;
  }

 private:
  int fd_ = -1;
  std::string name_;
  int count_ = 0;
  bool lastWasMove_ = false;
};

}  // namespace qvtesting
