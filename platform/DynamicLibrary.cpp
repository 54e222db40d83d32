#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

namespace {

std::mutex& librarySubstitutionMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, std::string>& librarySubstitutions() {
  static std::map<std::string, std::string> table;
  return table;
}

std::atomic<int> activeLibrarySubstitutions{0};

}  // namespace

void* DynamicLibrarySymbols::find(const char* name) {
  if (error_) return nullptr;
  // A symbol may legitimately be null only for data; for functions null means it is not there.
  dlerror();
  void* address = dlsym(handle_, name);
  if (!address) {
    const char* reason = dlerror();
    error_ = Error::make(kDynamicLibraryErrorDomain, kDynamicLibraryMissingSymbol,
                         "Could not find " + std::string(name) + " in " + soname_ +
                             (reason ? std::string(": ") + reason : std::string()));
  }
  return address;
}

namespace dynamiclibrary {

void* open(const std::string& soname, Error* error) {
  dlerror();
  void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    fail(error, Error::make(kDynamicLibraryErrorDomain, kDynamicLibraryNotLoaded,
                            "Could not load " + soname + ": " + (reason ? reason : "unknown reason")));
  }
  return handle;
}

std::string effectiveSoname(const std::string& soname) {
  if (!substitutionsActive()) return soname;
  std::lock_guard lock(librarySubstitutionMutex());
  auto found = librarySubstitutions().find(soname);
  return found == librarySubstitutions().end() ? soname : found->second;
}

bool substitutionsActive() { return activeLibrarySubstitutions.load(std::memory_order_acquire) > 0; }

}  // namespace dynamiclibrary

DynamicLibrarySubstitution::DynamicLibrarySubstitution(std::string soname, std::string replacement)
    : soname_(std::move(soname)) {
  std::lock_guard lock(librarySubstitutionMutex());
  librarySubstitutions()[soname_] = std::move(replacement);
  activeLibrarySubstitutions.fetch_add(1, std::memory_order_release);
}

DynamicLibrarySubstitution::~DynamicLibrarySubstitution() {
  std::lock_guard lock(librarySubstitutionMutex());
  librarySubstitutions().erase(soname_);
  activeLibrarySubstitutions.fetch_sub(1, std::memory_order_release);
}

}  // namespace platform
