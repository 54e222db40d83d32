#include "CRLoader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "CRTaskMemory.h"

namespace platform::crash {

namespace {

struct Registration {
  int handle;
  dyld_image_callback added;
  dyld_image_callback removed;
  void* context;
};

struct LoadedObject {
  std::uint64_t header_addr;
  std::intptr_t slide;
  std::string name;
};

struct LoaderState {
  // Serialises syncs and registrations, so every callback pair sees the loader's changes in order. The
  // callbacks run under it: they are the image lists' writers and never call back into the loader.
  std::mutex mutex;
  std::vector<Registration> registrations;
  std::vector<LoadedObject> known;
  unsigned long long adds = ~0ULL;
  unsigned long long subs = ~0ULL;
  int next_handle = 1;
};

LoaderState& state() {
  static LoaderState* s = new LoaderState();  // never destroyed: wrappers may run during exit
  return *s;
}

std::atomic<std::uint64_t> g_sync_count{0};

std::string executable_path() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

struct Snapshot {
  std::vector<LoadedObject> objects;
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  bool counters_only = false;
  unsigned long long known_adds = 0;
  unsigned long long known_subs = 0;
  bool unchanged = false;
  bool started = false;
};

int collectLoadedImage(dl_phdr_info* info, std::size_t size, void* data) {
  auto* snapshot = static_cast<Snapshot*>(data);
  bool first = !snapshot->started;
  snapshot->started = true;
  if (first && size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    snapshot->adds = info->dlpi_adds;
    snapshot->subs = info->dlpi_subs;
    if (snapshot->counters_only && snapshot->adds == snapshot->known_adds &&
        snapshot->subs == snapshot->known_subs) {
      snapshot->unchanged = true;
      return 1;  // nothing was loaded or unloaded since the last sync
    }
  }
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || ph.p_offset != 0) continue;
    LoadedObject object;
    object.header_addr = info->dlpi_addr + ph.p_vaddr;
    object.slide = static_cast<std::intptr_t>(info->dlpi_addr);
    object.name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    snapshot->objects.push_back(std::move(object));
    break;
  }
  return 0;
}

// Under the state's mutex.
void sync_locked(LoaderState& s, bool force) {
  Snapshot snapshot;
  snapshot.counters_only = !force;
  snapshot.known_adds = s.adds;
  snapshot.known_subs = s.subs;
  dl_iterate_phdr(collectLoadedImage, &snapshot);
  if (snapshot.unchanged) return;
  // The main program comes first and has no name of its own.
  if (!snapshot.objects.empty() && snapshot.objects.front().name.empty()) {
    snapshot.objects.front().name = executable_path();
  }
  s.adds = snapshot.adds;
  s.subs = snapshot.subs;
  std::vector<LoadedObject> gone, fresh;
  for (const LoadedObject& old : s.known) {
    auto it = std::find_if(snapshot.objects.begin(), snapshot.objects.end(), [&](const LoadedObject& o) {
      return o.header_addr == old.header_addr && o.name == old.name;
    });
    if (it == snapshot.objects.end()) gone.push_back(old);
  }
  for (const LoadedObject& now : snapshot.objects) {
    auto it = std::find_if(s.known.begin(), s.known.end(), [&](const LoadedObject& o) {
      return o.header_addr == now.header_addr && o.name == now.name;
    });
    if (it == s.known.end()) fresh.push_back(now);
  }
  s.known = std::move(snapshot.objects);
  if (gone.empty() && fresh.empty()) return;
  g_sync_count.fetch_add(1);
  // Memory objects check pages against the readable-region table; bring it up to date first.
  region_table_refresh();
  for (const Registration& r : s.registrations) {
    for (const LoadedObject& o : gone) r.removed(o.header_addr, o.slide, o.name.c_str(), r.context);
    for (const LoadedObject& o : fresh) r.added(o.header_addr, o.slide, o.name.c_str(), r.context);
  }
}

}  // namespace

int dyld_register_image_callbacks(dyld_image_callback added, dyld_image_callback removed, void* context) {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  sync_locked(s, s.known.empty());
  region_table_refresh();
  Registration r{s.next_handle++, added, removed, context};
  s.registrations.push_back(r);
  for (const LoadedObject& o : s.known) added(o.header_addr, o.slide, o.name.c_str(), context);
  return r.handle;
}

void dyld_unregister_image_callbacks(int handle) {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  std::erase_if(s.registrations, [handle](const Registration& r) { return r.handle == handle; });
}

void dyld_sync() {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  sync_locked(s, false);
}

std::uint64_t dyld_sync_count() { return g_sync_count.load(); }

}  // namespace platform::crash

// The executable's dlopen and dlclose: every load and unload in the process passes here, reaches the
// next definition and then re-syncs the image lists.
extern "C" {

__attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
  using dlopen_fn = void* (*)(const char*, int);
  static dlopen_fn next = reinterpret_cast<dlopen_fn>(dlsym(RTLD_NEXT, "dlopen"));
  void* handle = next(file, mode);
  platform::crash::dyld_sync();
  return handle;
}

__attribute__((visibility("default"))) int dlclose(void* handle) {
  using dlclose_fn = int (*)(void*);
  static dlclose_fn next = reinterpret_cast<dlclose_fn>(dlsym(RTLD_NEXT, "dlclose"));
  int result = next(handle);
  platform::crash::dyld_sync();
  return result;
}

}  // extern "C"
