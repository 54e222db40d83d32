// Symbolication: names from symbol tables and from Objective-C metadata. The Objective-C fixture is mapped
// like a loaded dylib and its classes are realized by writing the read-write data the runtime would
// ({realized flag, class_ro}); a byte-built 32-bit image carries the legacy runtime's module records.

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CrashTestSupport.h"
#include "crcrash_async_symbol.h"
#include "platform/Utf8.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;
using crash_test::MachOBuilder;

namespace {

// The fixture's symbols as linked: name → address from the image's start.
std::map<std::string, std::uint64_t> linked_symbols(const std::string& dylib) {
  std::map<std::string, std::uint64_t> symbols;
  std::istringstream lines(crash_test::read_text(crash_test::fixture_path(dylib) + ".syms"));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t section = line.find("__TEXT,__text ");
    if (section == std::string::npos) section = line.find("__DATA,__objc_data ");
    if (section == std::string::npos) section = line.find("__DATA,__objc_const ");
    if (section == std::string::npos) continue;
    symbols[line.substr(line.find(' ', section) + 1)] = std::stoull(line.substr(0, 16), nullptr, 16);
  }
  return symbols;
}

struct Found {
  bool called = false;
  std::uint64_t address = 0;
  std::string name;
};

void found(std::uint64_t address, const char* name, void* ctx) {
  auto* f = static_cast<Found*>(ctx);
  f->called = true;
  f->address = address;
  f->name = name;
}

// The Objective-C fixture, mapped, with the named classes (and their metaclasses) realized.
class ObjcImage {
 public:
  explicit ObjcImage(std::vector<std::string> realized = {"QVRoot", "QVWidget"})
      : mapped_("objc_classes.dylib"), symbols_(linked_symbols("objc_classes.dylib")) {
    EXPECT_EQ(
        crcrash_nasync_macho_init(&image_, pc::mach_task_self(), mapped_.path().c_str(), mapped_.address()),
        CRCRASH_ERR_NONE);
    for (const std::string& name : realized) {
      realize(at("_OBJC_CLASS_$_" + name));
      realize(at("_OBJC_METACLASS_$_" + name));
    }
  }
  ~ObjcImage() { crcrash_async_macho_free(&image_); }

  std::uint64_t at(const std::string& symbol) const {
    auto it = symbols_.find(symbol);
    EXPECT_NE(it, symbols_.end()) << symbol;
    return it == symbols_.end() ? 0 : mapped_.address() + it->second;
  }
  crcrash_async_macho_t* image() { return &image_; }

  // The read-write data of a realized class, as the runtime would have written it.
  std::array<std::uint64_t, 2>& rw_of(std::uint64_t cls) {
    std::uint64_t data;
    std::memcpy(&data, reinterpret_cast<void*>(cls + 32), 8);
    return *reinterpret_cast<std::array<std::uint64_t, 2>*>(data);
  }

  // Points every method whose implementation is `from` at `to`.
  void retarget(std::uint64_t from, std::uint64_t to) {
    crcrash_async_macho_mapped_segment_t segment;
    ASSERT_EQ(crcrash_async_macho_map_segment(&image_, "__DATA", &segment), CRCRASH_ERR_NONE);
    auto* words = reinterpret_cast<std::uint64_t*>(crcrash_async_mobject_base_address(&segment.mobj));
    std::size_t replaced = 0;
    for (std::size_t i = 0; i < crcrash_async_mobject_length(&segment.mobj) / 8; ++i) {
      if (words[i] == from) {
        words[i] = to;
        ++replaced;
      }
    }
    crcrash_async_macho_mapped_segment_free(&segment);
    EXPECT_EQ(replaced, 1u);
  }

  // Renames a section in the load commands, so that the image seems not to have it.
  void hide_section(const char* name) {
    auto* header = reinterpret_cast<char*>(mapped_.address());
    mprotect(header, 4096, PROT_READ | PROT_WRITE);
    char* at = static_cast<char*>(memmem(header, 4096, name, std::strlen(name)));
    ASSERT_NE(at, nullptr);
    at[std::strlen(name) - 1] = '_';
    mprotect(header, 4096, PROT_READ | PROT_EXEC);
  }
  void put32(std::uint64_t address, std::uint32_t value) {
    std::memcpy(reinterpret_cast<void*>(address), &value, 4);
  }
  void put64(std::uint64_t address, std::uint64_t value) {
    std::memcpy(reinterpret_cast<void*>(address), &value, 8);
  }

  // One lookup with a context of its own.
  Found lookup(std::uint32_t strategy, std::uint64_t pc, crcrash_error_t* result = nullptr) {
    crcrash_async_symbol_cache_t cache;
    crcrash_async_symbol_cache_init(&cache);
    Found f;
    crcrash_error_t err = crcrash_async_find_symbol(&image_, strategy, &cache, pc, found, &f);
    crcrash_async_symbol_cache_free(&cache);
    if (result != nullptr) *result = err;
    return f;
  }

 private:
  void realize(std::uint64_t cls) {
    std::uint64_t ro;
    std::memcpy(&ro, reinterpret_cast<void*>(cls + 32), 8);
    rw_.push_back({std::uint64_t{1} << 31, ro});
    std::uint64_t data = reinterpret_cast<std::uint64_t>(rw_.back().data());
    std::memcpy(reinterpret_cast<void*>(cls + 32), &data, 8);
  }

  crash_test::MappedMachO mapped_;
  std::map<std::string, std::uint64_t> symbols_;
  crcrash_async_macho_t image_{};
  std::deque<std::array<std::uint64_t, 2>> rw_;  // stable addresses
};

constexpr std::uint32_t kBoth = CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | CRCRASH_SYMBOL_STRATEGY_OBJC;
const std::string kLongMethod = "-[QVRoot(VeryLong) " + std::string(245, 'a') +
                                "\xc3\xa9"
                                "ForeverAndEverAndEverSoThatTheNameGoesOnPastTheLimit]";

std::vector<std::string> parse_order(crcrash_async_macho_t* image, crcrash_error_t* result) {
  std::vector<std::string> methods;
  crcrash_async_objc_cache_t cache;
  crcrash_async_objc_cache_init(&cache);
  *result = cr_async_objc_parse(
      image, &cache,
      [](bool is_meta, crcrash_async_macho_string_t* cls, crcrash_async_macho_string_t* method, std::uint64_t,
         void* ctx) {
        const char *c = nullptr, *m = nullptr;
        crcrash_async_macho_string_get_pointer(cls, &c);
        crcrash_async_macho_string_get_pointer(method, &m);
        static_cast<std::vector<std::string>*>(ctx)->push_back(std::string(is_meta ? "+" : "-") + c + " " +
                                                               std::string(m).substr(0, 12));
      },
      &methods);
  crcrash_async_objc_cache_free(&cache);
  return methods;
}

}  // namespace

// A pc inside a method is named "-[Class method]" or "+[Class method]" with the method's start; categories
// carry their class's name; the unrealized class contributes nothing, so its method's pc falls to the
// nearest method below it; a name past 255 bytes is cut before a partial character and loses its "]".
TEST(CrashObjcSymbols, MethodsAreNamedFromTheMetadata) {
  ObjcImage fixture;
  struct Case {
    std::string pc_in;
    std::string name;
    std::string start;
  } cases[] = {
      {"-[QVRoot rootValue]", "-[QVRoot rootValue]", "-[QVRoot rootValue]"},
      {"+[QVRoot rootFactory]", "+[QVRoot rootFactory]", "+[QVRoot rootFactory]"},
      {"-[QVWidget spin:]", "-[QVWidget spin:]", "-[QVWidget spin:]"},
      {"-[QVWidget stop]", "-[QVWidget stop]", "-[QVWidget stop]"},
      {"+[QVWidget sharedWidget]", "+[QVWidget sharedWidget]", "+[QVWidget sharedWidget]"},
      {"-[QVSleeper nap]", "+[QVWidget sharedWidget]", "+[QVWidget sharedWidget]"},
      {"-[QVWidget(Extras) polish]", "-[QVWidget polish]", "-[QVWidget(Extras) polish]"},
      {"+[QVWidget(Extras) catalogue]", "+[QVWidget catalogue]", "+[QVWidget(Extras) catalogue]"},
      {kLongMethod, "-[QVRoot " + std::string(245, 'a'), kLongMethod},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pc_in.substr(0, 40));
    for (std::uint64_t offset : {0, 1, 3}) {
      Found f = fixture.lookup(kBoth, fixture.at(c.pc_in) + offset);
      ASSERT_TRUE(f.called);
      EXPECT_EQ(f.name, c.name);
      EXPECT_EQ(f.address, fixture.at(c.start));
      EXPECT_LE(f.name.size(), 255u);
      EXPECT_EQ(platform::utf8::sanitized(f.name), f.name) << "whole characters only";
    }
  }
}

// Classes before their metaclasses, classes before categories; the unrealized class is skipped.
TEST(CrashObjcSymbols, ParseOrderSkipsUnrealizedClasses) {
  ObjcImage fixture;
  crcrash_error_t result;
  std::vector<std::string> order = parse_order(fixture.image(), &result);
  EXPECT_EQ(result, CRCRASH_ERR_NONE);
  EXPECT_EQ(order, (std::vector<std::string>{"-QVRoot rootValue", "+QVRoot rootFactory", "-QVWidget spin:",
                                             "-QVWidget stop", "+QVWidget sharedWidget", "-QVWidget polish",
                                             "+QVWidget catalogue", "-QVRoot aaaaaaaaaaaa"}));
}

// Lazily realized classes are the rule: one unrealized class, even the last one a category names, does not
// hide the methods of the realized ones; an image with nothing realized gives 8.
TEST(CrashObjcSymbols, OnlyRealizedClassesAreRead) {
  {
    ObjcImage fixture({"QVWidget"});
    crcrash_error_t result;
    std::vector<std::string> order = parse_order(fixture.image(), &result);
    EXPECT_EQ(result, CRCRASH_ERR_NONE);
    EXPECT_EQ(order, (std::vector<std::string>{"-QVWidget spin:", "-QVWidget stop", "+QVWidget sharedWidget",
                                               "-QVWidget polish", "+QVWidget catalogue"}));
    EXPECT_EQ(fixture.lookup(CRCRASH_SYMBOL_STRATEGY_OBJC, fixture.at("-[QVWidget stop]") + 1).name,
              "-[QVWidget stop]");
  }
  {
    ObjcImage fixture(std::vector<std::string>{});
    crcrash_error_t result;
    CapturedStderr quiet;
    EXPECT_TRUE(parse_order(fixture.image(), &result).empty());
    EXPECT_EQ(result, CRCRASH_ERR_NOTFOUND);
    Found f = fixture.lookup(CRCRASH_SYMBOL_STRATEGY_OBJC, fixture.at("-[QVWidget stop]") + 1, &result);
    EXPECT_EQ(result, CRCRASH_ERR_NOTFOUND);
    EXPECT_FALSE(f.called);
  }
}

// An image whose classes have no categories has no category list: its classes are still named.
TEST(CrashObjcSymbols, ImageWithoutCategoryList) {
  ObjcImage fixture;
  fixture.hide_section("__objc_catlist");
  crcrash_error_t result;
  EXPECT_EQ(parse_order(fixture.image(), &result),
            (std::vector<std::string>{"-QVRoot rootValue", "+QVRoot rootFactory",
                                      "-QVWidget spin:", "-QVWidget stop", "+QVWidget sharedWidget"}));
  EXPECT_EQ(result, CRCRASH_ERR_NONE);
  EXPECT_EQ(fixture.lookup(kBoth, fixture.at("-[QVWidget stop]") + 1).name, "-[QVWidget stop]");
}

// Metadata that points outside its sections, or method lists whose entries cannot hold a method, are refused
// with 9 and nothing outside the sections is read.
TEST(CrashObjcSymbols, BadMetadataIsRefused) {
  struct Case {
    const char* what;
    std::function<void(ObjcImage&)> damage;
    const char* log;
  } cases[] = {
      {"entries smaller than a method",
       [](ObjcImage& f) { f.put32(f.at("__OBJC_$_INSTANCE_METHODS_QVWidget"), 8); },
       "length 16 returned NULL"},
      {"method count past the section",
       [](ObjcImage& f) { f.put32(f.at("__OBJC_$_INSTANCE_METHODS_QVWidget") + 4, 0xFFFFFFFF); },
       "returned NULL"},
      {"method list outside the section",
       [](ObjcImage& f) { f.put64(f.at("__OBJC_CLASS_RO_$_QVWidget") + 32, f.at("_OBJC_CLASS_$_QVWidget")); },
       "failed to map methods pointer"},
      {"metaclass outside the class data",
       [](ObjcImage& f) { f.put64(f.at("_OBJC_CLASS_$_QVWidget"), f.at("__OBJC_CLASS_RO_$_QVWidget")); },
       "in objcDataMobj for pointer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ObjcImage fixture;
    c.damage(fixture);
    CapturedStderr captured;
    crcrash_error_t result;
    parse_order(fixture.image(), &result);
    EXPECT_EQ(result, CRCRASH_ERR_BADDATA);
    EXPECT_NE(captured.text().find(c.log), std::string::npos) << captured.text();
  }
}

// Strategy 1 alone names only from the symbol table (here stripped of the methods); at an equal start the
// method's name wins; among methods sharing an implementation the first in parse order is reported.
TEST(CrashObjcSymbols, StrategiesAndTies) {
  ObjcImage fixture;
  const std::uint64_t plain = fixture.at("_qv_plain_function");
  crcrash_error_t result;
  {
    CapturedStderr quiet;
    Found f =
        fixture.lookup(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, fixture.at("-[QVWidget stop]") + 1, &result);
    EXPECT_EQ(result, CRCRASH_ERR_NOTFOUND);
    EXPECT_FALSE(f.called);
    f = fixture.lookup(CRCRASH_SYMBOL_STRATEGY_NONE, plain + 1, &result);
    EXPECT_EQ(result, CRCRASH_ERR_NOTFOUND);
    EXPECT_FALSE(f.called);
  }
  EXPECT_EQ(fixture.lookup(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, plain + 1).name, "_qv_plain_function");
  EXPECT_EQ(fixture.lookup(kBoth, plain + 1).name, "_qv_plain_function");

  fixture.retarget(fixture.at("+[QVWidget(Extras) catalogue]"), plain);
  fixture.retarget(fixture.at("+[QVWidget sharedWidget]"), plain);
  fixture.retarget(fixture.at("-[QVWidget stop]"), plain);
  Found f = fixture.lookup(kBoth, plain + 1);
  EXPECT_EQ(f.name, "-[QVWidget stop]");
  EXPECT_EQ(f.address, plain);
  EXPECT_EQ(fixture.lookup(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, plain + 1).name, "_qv_plain_function");
}

// A class read once is served from the class cache: its read-write data is not read again.
TEST(CrashObjcSymbols, ClassCacheServesClassesAlreadyRead) {
  ObjcImage fixture;
  crcrash_async_symbol_cache_t cache;
  crcrash_async_symbol_cache_init(&cache);
  Found f;
  ASSERT_EQ(crcrash_async_find_symbol(fixture.image(), kBoth, &cache, fixture.at("-[QVWidget stop]") + 1,
                                      found, &f),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(cache.objc_cache.class_cache_size, CRCRASH_OBJC_CLASS_CACHE_SLOTS);
  fixture.rw_of(fixture.at("_OBJC_CLASS_$_QVWidget"))[0] = 0;  // no longer realized
  f = {};
  ASSERT_EQ(crcrash_async_find_symbol(fixture.image(), kBoth, &cache, fixture.at("-[QVWidget spin:]") + 1,
                                      found, &f),
            CRCRASH_ERR_NONE);
  EXPECT_EQ(f.name, "-[QVWidget spin:]");
  crcrash_async_symbol_cache_free(&cache);
  EXPECT_EQ(cache.objc_cache.class_cache_size, 0u);
  // A fresh context reads the data again and skips the class.
  f = fixture.lookup(kBoth, fixture.at("-[QVWidget spin:]") + 1);
  EXPECT_EQ(f.name, "+[QVRoot rootFactory]");
}

// ELF images answer from .dynsym; they have no Objective-C metadata.
TEST(CrashObjcSymbols, ElfImagesHaveNoObjectiveC) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &info), 0);
  crcrash_async_macho_t image{};
  ASSERT_EQ(crcrash_nasync_macho_init(&image, pc::mach_task_self(), info.dli_fname,
                                      reinterpret_cast<std::uint64_t>(info.dli_fbase)),
            CRCRASH_ERR_NONE);
  const auto pc = reinterpret_cast<std::uint64_t>(&gnu_get_libc_version) + 1;
  crcrash_async_symbol_cache_t cache;
  crcrash_async_symbol_cache_init(&cache);
  EXPECT_EQ(crcrash_async_objc_find_method(&image, &cache.objc_cache, pc, nullptr, nullptr),
            CRCRASH_ERR_NOTFOUND);
  Found f;
  {
    CapturedStderr quiet;
    EXPECT_EQ(crcrash_async_find_symbol(&image, CRCRASH_SYMBOL_STRATEGY_OBJC, &cache, pc, found, &f),
              CRCRASH_ERR_NOTFOUND);
  }
  EXPECT_FALSE(f.called);
  EXPECT_EQ(crcrash_async_find_symbol(&image, kBoth, &cache, pc + 1, found, &f), CRCRASH_ERR_NONE);
  EXPECT_EQ(f.name, "gnu_get_libc_version");
  EXPECT_EQ(f.address, pc - 1);
  crcrash_async_symbol_cache_free(&cache);
  crcrash_async_macho_free(&image);
}

// The 255-byte cut keeps whole UTF-8 characters.
TEST(CrashSymbolNames, CutAtACharacterBoundary) {
  const std::string e = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
  struct Case {
    std::string name;
    std::string kept;
  } cases[] = {
      {std::string(255, 'a'), std::string(255, 'a')},
      {std::string(300, 'a'), std::string(255, 'a')},
      {std::string(253, 'a') + e, std::string(253, 'a') + e},
      {std::string(253, 'a') + e + "b", std::string(253, 'a') + e},
      {std::string(254, 'a') + e + "b", std::string(254, 'a')},
      {std::string(253, 'a') + euro, std::string(253, 'a')},
      {std::string(252, 'a') + smile, std::string(252, 'a')},
      {std::string(251, 'a') + smile + "b", std::string(251, 'a') + smile},
      {"", ""},
  };
  for (const Case& c : cases) {
    char out[CRCRASH_SYMBOL_NAME_MAX + 1];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(crcrash_async_symbol_copy_name(out, CRCRASH_SYMBOL_NAME_MAX, c.name.c_str()), c.kept.size());
    EXPECT_EQ(std::string(out), c.kept) << c.name.size();
  }
}

// ---- The legacy runtime: a byte-built 32-bit image below 4 GiB ----

namespace {

// Lays out, at `base`: the header with __TEXT and __OBJC (__module_info) segments, two module records
// (the second without a symbol table), a symbol table defining two classes, their metaclasses and method
// lists, one of them reached through a method-list array.
std::vector<std::uint8_t> legacy_image(std::uint32_t base) {
  MachOBuilder b(false, false);
  b.header(MH_MAGIC, 2);
  b.segment("__TEXT", 0, 0x1000, 0, 0x1000, {{"__text", 0x800, 0x100}});
  b.segment("__OBJC", 0x1000, 0x1000, 0x1000, 0x1000, {{"__module_info", 0x1000, 32}});
  b.end_commands();
  b.bytes.resize(0x2000, 0);
  auto put = [&](std::uint32_t offset, std::vector<std::uint32_t> words) {
    std::memcpy(&b.bytes[offset], words.data(), words.size() * 4);
  };
  auto text = [&](std::uint32_t offset, const char* s) {
    std::memcpy(&b.bytes[offset], s, std::strlen(s) + 1);
  };
  const std::uint32_t A = base;
  put(0x1000, {7, 16, A + 0x1800, A + 0x1100, 7, 16, A + 0x1800, 0});  // modules
  b.bytes[0x1100 + 8] = 2;                                             // cls_def_cnt
  put(0x110C, {A + 0x1200, A + 0x1280});
  // Class QVLegacy: one method list (no array); its metaclass: an array ended by 0xFFFFFFFF.
  put(0x1200, {A + 0x1240, 0, A + 0x1810, 0, 0x4000, 0, 0, A + 0x1400, 0, 0});
  put(0x1240, {0, 0, A + 0x1810, 0, 0, 0, 0, A + 0x1300, 0, 0});
  put(0x1300, {A + 0x1480, 0xFFFFFFFF});
  // Class QVOld: an array of two lists ended by 0; its metaclass has no methods.
  put(0x1280, {A + 0x12C0, 0, A + 0x1820, 0, 0, 0, 0, A + 0x1320, 0, 0});
  put(0x12C0, {0, 0, A + 0x1820, 0, 0, 0, 0, 0, 0, 0});
  put(0x1320, {A + 0x1500, A + 0x1540, 0});
  put(0x1400, {0, 2, A + 0x1830, 0, 0x5000, A + 0x1840, 0, 0x5100});
  put(0x1480, {0, 1, A + 0x1850, 0, 0x5200});
  put(0x1500, {0, 1, A + 0x1860, 0, 0x5300});
  put(0x1540, {0, 1, A + 0x1870, 0, 0x5400});
  text(0x1800, "legacy");
  text(0x1810, "QVLegacy");
  text(0x1820, "QVOld");
  text(0x1830, "run");
  text(0x1840, "walk:");
  text(0x1850, "create");
  text(0x1860, "first");
  text(0x1870, "second");
  return b.bytes;
}

}  // namespace

TEST(CrashObjcSymbols, LegacyModulesOf32BitImages) {
  void* memory =
      mmap(nullptr, 0x2000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(memory));
  std::vector<std::uint8_t> bytes = legacy_image(base);
  std::memcpy(memory, bytes.data(), bytes.size());
  pc::region_table_refresh();
  crcrash_async_macho_t image{};
  ASSERT_EQ(crcrash_nasync_macho_init(&image, pc::mach_task_self(), "legacy", base), CRCRASH_ERR_NONE);

  crcrash_error_t result;
  EXPECT_EQ(parse_order(&image, &result),
            (std::vector<std::string>{"-QVLegacy run", "-QVLegacy walk:", "+QVLegacy create", "-QVOld first",
                                      "-QVOld second"}));
  EXPECT_EQ(result, CRCRASH_ERR_NONE);
  struct Case {
    std::uint64_t pc;
    const char* name;
    std::uint64_t start;
  } cases[] = {{0x5000, "-[QVLegacy run]", 0x5000},   {0x50FF, "-[QVLegacy run]", 0x5000},
               {0x5101, "-[QVLegacy walk:]", 0x5100}, {0x5200, "+[QVLegacy create]", 0x5200},
               {0x5380, "-[QVOld first]", 0x5300},    {0x9999, "-[QVOld second]", 0x5400}};
  for (const Case& c : cases) {
    crcrash_async_symbol_cache_t cache;
    crcrash_async_symbol_cache_init(&cache);
    Found f;
    EXPECT_EQ(crcrash_async_find_symbol(&image, CRCRASH_SYMBOL_STRATEGY_OBJC, &cache, c.pc, found, &f),
              CRCRASH_ERR_NONE);
    EXPECT_EQ(f.name, c.name);
    EXPECT_EQ(f.address, c.start);
    crcrash_async_symbol_cache_free(&cache);
  }
  // A class pointer into unmapped memory fails the parse with the read's error.
  std::uint32_t wild = 0x10;
  std::memcpy(static_cast<std::uint8_t*>(memory) + 0x1110, &wild, 4);
  {
    CapturedStderr captured;
    parse_order(&image, &result);
    EXPECT_NE(captured.text().find("crcrash_async_task_memcpy at"), std::string::npos);
  }
  EXPECT_NE(result, CRCRASH_ERR_NONE);
  crcrash_async_macho_free(&image);
  munmap(memory, 0x2000);
  pc::region_table_refresh();
}
