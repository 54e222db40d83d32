#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform {

// Libraries that only some features need (HTTP, the Secret Service, service discovery, port mapping)
// are opened with dlopen when one of those features is first used, rather than linked: a linked
// library is mapped, relocated and initialised at every start whether it is used or not, with all the
// libraries it needs in turn. The callers keep including the library's own headers for its types and
// constants, and call its functions through a table of typed pointers that this facility fills.
//
// A table is a struct of function pointers typed after the library's declarations, with a member
// that names each one:
//
//   struct ZlibFunctions {
//     decltype(&::zlibVersion) zlibVersion = nullptr;
//     void bind(platform::DynamicLibrarySymbols& symbols) { symbols(zlibVersion, "zlibVersion"); }
//   };
//   static auto& zlib = *new platform::DynamicLibrary<ZlibFunctions>("libz.so.1");
//   if (const ZlibFunctions* z = zlib.functions(&error)) z->zlibVersion();
//
// Symbols are looked up in the library and in the libraries it needs (dlsym's search of a handle),
// so a table may also hold functions of those (GLib's beside libsecret's).

inline constexpr const char* kDynamicLibraryErrorDomain = "DynamicLibrary";
inline constexpr std::int64_t kDynamicLibraryNotLoaded = 1;       // dlopen failed
inline constexpr std::int64_t kDynamicLibraryMissingSymbol = 2;   // a function of the table is not there
inline constexpr std::int64_t kDynamicLibraryNotInitialised = 3;  // the library's own set-up failed

// Fills a table from one opened library; remembers the first name it could not find.
class DynamicLibrarySymbols {
 public:
  DynamicLibrarySymbols(void* handle, std::string soname) : handle_(handle), soname_(std::move(soname)) {}

  template <typename Function>
  void operator()(Function*& slot, const char* name) {
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    slot = reinterpret_cast<Function*>(find(name));
  }

  // Null when every symbol was found, else the error naming the library and the first missing one.
  const std::optional<Error>& error() const { return error_; }

 private:
  void* find(const char* name);

  void* handle_;
  std::string soname_;
  std::optional<Error> error_;
};

namespace dynamiclibrary {

// dlopen by soname (RTLD_NOW, so that a library that cannot be fully bound fails here and not at a
// later call). Null with the loader's reason in `error`. Handles are never closed: libraries such as
// GLib register types and threads that must outlive every use.
void* open(const std::string& soname, Error* error);

// The soname a table opens in place of `soname` (itself unless a test substitutes another).
std::string effectiveSoname(const std::string& soname);
// True while any substitution is in force; the common case reads one atomic flag.
bool substitutionsActive();

}  // namespace dynamiclibrary

// For tests: while this object lives, every table of `soname` opens `replacement` instead (a name
// that does not exist shows how the callers behave when the library is not installed; a library
// without the table's symbols, how they behave when it is too old).
class DynamicLibrarySubstitution {
 public:
  DynamicLibrarySubstitution(std::string soname, std::string replacement);
  ~DynamicLibrarySubstitution();
  DynamicLibrarySubstitution(const DynamicLibrarySubstitution&) = delete;
  DynamicLibrarySubstitution& operator=(const DynamicLibrarySubstitution&) = delete;

 private:
  std::string soname_;
};

// One library's table of functions, opened and filled on first use from whichever thread asks first;
// threads that ask meanwhile wait for that one outcome, which is kept for the life of the process
// (a library that failed is not tried again). The application's tables are made once and never
// destroyed (`*new`, as above): objects that hold the library's resources, static ones included,
// release them through the table, however late in the process's exit that happens.
template <typename Functions>
class DynamicLibrary {
 public:
  // Runs once after the table is filled, before any caller gets it (a library's global set-up);
  // false with a description fails the library.
  using Initialise = std::function<bool(const Functions& functions, std::string* failure)>;

  explicit DynamicLibrary(std::string soname, Initialise initialise = {})
      : soname_(std::move(soname)), initialise_(std::move(initialise)) {}
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  const std::string& soname() const { return soname_; }

  // The filled table, or nullptr with an error (domain kDynamicLibraryErrorDomain) whose description
  // names the library and, for a missing function, the symbol.
  const Functions* functions(Error* error = nullptr) {
    const Outcome* outcome = primary_.load(std::memory_order_acquire);
    if (!outcome || dynamiclibrary::substitutionsActive())
      outcome = &outcomeFor(dynamiclibrary::effectiveSoname(soname_));
    if (!outcome->functions) fail(error, outcome->error);
    return outcome->functions.get();
  }

  // Whether the library can be used (opening it if it was not yet).
  bool isAvailable(Error* error = nullptr) { return functions(error) != nullptr; }

  // The number of times this table called dlopen (once per soname, however many threads asked).
  int openCount() const {
    std::lock_guard lock(mutex_);
    return openCount_;
  }

 private:
  struct Outcome {
    std::unique_ptr<const Functions> functions;
    Error error;
  };

  const Outcome& outcomeFor(const std::string& soname) {
    std::lock_guard lock(mutex_);
    auto& outcome = outcomes_[soname];
    if (!outcome) {
      outcome = load(soname);
      if (soname == soname_) primary_.store(outcome.get(), std::memory_order_release);
    }
    return *outcome;
  }

  std::unique_ptr<Outcome> load(const std::string& soname) {
    auto outcome = std::make_unique<Outcome>();
    ++openCount_;
    void* handle = dynamiclibrary::open(soname, &outcome->error);
    if (!handle) return outcome;
    auto functions = std::make_unique<Functions>();
    DynamicLibrarySymbols symbols(handle, soname);
    functions->bind(symbols);
    if (symbols.error()) {
      outcome->error = *symbols.error();
      return outcome;
    }
    std::string failure;
    if (initialise_ && !initialise_(*functions, &failure)) {
      outcome->error = Error::make(kDynamicLibraryErrorDomain, kDynamicLibraryNotInitialised,
                                   "Could not initialise " + soname + ": " + failure);
      return outcome;
    }
    outcome->functions = std::move(functions);
    return outcome;
  }

  const std::string soname_;
  const Initialise initialise_;
  mutable std::mutex mutex_;
  // Outcomes by the soname actually opened; entries are never removed, so pointers handed out stay
  // valid.
  std::map<std::string, std::unique_ptr<Outcome>> outcomes_;
  std::atomic<const Outcome*> primary_{nullptr};
  int openCount_ = 0;
};

}  // namespace platform
