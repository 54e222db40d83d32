// The secret store's common checks, the memory and file stores, and the choice of the
// application's store. The Secret Service store is in SecretServiceStore.cpp.
#include "platform/SecretStore.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

#include "platform/BundleInfo.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/Utf8.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

bool validName(const std::string& text) {
  return utf8::isValid(text) && text.find('\0') == std::string::npos;
}

// service -> account -> secret
using Items = std::map<std::string, std::map<std::string, Data>>;

// A store over a map of items; subclasses say where the map comes from and goes to.
class MapSecretStore : public SecretStore {
 protected:
  // Fills the items; false when they cannot be had (the operation then fails with errSecIO).
  virtual bool load(Items& items) = 0;
  virtual bool save(const Items& items) = 0;

  OSStatus find(const std::string& service, const std::string& account, Data* password) override {
    std::lock_guard lock(mutex_);
    Items items;
    if (!load(items)) return errSecIO;
    auto found = lookup(items, service, account);
    if (!found) return errSecItemNotFound;
    if (password) *password = *found;
    return errSecSuccess;
  }

  OSStatus add(const std::string& service, const std::string& account, const Data& password) override {
    std::lock_guard lock(mutex_);
    Items items;
    if (!load(items)) return errSecIO;
    if (lookup(items, service, account)) return errSecDuplicateItem;
    items[service][account] = password;
    return save(items) ? errSecSuccess : errSecIO;
  }

  OSStatus update(const std::string& service, const std::string& account, const Data& password) override {
    std::lock_guard lock(mutex_);
    Items items;
    if (!load(items)) return errSecIO;
    Data* found = lookup(items, service, account);
    if (!found) return errSecItemNotFound;
    *found = password;
    return save(items) ? errSecSuccess : errSecIO;
  }

  OSStatus remove(const std::string& service, const std::string& account) override {
    std::lock_guard lock(mutex_);
    Items items;
    if (!load(items)) return errSecIO;
    auto it = items.find(service);
    if (it == items.end() || !it->second.erase(account)) return errSecItemNotFound;
    if (it->second.empty()) items.erase(it);
    return save(items) ? errSecSuccess : errSecIO;
  }

  OSStatus removeAll(const std::string& service) override {
    std::lock_guard lock(mutex_);
    Items items;
    if (!load(items)) return errSecIO;
    if (!items.erase(service)) return errSecItemNotFound;
    return save(items) ? errSecSuccess : errSecIO;
  }

 private:
  static Data* lookup(Items& items, const std::string& service, const std::string& account) {
    auto s = items.find(service);
    if (s == items.end()) return nullptr;
    auto a = s->second.find(account);
    return a == s->second.end() ? nullptr : &a->second;
  }

  std::mutex mutex_;
};

class MemorySecretStore final : public MapSecretStore {
 public:
  std::string storeKind() const override { return "memory"; }

 protected:
  bool load(Items& items) override {
    items = items_;
    return true;
  }
  bool save(const Items& items) override {
    items_ = items;
    return true;
  }

 private:
  Items items_;
};

// Reads the file at every operation, so that stores of the same file see each other's changes.
class FileSecretStore final : public MapSecretStore {
 public:
  explicit FileSecretStore(fs::path path) : path_(std::move(path)) {
    // A save cut short leaves a temporary copy of the secrets beside the file: it must not stay.
    files::removeAtomicWriteTemporaries(path_.parent_path(), path_.filename().string());
  }
  std::string storeKind() const override { return "file"; }

 protected:
  bool load(Items& items) override {
    if (blocked_) return false;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path_, ec))) return true;
    Error error;
    std::optional<PropertyList> root;
    if (auto bytes = files::readFile(path_, &error, std::uint64_t(64) << 20))
      root = PropertyList::read(*bytes, &error);
    if (root && parse(*root, items)) return true;
    // Keep an unreadable file for the user; never write over it.
    items.clear();
    fs::path aside;
    for (int n = 1; n <= 1000 && aside.empty(); ++n) {
      fs::path candidate = n == 1 ? fs::path(path_.string() + ".corrupt")
                                  : fs::path(fmt::format("{}.{}.corrupt", path_.string(), n));
      if (!fs::exists(fs::symlink_status(candidate, ec))) aside = candidate;
    }
    if (!aside.empty() && files::moveItem(path_, aside)) {
      log("Secrets file {} could not be read ({}); moved it to {} and started with no secrets",
          path_.string(), error.description, aside.string());
      return true;
    }
    blocked_ = true;
    log("Secrets file {} could not be read ({}) nor moved aside; secrets cannot be stored", path_.string(),
        error.description);
    return false;
  }

  bool save(const Items& items) override {
    PropertyList::Dictionary services;
    for (const auto& [service, accounts] : items) {
      PropertyList::Dictionary byAccount;
      for (const auto& [account, secret] : accounts) byAccount.emplace(account, secret);
      services.emplace(service, std::move(byAccount));
    }
    PropertyList root(PropertyList::Dictionary{{"version", 1}, {"items", std::move(services)}});
    Error error;
    auto bytes = root.write(PropertyList::Format::Binary, &error);
    fs::path folder = path_.parent_path();
    bool ok = bytes && files::createDirectory(folder, &error) && ::chmod(folder.c_str(), 0700) == 0 &&
              files::writeAtomically(path_, *bytes, &error, 0600) && ::chmod(path_.c_str(), 0600) == 0;
    if (!ok) log("Could not write secrets to {}: {}", path_.string(), error.description);
    return ok;
  }

 private:
  static bool parse(const PropertyList& root, Items& items) {
    const PropertyList* services = root.find("items");
    if (!services || !services->asDictionary()) return false;
    for (const auto& [service, accounts] : *services->asDictionary()) {
      if (!accounts.asDictionary()) return false;
      for (const auto& [account, secret] : *accounts.asDictionary()) {
        if (!secret.asData()) return false;
        items[service][account] = *secret.asData();
      }
    }
    return true;
  }

  const fs::path path_;
  bool blocked_ = false;
};

std::mutex gSharedMutex;
std::shared_ptr<SecretStore> gShared;

}  // namespace

// ---------------------------------------------------------------------------------------------

OSStatus SecretStore::findGenericPassword(const std::string& service, const std::string& account,
                                          Data* password) {
  if (!validName(service) || !validName(account)) return errSecParam;
  return find(service, account, password);
}

OSStatus SecretStore::addGenericPassword(const std::string& service, const std::string& account,
                                         const Data& password) {
  if (!validName(service) || !validName(account)) return errSecParam;
  return add(service, account, password);
}

OSStatus SecretStore::updateGenericPassword(const std::string& service, const std::string& account,
                                            const Data& password) {
  if (!validName(service) || !validName(account)) return errSecParam;
  return update(service, account, password);
}

OSStatus SecretStore::deleteGenericPassword(const std::string& service, const std::string& account) {
  if (!validName(service) || !validName(account)) return errSecParam;
  return remove(service, account);
}

OSStatus SecretStore::deleteAllGenericPasswords(const std::string& service) {
  if (!validName(service)) return errSecParam;
  return removeAll(service);
}

std::string SecretStore::statusDescription(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "no error";
    case errSecUserCanceled:
      return "the keyring's prompt was dismissed";
    case errSecInteractionNotAllowed:
      return "the keyring is locked";
    case errSecNotAvailable:
      return "no secret service answers";
    case errSecIO:
      return "the secrets file could not be read or written";
    case errSecParam:
      return "the name is not valid";
    case errSecDuplicateItem:
      return "the item exists already";
    case errSecItemNotFound:
      return "there is no such item";
    default:
      return fmt::format("error {}", status);
  }
}

std::shared_ptr<DispatchQueue> SecretStore::queue() {
  // Never destroyed: a task waiting on a prompt must not hold up the end of the program.
  static auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::serial("secret store"));
  return *queue;
}

std::shared_ptr<SecretStore> SecretStore::memoryStore() { return std::make_shared<MemorySecretStore>(); }

std::shared_ptr<SecretStore> SecretStore::fileStore(const std::filesystem::path& path) {
  return std::make_shared<FileSecretStore>(path);
}

std::filesystem::path SecretStore::standardFilePath() {
  fs::path dataHome = paths::applicationSupportDirectory().parent_path();
  return dataHome / (std::string(bundleinfo::kIdentifier) + "-secrets") / "secrets.plist";
}

std::shared_ptr<SecretStore> SecretStore::shared() {
  std::lock_guard lock(gSharedMutex);
  if (gShared) return gShared;
  Error error;
  gShared = secretServiceStore(&error);
  if (!gShared) {
    gShared = fileStore(standardFilePath());
    static std::once_flag announced;
    std::call_once(announced, [&] {
      log("No Secret Service answers on the session bus ({}); keeping secrets in {}", error.description,
          standardFilePath().string());
    });
  }
  return gShared;
}

void SecretStore::setShared(std::shared_ptr<SecretStore> store) {
  std::lock_guard lock(gSharedMutex);
  gShared = std::move(store);
}

}  // namespace platform
