// The image list and its ELF records: the loader feed's replay, records of this process checked against
// readelf, symbols and unwind tables of the C library, and dlopen/dlclose with readers walking the list.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>

#include <atomic>
#include <regex>
#include <thread>

#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "crcrash_async_image_list.h"
#include "testing/TreePaths.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;

namespace {

void imagelist_add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void imagelist_remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

// An image list fed by the loader for the length of a test.
class FedImageList {
 public:
  FedImageList() {
    crcrash_nasync_image_list_init(&list_, pc::mach_task_self());
    handle_ = pc::dyld_register_image_callbacks(imagelist_add_image, imagelist_remove_image, &list_);
  }
  ~FedImageList() {
    pc::dyld_unregister_image_callbacks(handle_);
    crcrash_nasync_image_list_free(&list_);
  }
  crcrash_async_image_list_t* get() { return &list_; }

  // The first listed image whose name contains `part`, or null. Not for use during concurrent writes.
  crcrash_async_macho_t* find(const std::string& part) {
    crcrash_nasync_image_list_set_reading(&list_, true);
    crcrash_async_macho_t* found = nullptr;
    for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(&list_, nullptr); image != nullptr;
         image = crcrash_nasync_image_list_next(&list_, image)) {
      if (std::string(image->name).find(part) != std::string::npos) {
        found = image;
        break;
      }
    }
    crcrash_nasync_image_list_set_reading(&list_, false);
    return found;
  }

 private:
  crcrash_async_image_list_t list_;
  int handle_;
};

std::string executable() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  return std::string(buffer, static_cast<std::size_t>(n));
}

struct ReadelfFacts {
  std::uint64_t base_vaddr = 0;
  std::uint64_t text_end = 0;
  std::uint64_t eh_frame_hdr = 0;
  std::string build_id;
};

ReadelfFacts readelf(const std::string& path) {
  ReadelfFacts facts;
  std::string out = crash_test::run("readelf -W -n -l '" + path + "'");
  std::istringstream in(out);
  std::string line;
  std::regex load(
      R"(^\s+LOAD\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+([RWE ]+?)\s+0x)");
  std::regex eh(R"(^\s+GNU_EH_FRAME\s+0x[0-9a-f]+\s+0x([0-9a-f]+))");
  std::regex id(R"(Build ID: ([0-9a-f]+))");
  bool have_base = false;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_search(line, m, load)) {
      std::uint64_t offset = std::stoull(m[1], nullptr, 16), vaddr = std::stoull(m[2], nullptr, 16);
      std::uint64_t memsz = std::stoull(m[3], nullptr, 16);
      if (offset == 0 && !have_base) {
        facts.base_vaddr = vaddr;
        have_base = true;
      }
      if (m[4].str().find('E') != std::string::npos) facts.text_end = vaddr + memsz;
    } else if (std::regex_search(line, m, eh)) {
      facts.eh_frame_hdr = std::stoull(m[1], nullptr, 16);
    } else if (std::regex_search(line, m, id)) {
      facts.build_id = m[1];
    }
  }
  return facts;
}

std::string hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    out += b;
  }
  return out;
}

struct Found {
  std::uint64_t address = 0;
  std::string name;
};
void on_found(std::uint64_t address, const char* name, void* ctx) {
  static_cast<Found*>(ctx)->address = address;
  static_cast<Found*>(ctx)->name = name;
}

}  // namespace

TEST(CrashImageList, RecordsOfThisProcessMatchReadelf) {
  FedImageList list;
  struct Case {
    std::string name_part;
    std::string path;
  } cases[] = {{executable(), executable()}, {"libc.so.6", ""}, {"libstdc++.so.6", ""}};
  for (Case& c : cases) {
    crcrash_async_macho_t* image = list.find(c.name_part);
    ASSERT_NE(image, nullptr) << c.name_part;
    if (c.path.empty()) c.path = image->name;
    ReadelfFacts facts = readelf(c.path);
    EXPECT_EQ(image->format, CRCRASH_IMAGE_FORMAT_ELF);
    EXPECT_EQ(image->header_addr - image->slide, facts.base_vaddr) << c.path;
    EXPECT_EQ(image->header_addr + image->text_size - image->slide, facts.text_end) << c.path;
    EXPECT_EQ(crcrash_async_macho_cpu_type(image), pc::CPU_TYPE_X86_64);
    EXPECT_EQ(crcrash_async_macho_cpu_subtype(image), 3);
    ASSERT_FALSE(facts.build_id.empty()) << c.path;
    std::uint8_t uuid[16];
    ASSERT_EQ(crcrash_async_macho_uuid(image, uuid), CRCRASH_ERR_NONE);
    EXPECT_EQ(hex(uuid, 16), facts.build_id.substr(0, 32)) << c.path;
    EXPECT_EQ(image->elf.eh_frame_hdr_addr - image->slide, facts.eh_frame_hdr) << c.path;
    EXPECT_GT(image->elf.fde_count, 0u) << c.path;
    crcrash_async_mobject_t mobj;
    EXPECT_EQ(crcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &mobj), CRCRASH_ERR_NOTFOUND);
    EXPECT_EQ(crcrash_async_macho_map_section(image, "__DATA", "__objc_classlist", &mobj),
              CRCRASH_ERR_NOTFOUND);
    EXPECT_EQ(crcrash_async_macho_next_command(image, nullptr), nullptr)
        << "an ELF image has no load commands";
  }
  // The main program is listed first, under its real path.
  crcrash_nasync_image_list_set_reading(list.get(), true);
  EXPECT_EQ(std::string(crcrash_nasync_image_list_next(list.get(), nullptr)->name), executable());
  auto here = reinterpret_cast<std::uint64_t>(&executable);
  crcrash_async_macho_t* containing = crcrash_nasync_image_containing_address(list.get(), here);
  ASSERT_NE(containing, nullptr);
  EXPECT_EQ(std::string(containing->name), executable());
  EXPECT_EQ(crcrash_nasync_image_containing_address(list.get(), 16), nullptr);
  crcrash_nasync_image_list_set_reading(list.get(), false);
}

namespace {
// The C library's own definition (a sanitizer may put its interceptors in front of it).
std::uint64_t libc_symbol(const char* name) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  std::uint64_t address = reinterpret_cast<std::uint64_t>(dlsym(libc, name));
  dlclose(libc);
  return address;
}
}  // namespace

TEST(CrashImageList, DynamicSymbolsOfTheCLibrary) {
  FedImageList list;
  crcrash_async_macho_t* libc = list.find("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_GT(libc->elf.nsyms, 1000u);
  for (const char* name : {"getpid", "malloc", "dl_iterate_phdr", "process_vm_readv"}) {
    const std::uint64_t expected = libc_symbol(name);
    ASSERT_NE(expected, 0u) << name;
    std::uint64_t address = 0;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(libc, name, &address), CRCRASH_ERR_NONE) << name;
    EXPECT_EQ(address, expected) << name;
    // By address: the symbol found may be an alias, but it names the same place.
    Found found;
    ASSERT_EQ(crcrash_async_macho_find_symbol_by_pc(libc, expected + 1, on_found, &found), CRCRASH_ERR_NONE)
        << name;
    EXPECT_EQ(found.address, expected) << name << " named " << found.name;
    std::uint64_t alias = 0;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(libc, found.name.c_str(), &alias), CRCRASH_ERR_NONE);
    EXPECT_EQ(alias, expected) << found.name;
  }
  std::uint64_t address;
  EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(libc, "no_such_symbol_here", &address),
            CRCRASH_ERR_NOTFOUND);
  Found below;
  EXPECT_EQ(crcrash_async_macho_find_symbol_by_pc(libc, libc->header_addr, on_found, &below),
            CRCRASH_ERR_NOTFOUND);
}

TEST(CrashImageList, VdsoIsListedWithItsSymbols) {
  FedImageList list;
  crcrash_async_macho_t* vdso = list.find("linux-vdso");
  ASSERT_NE(vdso, nullptr);
  EXPECT_EQ(vdso->header_addr, getauxval(AT_SYSINFO_EHDR));
  std::uint64_t address = 0;
  ASSERT_EQ(crcrash_async_macho_find_symbol_by_name(vdso, "__vdso_clock_gettime", &address),
            CRCRASH_ERR_NONE);
  EXPECT_TRUE(crcrash_async_macho_contains_address(vdso, address));
}

// The search table names the FDE that covers a pc: its initial location and range enclose the pc.
TEST(CrashImageList, EhFrameSearchTableFindsTheCoveringFde) {
  FedImageList list;
  crcrash_async_macho_t* libc = list.find("libc.so.6");
  ASSERT_NE(libc, nullptr);
  crcrash_async_mobject_t eh_frame;
  ASSERT_EQ(crcrash_async_macho_map_section(libc, "__TEXT", "__eh_frame", &eh_frame), CRCRASH_ERR_NONE);
  EXPECT_EQ(crcrash_async_mobject_base_address(&eh_frame), libc->elf.eh_frame_addr);
  for (const char* name : {"getpid", "malloc", "qsort", "printf"}) {
    const std::uint64_t pc = libc_symbol(name) + 4;
    std::uint64_t offset = 0;
    ASSERT_EQ(crcrash_async_macho_find_eh_frame_fde(libc, pc, &offset), CRCRASH_ERR_NONE) << name;
    const std::uint64_t fde = libc->elf.eh_frame_addr + offset;
    std::uint32_t length = 0, cie_pointer = 0;
    std::int32_t pc_begin_rel = 0;
    std::uint32_t pc_range = 0;
    ASSERT_EQ(crcrash_async_mobject_read_uint32(&eh_frame, &crcrash_async_byteorder_direct, fde, 0, &length),
              0u);
    ASSERT_EQ(
        crcrash_async_mobject_read_uint32(&eh_frame, &crcrash_async_byteorder_direct, fde, 4, &cie_pointer),
        0u);
    EXPECT_NE(cie_pointer, 0u) << "an FDE, not a CIE";
    ASSERT_EQ(crcrash_async_mobject_read_uint32(&eh_frame, &crcrash_async_byteorder_direct, fde, 8,
                                                reinterpret_cast<std::uint32_t*>(&pc_begin_rel)),
              0u);
    ASSERT_EQ(
        crcrash_async_mobject_read_uint32(&eh_frame, &crcrash_async_byteorder_direct, fde, 12, &pc_range),
        0u);
    // The C library's FDEs encode pc_begin pc-relative, signed 4 bytes.
    std::uint64_t pc_begin = fde + 8 + static_cast<std::uint64_t>(static_cast<std::int64_t>(pc_begin_rel));
    EXPECT_LE(pc_begin, pc) << name;
    EXPECT_LT(pc, pc_begin + pc_range) << name;
  }
  std::uint64_t offset;
  EXPECT_EQ(crcrash_async_macho_find_eh_frame_fde(libc, libc->header_addr, &offset), CRCRASH_ERR_NOTFOUND);
  crcrash_async_mobject_free(&eh_frame);
}

TEST(CrashImageList, AppendRemoveAndIterate) {
  crcrash_async_image_list_t list;
  crcrash_nasync_image_list_init(&list, pc::mach_task_self());
  auto exe_header = getauxval(AT_PHDR) & ~(pc::page_size() - 1);  // the executable's first page
  auto vdso = getauxval(AT_SYSINFO_EHDR);
  CapturedStderr captured;
  crcrash_nasync_image_list_append(&list, vdso, "vdso");
  crcrash_nasync_image_list_append(&list, 16, "nowhere");
  crcrash_nasync_image_list_append(&list, exe_header, "exe");
  EXPECT_NE(captured.text().find("Unexpected failure initializing Mach-O structure for nowhere: 6"),
            std::string::npos)
      << captured.text();
  crcrash_nasync_image_list_remove(&list, 12345);
  EXPECT_NE(captured.text().find("Can't find header addr=12345 in Mach-O image list."), std::string::npos);

  crcrash_nasync_image_list_set_reading(&list, true);
  crcrash_async_macho_t* first = crcrash_nasync_image_list_next(&list, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->name, "vdso");
  EXPECT_NE(first->node.load(), nullptr) << "the record learns its node on first visit";
  crcrash_async_macho_t* second = crcrash_nasync_image_list_next(&list, first);
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(second->name, "exe");
  EXPECT_EQ(crcrash_nasync_image_list_next(&list, second), nullptr);
  // Removing the first while a reader stands on it: the reader still reads it and walks on.
  crcrash_nasync_image_list_remove(&list, vdso);
  EXPECT_STREQ(first->name, "vdso");
  EXPECT_EQ(crcrash_nasync_image_list_next(&list, first), second);
  crcrash_nasync_image_list_set_reading(&list, false);

  crcrash_nasync_image_list_set_reading(&list, true);
  EXPECT_EQ(crcrash_nasync_image_list_next(&list, nullptr), second);
  crcrash_nasync_image_list_set_reading(&list, false);
  // A new image recycles the retired node.
  crcrash_nasync_image_list_append(&list, vdso, "vdso again");
  crcrash_nasync_image_list_set_reading(&list, true);
  crcrash_async_macho_t* again = crcrash_nasync_image_list_next(&list, second);
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again->name, "vdso again");
  crcrash_nasync_image_list_set_reading(&list, false);
  crcrash_nasync_image_list_free(&list);
}

TEST(CrashImageListDeathTest, IteratingOutsideReadingModeAborts) {
  crcrash_async_image_list_t list;
  crcrash_nasync_image_list_init(&list, pc::mach_task_self());
  EXPECT_DEATH(crcrash_nasync_image_list_next(&list, nullptr), "_refcount > 0");
  crcrash_nasync_image_list_free(&list);
}

// dlopen and dlclose pass through the executable's wrappers and re-sync the list, while readers walk it.
TEST(CrashImageList, DlopenAndDlcloseWithConcurrentReaders) {
  FedImageList list;
  ASSERT_EQ(list.find("crash_test_plugin"), nullptr);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> walks{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        crcrash_nasync_image_list_set_reading(list.get(), true);
        std::size_t bytes = 0;
        for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(list.get(), nullptr);
             image != nullptr; image = crcrash_nasync_image_list_next(list.get(), image)) {
          bytes += std::strlen(image->name) + image->text_size % 7;
        }
        crcrash_nasync_image_list_set_reading(list.get(), false);
        if (bytes > 0) walks++;
      }
    });
  }
  const std::uint64_t syncs_before = pc::dyld_sync_count();
  for (int round = 0; round < 20; ++round) {
    void* handle = dlopen(QV_CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    crcrash_async_macho_t* plugin = list.find("crash_test_plugin");
    ASSERT_NE(plugin, nullptr) << "round " << round;
    auto answer = reinterpret_cast<std::uint64_t>(dlsym(handle, "crash_test_plugin_answer"));
    std::uint64_t address = 0;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_name(plugin, "crash_test_plugin_answer", &address),
              CRCRASH_ERR_NONE);
    EXPECT_EQ(address, answer);
    ASSERT_EQ(dlclose(handle), 0);
    EXPECT_EQ(list.find("crash_test_plugin"), nullptr) << "round " << round;
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GE(pc::dyld_sync_count() - syncs_before, 40u);
  EXPECT_GT(walks.load(), 0u);
}
