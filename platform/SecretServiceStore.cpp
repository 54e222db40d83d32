// The secret store over the freedesktop Secret Service (GNOME Keyring and others) through
// libsecret: one item per service and account, with both as item attributes. libsecret (with GIO,
// GObject and libgcrypt behind it) is opened when the store is first asked for, not at start.
//
// The store works with the keyring's object paths (libsecret's path functions) rather than its
// all-in-one calls, so that it can tell a prompt the user dismissed from other failures: those
// calls answer a dismissed prompt with a misleading error or no error at all.
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include <libsecret/secret.h>

#include <cassert>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "platform/BundleInfo.h"
#include "platform/DynamicLibrary.h"
#include "platform/MainQueue.h"
#include "platform/SecretStore.h"

namespace platform {

namespace {

// Every call waits for the keyring's answer, which may wait on a prompt: the application makes them
// off the main thread.
void checkThread() {
  assert(!MainQueue::isMainThread() && "the Secret Service is called on the main thread");
}

// The functions of libsecret, and of the GLib and GObject it brings, that the store calls.
struct SecretFunctions {
  decltype(&::secret_service_get_sync) secret_service_get_sync = nullptr;
  decltype(&::secret_service_search_for_dbus_paths_sync) secret_service_search_for_dbus_paths_sync = nullptr;
  decltype(&::secret_service_get_secret_for_dbus_path_sync) secret_service_get_secret_for_dbus_path_sync =
      nullptr;
  decltype(&::secret_service_unlock_dbus_paths_sync) secret_service_unlock_dbus_paths_sync = nullptr;
  decltype(&::secret_service_read_alias_dbus_path_sync) secret_service_read_alias_dbus_path_sync = nullptr;
  decltype(&::secret_service_create_collection_dbus_path_sync)
      secret_service_create_collection_dbus_path_sync = nullptr;
  decltype(&::secret_service_store_sync) secret_service_store_sync = nullptr;
  decltype(&::secret_service_clear_sync) secret_service_clear_sync = nullptr;
  // Variadic (name and value pairs ending with a null pointer), as declared.
  decltype(&::secret_attributes_build) secret_attributes_build = nullptr;
  decltype(&::secret_value_new) secret_value_new = nullptr;
  decltype(&::secret_value_get) secret_value_get = nullptr;
  decltype(&::secret_value_unref) secret_value_unref = nullptr;
  decltype(&::secret_error_get_quark) secret_error_get_quark = nullptr;
  decltype(&::g_hash_table_unref) g_hash_table_unref = nullptr;
  decltype(&::g_hash_table_new_full) g_hash_table_new_full = nullptr;
  decltype(&::g_hash_table_insert) g_hash_table_insert = nullptr;
  decltype(&::g_str_hash) g_str_hash = nullptr;
  decltype(&::g_str_equal) g_str_equal = nullptr;
  decltype(&::g_variant_new_string) g_variant_new_string = nullptr;
  decltype(&::g_variant_ref_sink) g_variant_ref_sink = nullptr;
  decltype(&::g_variant_unref) g_variant_unref = nullptr;
  decltype(&::g_free) g_free = nullptr;
  decltype(&::g_strfreev) g_strfreev = nullptr;
  decltype(&::g_error_free) g_error_free = nullptr;
  decltype(&::g_object_unref) g_object_unref = nullptr;

  void bind(DynamicLibrarySymbols& symbols) {
    symbols(secret_service_get_sync, "secret_service_get_sync");
    symbols(secret_service_search_for_dbus_paths_sync, "secret_service_search_for_dbus_paths_sync");
    symbols(secret_service_get_secret_for_dbus_path_sync, "secret_service_get_secret_for_dbus_path_sync");
    symbols(secret_service_unlock_dbus_paths_sync, "secret_service_unlock_dbus_paths_sync");
    symbols(secret_service_read_alias_dbus_path_sync, "secret_service_read_alias_dbus_path_sync");
    symbols(secret_service_create_collection_dbus_path_sync,
            "secret_service_create_collection_dbus_path_sync");
    symbols(secret_service_store_sync, "secret_service_store_sync");
    symbols(secret_service_clear_sync, "secret_service_clear_sync");
    symbols(secret_attributes_build, "secret_attributes_build");
    symbols(secret_value_new, "secret_value_new");
    symbols(secret_value_get, "secret_value_get");
    symbols(secret_value_unref, "secret_value_unref");
    symbols(secret_error_get_quark, "secret_error_get_quark");
    symbols(g_hash_table_unref, "g_hash_table_unref");
    symbols(g_hash_table_new_full, "g_hash_table_new_full");
    symbols(g_hash_table_insert, "g_hash_table_insert");
    symbols(g_str_hash, "g_str_hash");
    symbols(g_str_equal, "g_str_equal");
    symbols(g_variant_new_string, "g_variant_new_string");
    symbols(g_variant_ref_sink, "g_variant_ref_sink");
    symbols(g_variant_unref, "g_variant_unref");
    symbols(g_free, "g_free");
    symbols(g_strfreev, "g_strfreev");
    symbols(g_error_free, "g_error_free");
    symbols(g_object_unref, "g_object_unref");
  }
};

DynamicLibrary<SecretFunctions>& secretLibrary() {
  // Never destroyed: the shared store, a static, releases its service through it at exit.
  static auto& library = *new DynamicLibrary<SecretFunctions>("libsecret-1.so.0");
  return library;
}

const SecretSchema* passwordSchema() {
  // The schema's name tags our items; only items with this name match lookups.
  static const std::string name = std::string(bundleinfo::kIdentifier) + ".GenericPassword";
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = name.c_str();
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

struct HashTableDeleter {
  const SecretFunctions* secret;
  void operator()(GHashTable* table) const { secret->g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;

Attributes itemAttributes(const SecretFunctions& secret, const std::string& service,
                          const std::string& account) {
  return Attributes(secret.secret_attributes_build(passwordSchema(), "service", service.c_str(), "account",
                                                   account.c_str(), nullptr),
                    HashTableDeleter{&secret});
}

Attributes serviceAttributes(const SecretFunctions& secret, const std::string& service) {
  return Attributes(secret.secret_attributes_build(passwordSchema(), "service", service.c_str(), nullptr),
                    HashTableDeleter{&secret});
}

OSStatus statusOf(const SecretFunctions& secret, GError* error) {
  OSStatus status = errSecNotAvailable;
  if (error->domain == secret.secret_error_get_quark() && error->code == SECRET_ERROR_IS_LOCKED)
    status = errSecInteractionNotAllowed;
  secret.g_error_free(error);
  return status;
}

class SecretServiceStore final : public SecretStore {
 public:
  SecretServiceStore(const SecretFunctions& secret, SecretService* service)
      : secret_(secret), service_(service) {}
  ~SecretServiceStore() override { secret_.g_object_unref(service_); }
  SecretServiceStore(const SecretServiceStore&) = delete;
  SecretServiceStore& operator=(const SecretServiceStore&) = delete;

  std::string storeKind() const override { return "Secret Service"; }

 protected:
  OSStatus find(const std::string& service, const std::string& account, Data* password) override {
    checkThread();
    std::lock_guard lock(mutex_);
    return lookup(service, account, password);
  }

  OSStatus add(const std::string& service, const std::string& account, const Data& password) override {
    checkThread();
    std::lock_guard lock(mutex_);
    OSStatus status = lookup(service, account, nullptr);
    if (status == errSecSuccess) return errSecDuplicateItem;
    if (status != errSecItemNotFound) return status;
    return store(service, account, password);
  }

  OSStatus update(const std::string& service, const std::string& account, const Data& password) override {
    checkThread();
    std::lock_guard lock(mutex_);
    OSStatus status = lookup(service, account, nullptr);
    if (status != errSecSuccess) return status;
    // Storing under the same attributes replaces the item's secret.
    return store(service, account, password);
  }

  OSStatus remove(const std::string& service, const std::string& account) override {
    checkThread();
    std::lock_guard lock(mutex_);
    return clear(itemAttributes(secret_, service, account));
  }

  OSStatus removeAll(const std::string& service) override {
    checkThread();
    std::lock_guard lock(mutex_);
    return clear(serviceAttributes(secret_, service));
  }

 private:
  // The item's path: an unlocked item first. Asking for its secret unlocks it, which may prompt;
  // asking whether it exists does not.
  OSStatus lookup(const std::string& service, const std::string& account, Data* password) {
    GError* error = nullptr;
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    auto attributes = itemAttributes(secret_, service, account);
    if (!secret_.secret_service_search_for_dbus_paths_sync(service_, passwordSchema(), attributes.get(),
                                                           nullptr, &unlocked, &locked, &error)) {
      return error ? statusOf(secret_, error) : errSecNotAvailable;
    }
    std::string path;
    bool isLocked = false;
    if (unlocked && unlocked[0]) {
      path = unlocked[0];
    } else if (locked && locked[0]) {
      path = locked[0];
      isLocked = true;
    }
    secret_.g_strfreev(unlocked);
    secret_.g_strfreev(locked);
    if (path.empty()) return errSecItemNotFound;
    if (!password) return errSecSuccess;
    if (isLocked) {
      OSStatus status = unlock(path);
      if (status != errSecSuccess) return status;
    }
    SecretValue* value =
        secret_.secret_service_get_secret_for_dbus_path_sync(service_, path.c_str(), nullptr, &error);
    if (error) {
      if (value) secret_.secret_value_unref(value);
      return statusOf(secret_, error);
    }
    if (!value) return errSecItemNotFound;  // gone meanwhile
    gsize length = 0;
    const gchar* bytes = secret_.secret_value_get(value, &length);
    password->assign(reinterpret_cast<const std::uint8_t*>(bytes),
                     reinterpret_cast<const std::uint8_t*>(bytes) + length);
    secret_.secret_value_unref(value);
    return errSecSuccess;
  }

  // Unlocks a collection or item; a dismissed prompt leaves it locked.
  OSStatus unlock(const std::string& path) {
    GError* error = nullptr;
    const gchar* paths[] = {path.c_str(), nullptr};
    gint count = secret_.secret_service_unlock_dbus_paths_sync(service_, paths, nullptr, nullptr, &error);
    if (error) return statusOf(secret_, error);
    return count > 0 ? errSecSuccess : errSecUserCanceled;
  }

  // The default keyring's path, made when there is none (on a new account: the keyring asks for the
  // new keyring's password) and unlocked when locked (it asks for that password).
  OSStatus defaultCollection(std::string& path) {
    GError* error = nullptr;
    gchar* found = secret_.secret_service_read_alias_dbus_path_sync(service_, "default", nullptr, &error);
    if (error) return statusOf(secret_, error);
    if (!found) {
      GHashTable* properties =
          secret_.g_hash_table_new_full(secret_.g_str_hash, secret_.g_str_equal, nullptr,
                                        reinterpret_cast<GDestroyNotify>(secret_.g_variant_unref));
      secret_.g_hash_table_insert(
          properties, const_cast<char*>("org.freedesktop.Secret.Collection.Label"),
          secret_.g_variant_ref_sink(secret_.g_variant_new_string("Default keyring")));
      found = secret_.secret_service_create_collection_dbus_path_sync(
          service_, properties, "default", SECRET_COLLECTION_CREATE_NONE, nullptr, &error);
      secret_.g_hash_table_unref(properties);
      if (error) {
        secret_.g_free(found);
        return statusOf(secret_, error);
      }
    }
    // A dismissed prompt answers the empty path.
    path = found && std::string_view(found) != "/" ? found : "";
    secret_.g_free(found);
    if (path.empty()) return errSecUserCanceled;
    return unlock(path);
  }

  OSStatus store(const std::string& service, const std::string& account, const Data& password) {
    std::string collection;
    OSStatus status = defaultCollection(collection);
    if (status != errSecSuccess) return status;
    GError* error = nullptr;
    auto attributes = itemAttributes(secret_, service, account);
    SecretValue* value =
        secret_.secret_value_new(reinterpret_cast<const gchar*>(password.data()),
                                 static_cast<gssize>(password.size()), "application/octet-stream");
    std::string label = service + " (" + account + ")";
    gboolean ok =
        secret_.secret_service_store_sync(service_, passwordSchema(), attributes.get(), collection.c_str(),
                                          label.c_str(), value, nullptr, &error);
    secret_.secret_value_unref(value);
    if (error) return statusOf(secret_, error);
    return ok ? errSecSuccess : errSecNotAvailable;
  }

  OSStatus clear(Attributes attributes) {
    GError* error = nullptr;
    gboolean removed =
        secret_.secret_service_clear_sync(service_, passwordSchema(), attributes.get(), nullptr, &error);
    if (error) return statusOf(secret_, error);
    return removed ? errSecSuccess : errSecItemNotFound;
  }

  const SecretFunctions& secret_;
  SecretService* service_;
  std::mutex mutex_;
};

// True when a session bus can be reached without starting one: an address in the environment,
// or the per-user bus socket in the runtime folder.
bool sessionBusReachable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

}  // namespace

std::shared_ptr<SecretStore> SecretStore::secretServiceStore(Error* error) {
  checkThread();
  if (!sessionBusReachable()) {
    fail(error, Error::make("SecretStore", errSecNotAvailable, "no session bus"));
    return nullptr;
  }
  // Where libsecret is not installed (or lacks a function) there is no Secret Service to talk to.
  Error loadError;
  const SecretFunctions* secret = secretLibrary().functions(&loadError);
  if (!secret) {
    fail(error, Error::make("SecretStore", errSecNotAvailable, loadError.description));
    return nullptr;
  }
  GError* gerror = nullptr;
  SecretService* service = secret->secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
  if (!service) {
    fail(error,
         Error::make("SecretStore", errSecNotAvailable, gerror ? gerror->message : "no Secret Service"));
    if (gerror) secret->g_error_free(gerror);
    return nullptr;
  }
  auto store = std::make_shared<SecretServiceStore>(*secret, service);
  // A lookup proves that a service answers (the proxy alone does not).
  OSStatus status = store->findGenericPassword(std::string(bundleinfo::kIdentifier) + ".probe", "probe");
  if (status != errSecSuccess && status != errSecItemNotFound) {
    fail(error, Error::make("SecretStore", status, "the Secret Service does not answer"));
    return nullptr;
  }
  return store;
}

}  // namespace platform
