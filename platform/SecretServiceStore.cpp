// The secret store over the freedesktop Secret Service (GNOME Keyring and others) through
// libsecret: one item per service and account, with both as item attributes.
#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/BundleInfo.h"
#include "platform/SecretStore.h"

namespace platform {

namespace {

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
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;

Attributes itemAttributes(const std::string& service, const std::string& account) {
  return Attributes(secret_attributes_build(passwordSchema(), "service", service.c_str(), "account",
                                            account.c_str(), nullptr));
}

Attributes serviceAttributes(const std::string& service) {
  return Attributes(secret_attributes_build(passwordSchema(), "service", service.c_str(), nullptr));
}

OSStatus statusOf(GError* error) {
  OSStatus status = errSecNotAvailable;
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) status = errSecInteractionNotAllowed;
  g_error_free(error);
  return status;
}

class SecretServiceStore final : public SecretStore {
 public:
  explicit SecretServiceStore(SecretService* service) : service_(service) {}
  ~SecretServiceStore() override { g_object_unref(service_); }
  SecretServiceStore(const SecretServiceStore&) = delete;
  SecretServiceStore& operator=(const SecretServiceStore&) = delete;

  std::string storeKind() const override { return "Secret Service"; }

 protected:
  OSStatus find(const std::string& service, const std::string& account, Data* password) override {
    std::lock_guard lock(mutex_);
    return lookup(service, account, password);
  }

  OSStatus add(const std::string& service, const std::string& account, const Data& password) override {
    std::lock_guard lock(mutex_);
    OSStatus status = lookup(service, account, nullptr);
    if (status == errSecSuccess) return errSecDuplicateItem;
    if (status != errSecItemNotFound) return status;
    return store(service, account, password);
  }

  OSStatus update(const std::string& service, const std::string& account, const Data& password) override {
    std::lock_guard lock(mutex_);
    OSStatus status = lookup(service, account, nullptr);
    if (status != errSecSuccess) return status;
    // Storing under the same attributes replaces the item's secret.
    return store(service, account, password);
  }

  OSStatus remove(const std::string& service, const std::string& account) override {
    std::lock_guard lock(mutex_);
    return clear(itemAttributes(service, account));
  }

  OSStatus removeAll(const std::string& service) override {
    std::lock_guard lock(mutex_);
    return clear(serviceAttributes(service));
  }

 private:
  OSStatus lookup(const std::string& service, const std::string& account, Data* password) {
    GError* error = nullptr;
    auto attributes = itemAttributes(service, account);
    SecretValue* value =
        secret_service_lookup_sync(service_, passwordSchema(), attributes.get(), nullptr, &error);
    if (error) {
      if (value) secret_value_unref(value);
      return statusOf(error);
    }
    if (!value) return errSecItemNotFound;
    if (password) {
      gsize length = 0;
      const gchar* bytes = secret_value_get(value, &length);
      password->assign(reinterpret_cast<const std::uint8_t*>(bytes),
                       reinterpret_cast<const std::uint8_t*>(bytes) + length);
    }
    secret_value_unref(value);
    return errSecSuccess;
  }

  OSStatus store(const std::string& service, const std::string& account, const Data& password) {
    GError* error = nullptr;
    auto attributes = itemAttributes(service, account);
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(password.data()),
                                          static_cast<gssize>(password.size()), "application/octet-stream");
    std::string label = service + " (" + account + ")";
    gboolean ok = secret_service_store_sync(service_, passwordSchema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                            label.c_str(), value, nullptr, &error);
    secret_value_unref(value);
    if (error) return statusOf(error);
    return ok ? errSecSuccess : errSecNotAvailable;
  }

  OSStatus clear(Attributes attributes) {
    GError* error = nullptr;
    gboolean removed = secret_service_clear_sync(service_, passwordSchema(), attributes.get(), nullptr, &error);
    if (error) return statusOf(error);
    return removed ? errSecSuccess : errSecItemNotFound;
  }

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
  if (!sessionBusReachable()) {
    fail(error, Error::make("SecretStore", errSecNotAvailable, "no session bus"));
    return nullptr;
  }
  GError* gerror = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
  if (!service) {
    fail(error, Error::make("SecretStore", errSecNotAvailable, gerror ? gerror->message : "no Secret Service"));
    if (gerror) g_error_free(gerror);
    return nullptr;
  }
  auto store = std::make_shared<SecretServiceStore>(service);
  // A lookup proves that a service answers (the proxy alone does not).
  OSStatus status = store->findGenericPassword(std::string(bundleinfo::kIdentifier) + ".probe", "probe");
  if (status != errSecSuccess && status != errSecItemNotFound) {
    fail(error, Error::make("SecretStore", status, "the Secret Service does not answer"));
    return nullptr;
  }
  return store;
}

}  // namespace platform
