#pragma once
// The dynamic loader's image callbacks, on glibc: a replay of dl_iterate_phdr when a callback pair is
// registered, then a re-sync after every dlopen and dlclose. The executable exports wrappers of dlopen and
// dlclose that forward to the next definition (RTLD_NEXT) and then re-sync; the loader's add and
// subtract counters tell whether anything changed. Normal context only: dl_iterate_phdr takes the
// loader's lock, so nothing here is ever called at crash time.
//
// Limits: objects the C library loads by itself (NSS modules) appear at the next sync; a library's own
// RUNPATH no longer applies to the names it passes to dlopen, since the call now comes from the
// executable.

#include <cstdint>

namespace platform::crash {

// header_addr: the address of the object's PT_LOAD at file offset 0; slide: its load bias; name: its
// path (the executable's real path for the main program).
using dyld_image_callback = void (*)(std::uint64_t header_addr, std::intptr_t slide, const char* name,
                                     void* context);

// Registers the pair and calls `added` for every object loaded now. Returns a handle for unregistering.
int dyld_register_image_callbacks(dyld_image_callback added, dyld_image_callback removed, void* context);
void dyld_unregister_image_callbacks(int handle);

// Compares the loader's objects with the last known set and reports the differences. Called by the
// dlopen and dlclose wrappers; callable by anyone.
void dyld_sync();

// Number of syncs that found a change, for tests and benchmarks.
std::uint64_t dyld_sync_count();

}  // namespace platform::crash
