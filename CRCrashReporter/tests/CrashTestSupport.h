#pragma once
// Helpers shared by the crash engine's tests: capturing the engine's log lines, pages with chosen
// protections, and mapping the Mach-O fixtures into memory.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Platform/CRTaskMemory.h"
#include "testing/TreePaths.h"

namespace crash_test {

// Sends descriptor 2 to a temporary file for its lifetime; text() returns what was written so far.
class CapturedStderr {
 public:
  CapturedStderr() {
    std::fflush(stderr);
    char path[] = "/tmp/qv-crash-stderr-XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    saved_ = dup(STDERR_FILENO);
    dup2(fd_, STDERR_FILENO);
  }
  ~CapturedStderr() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fd_);
  }
  std::string text() const {
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
      ssize_t n = pread(fd_, buffer, sizeof buffer, offset);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
      offset += n;
    }
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

// Anonymous pages that are unmapped (and the region table refreshed) when the object goes.
class Pages {
 public:
  explicit Pages(std::size_t count) : size_(count * platform::crash::page_size()) {
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<std::uint8_t*>(p);
    platform::crash::region_table_refresh();
  }
  ~Pages() {
    if (base_ != nullptr) munmap(base_, size_);
    platform::crash::region_table_refresh();
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  std::uint8_t* data() const { return base_; }
  std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(base_); }
  std::uint8_t* page(std::size_t index) const { return base_ + index * platform::crash::page_size(); }
  void protect(std::size_t index, int prot) {
    mprotect(page(index), platform::crash::page_size(), prot);
    platform::crash::region_table_refresh();
  }
  void unmap(std::size_t index) {
    munmap(page(index), platform::crash::page_size());
    platform::crash::region_table_refresh();
  }

 private:
  std::size_t size_;
  std::uint8_t* base_ = nullptr;
};

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

inline std::string fixture_path(const std::string& name) {
  return std::string(QV_MACHO_FIXTURES) + "/" + name;
}

// Maps a 64-bit Mach-O fixture the way dyld would: every segment at an address the kernel picks (the
// dylibs link at 0), file bytes copied, rebases from llvm-objdump applied, __TEXT made executable.
class MappedMachO {
 public:
  explicit MappedMachO(const std::string& name) : path_(fixture_path(name)) {
    std::vector<std::uint8_t> file = read_file(path_);
    struct Segment {
      std::string name;
      std::uint64_t vmaddr, vmsize, fileoff, filesize;
    };
    std::vector<Segment> segments;
    std::uint32_t ncmds;
    std::memcpy(&ncmds, file.data() + 16, 4);
    std::size_t at = 32;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
      std::uint32_t cmd, cmdsize;
      std::memcpy(&cmd, file.data() + at, 4);
      std::memcpy(&cmdsize, file.data() + at + 4, 4);
      if (cmd == 0x19) {
        Segment s;
        s.name.assign(reinterpret_cast<const char*>(file.data() + at + 8),
                      strnlen(reinterpret_cast<const char*>(file.data() + at + 8), 16));
        std::memcpy(&s.vmaddr, file.data() + at + 24, 8);
        std::memcpy(&s.vmsize, file.data() + at + 32, 8);
        std::memcpy(&s.fileoff, file.data() + at + 40, 8);
        std::memcpy(&s.filesize, file.data() + at + 48, 8);
        segments.push_back(s);
      }
      at += cmdsize;
    }
    for (const Segment& s : segments) {
      if (s.vmaddr + s.vmsize > size_) size_ = s.vmaddr + s.vmsize;
    }
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<std::uint8_t*>(p);
    for (const Segment& s : segments) {
      std::memcpy(base_ + s.vmaddr, file.data() + s.fileoff, s.filesize);
    }
    // "segment section address type" lines: each pointer gets the load address added.
    std::istringstream rebases(read_text(path_ + ".rebase"));
    std::string line;
    while (std::getline(rebases, line)) {
      std::istringstream fields(line);
      std::string segment, section, address, type;
      if (!(fields >> segment >> section >> address >> type) || type != "pointer") continue;
      std::uint64_t offset = std::stoull(address, nullptr, 16);
      std::uint64_t value;
      std::memcpy(&value, base_ + offset, 8);
      value += reinterpret_cast<std::uint64_t>(base_);
      std::memcpy(base_ + offset, &value, 8);
    }
    for (const Segment& s : segments) {
      if (s.name == "__TEXT") mprotect(base_ + s.vmaddr, s.vmsize, PROT_READ | PROT_EXEC);
    }
    platform::crash::region_table_refresh();
  }
  ~MappedMachO() {
    munmap(base_, size_);
    platform::crash::region_table_refresh();
  }
  MappedMachO(const MappedMachO&) = delete;
  MappedMachO& operator=(const MappedMachO&) = delete;

  std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(base_); }
  std::uint8_t* data() const { return base_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::uint8_t* base_ = nullptr;
  std::uint64_t size_ = 0;
};

// Writes a Mach-O image: a header, load commands and whatever data follows, in either byte order.
class MachOBuilder {
 public:
  MachOBuilder(bool m64, bool swapped) : m64_(m64), swapped_(swapped) {}

  void u8(std::uint8_t v) { bytes.push_back(v); }
  void u16(std::uint16_t v) {
    if (swapped_) v = __builtin_bswap16(v);
    append(&v, 2);
  }
  void u32(std::uint32_t v) {
    if (swapped_) v = __builtin_bswap32(v);
    append(&v, 4);
  }
  void u64(std::uint64_t v) {
    if (swapped_) v = __builtin_bswap64(v);
    append(&v, 8);
  }
  void word(std::uint64_t v) { m64_ ? u64(v) : u32(static_cast<std::uint32_t>(v)); }
  void name16(const char* name) {
    char buffer[16] = {};
    std::memcpy(buffer, name, std::min<std::size_t>(std::strlen(name), 16));
    append(buffer, 16);
  }
  // Grown and copied by hand: GCC 12 at -O3 warns (-Wnonnull) inside vector's range insert.
  void append(const void* p, std::size_t n) {
    const std::size_t at = bytes.size();
    bytes.resize(at + n);
    if (n != 0) std::memcpy(bytes.data() + at, p, n);
  }
  void put32(std::size_t at, std::uint32_t v) {
    if (swapped_) v = __builtin_bswap32(v);
    std::memcpy(&bytes[at], &v, 4);
  }

  void header(std::uint32_t magic, std::uint32_t ncmds) {
    std::uint32_t raw = magic;
    append(&raw, 4);  // the magic is stored as it reads on disk
    u32(m64_ ? 0x1000007 : 7);
    u32(3);
    u32(6);
    u32(ncmds);
    sizeofcmds_at_ = bytes.size();
    u32(0);
    u32(0);
    if (m64_) u32(0);
    commands_start_ = bytes.size();
  }
  void end_commands() { put32(sizeofcmds_at_, static_cast<std::uint32_t>(bytes.size() - commands_start_)); }

  // A segment command with no sections (or `sections` headers that follow it).
  void segment(const char* name, std::uint64_t vmaddr, std::uint64_t vmsize, std::uint64_t fileoff,
               std::uint64_t filesize,
               std::vector<std::tuple<const char*, std::uint64_t, std::uint64_t>> sections = {}) {
    const std::uint32_t header_size = m64_ ? 72 : 56, section_size = m64_ ? 80 : 68;
    u32(m64_ ? 0x19 : 0x1);
    u32(header_size + section_size * static_cast<std::uint32_t>(sections.size()));
    name16(name);
    word(vmaddr);
    word(vmsize);
    word(fileoff);
    word(filesize);
    u32(7);
    u32(5);
    u32(static_cast<std::uint32_t>(sections.size()));
    u32(0);
    for (auto& [sectname, addr, size] : sections) {
      name16(sectname);
      name16(name);
      word(addr);
      word(size);
      for (int i = 0; i < (m64_ ? 8 : 7); ++i) u32(0);
    }
  }
  void raw_command(std::uint32_t cmd, std::uint32_t cmdsize, std::size_t body = 0) {
    u32(cmd);
    u32(cmdsize);
    for (std::size_t i = 0; i < body; ++i) u8(0);
  }

  std::vector<std::uint8_t> bytes;

 private:
  bool m64_, swapped_;
  std::size_t sizeofcmds_at_ = 0, commands_start_ = 0;
};

}  // namespace crash_test
