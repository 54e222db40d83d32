#include "httpserver/WebServerBonjourService.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "httpserver/WebServerFunctions.h"
#include "platform/DynamicLibrary.h"

namespace {

// The functions of the Avahi client library, and of avahi-common that it brings, that the service
// calls. The library is opened when web sharing first publishes a service, not at start.
struct AvahiFunctions {
  decltype(&::avahi_alternative_service_name) avahi_alternative_service_name = nullptr;
  decltype(&::avahi_client_errno) avahi_client_errno = nullptr;
  decltype(&::avahi_client_free) avahi_client_free = nullptr;
  decltype(&::avahi_client_new) avahi_client_new = nullptr;
  decltype(&::avahi_elapse_time) avahi_elapse_time = nullptr;
  decltype(&::avahi_entry_group_add_service) avahi_entry_group_add_service = nullptr;
  decltype(&::avahi_entry_group_commit) avahi_entry_group_commit = nullptr;
  decltype(&::avahi_entry_group_free) avahi_entry_group_free = nullptr;
  decltype(&::avahi_entry_group_get_client) avahi_entry_group_get_client = nullptr;
  decltype(&::avahi_entry_group_is_empty) avahi_entry_group_is_empty = nullptr;
  decltype(&::avahi_entry_group_new) avahi_entry_group_new = nullptr;
  decltype(&::avahi_entry_group_reset) avahi_entry_group_reset = nullptr;
  decltype(&::avahi_free) avahi_free = nullptr;
  decltype(&::avahi_service_resolver_free) avahi_service_resolver_free = nullptr;
  decltype(&::avahi_service_resolver_get_client) avahi_service_resolver_get_client = nullptr;
  decltype(&::avahi_service_resolver_new) avahi_service_resolver_new = nullptr;
  decltype(&::avahi_threaded_poll_free) avahi_threaded_poll_free = nullptr;
  decltype(&::avahi_threaded_poll_get) avahi_threaded_poll_get = nullptr;
  decltype(&::avahi_threaded_poll_lock) avahi_threaded_poll_lock = nullptr;
  decltype(&::avahi_threaded_poll_new) avahi_threaded_poll_new = nullptr;
  decltype(&::avahi_threaded_poll_start) avahi_threaded_poll_start = nullptr;
  decltype(&::avahi_threaded_poll_stop) avahi_threaded_poll_stop = nullptr;
  decltype(&::avahi_threaded_poll_unlock) avahi_threaded_poll_unlock = nullptr;

  void bind(platform::DynamicLibrarySymbols& symbols) {
    symbols(avahi_alternative_service_name, "avahi_alternative_service_name");
    symbols(avahi_client_errno, "avahi_client_errno");
    symbols(avahi_client_free, "avahi_client_free");
    symbols(avahi_client_new, "avahi_client_new");
    symbols(avahi_elapse_time, "avahi_elapse_time");
    symbols(avahi_entry_group_add_service, "avahi_entry_group_add_service");
    symbols(avahi_entry_group_commit, "avahi_entry_group_commit");
    symbols(avahi_entry_group_free, "avahi_entry_group_free");
    symbols(avahi_entry_group_get_client, "avahi_entry_group_get_client");
    symbols(avahi_entry_group_is_empty, "avahi_entry_group_is_empty");
    symbols(avahi_entry_group_new, "avahi_entry_group_new");
    symbols(avahi_entry_group_reset, "avahi_entry_group_reset");
    symbols(avahi_free, "avahi_free");
    symbols(avahi_service_resolver_free, "avahi_service_resolver_free");
    symbols(avahi_service_resolver_get_client, "avahi_service_resolver_get_client");
    symbols(avahi_service_resolver_new, "avahi_service_resolver_new");
    symbols(avahi_threaded_poll_free, "avahi_threaded_poll_free");
    symbols(avahi_threaded_poll_get, "avahi_threaded_poll_get");
    symbols(avahi_threaded_poll_lock, "avahi_threaded_poll_lock");
    symbols(avahi_threaded_poll_new, "avahi_threaded_poll_new");
    symbols(avahi_threaded_poll_start, "avahi_threaded_poll_start");
    symbols(avahi_threaded_poll_stop, "avahi_threaded_poll_stop");
    symbols(avahi_threaded_poll_unlock, "avahi_threaded_poll_unlock");
  }
};

platform::DynamicLibrary<AvahiFunctions>& avahiLibrary() {
  // Never destroyed (see DynamicLibrary): a service may outlive static destruction's turn for it.
  static auto& library = *new platform::DynamicLibrary<AvahiFunctions>("libavahi-client.so.3");
  return library;
}

WebServerServiceError avahiError(int code) {
  if (code == AVAHI_ERR_TIMEOUT) return {kWebServerNetServicesTimeoutError, kWebServerNetServicesErrorDomain};
  return {code, kWebServerNetServicesErrorDomain};
}

// Publishes through the Avahi daemon over D-Bus. The client lives on Avahi's own poll thread; calls
// from other threads take the poll's lock, and the callbacks run on that thread with it held.
class AvahiBonjourService final : public WebServerBonjourService {
 public:
  // `avahi` and `poll` are null when the Avahi client library cannot be loaded (`unavailable` says
  // why): registration then fails as it does without a daemon.
  AvahiBonjourService(const AvahiFunctions* avahi, AvahiThreadedPoll* poll, std::string unavailable,
                      std::string type, std::string name, std::uint16_t port)
      : avahi_(avahi),
        poll_(poll),
        unavailable_(std::move(unavailable)),
        type_(std::move(type)),
        name_(std::move(name)),
        port_(port) {}

  ~AvahiBonjourService() override {
    if (!poll_) return;
    if (started_) avahi_->avahi_threaded_poll_stop(poll_);
    // The poll thread is gone: nothing runs any more but this.
    if (timeout_) avahi_->avahi_threaded_poll_get(poll_)->timeout_free(timeout_);
    if (resolver_) avahi_->avahi_service_resolver_free(resolver_);
    if (group_) avahi_->avahi_entry_group_free(group_);
    if (client_) avahi_->avahi_client_free(client_);
    avahi_->avahi_threaded_poll_free(poll_);
  }

  void registerService(RegistrationCallback callback) override {
    if (client_ || !callback) return;
    registrationCallback_ = std::move(callback);
    if (!poll_) {
      WebServerLog(kWebServerLoggingLevel_Warning, "Local service discovery is not available: {}",
                   unavailable_);
      reportRegistration(avahiError(AVAHI_ERR_NOT_SUPPORTED));
      return;
    }
    int error = 0;
    // Made before the poll thread starts, so no lock is needed; the client calls back at once with
    // its state, and creates the entry group from there when the daemon runs.
    client_ = avahi_->avahi_client_new(avahi_->avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                       &clientChanged, this, &error);
    if (!client_) {
      reportRegistration(avahiError(error));
      return;
    }
    if (avahi_->avahi_threaded_poll_start(poll_) < 0) {
      reportRegistration(avahiError(AVAHI_ERR_FAILURE));
      return;
    }
    started_ = true;
  }

  bool resolveWithTimeout(double timeout, ResolutionCallback callback) override {
    if (!client_ || !started_ || !callback) return false;
    Lock lock(*this);
    if (resolver_) return false;
    resolutionCallback_ = std::move(callback);
    resolver_ = avahi_->avahi_service_resolver_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                   name_.c_str(), type_.c_str(), nullptr, AVAHI_PROTO_UNSPEC,
                                                   AvahiLookupFlags(0), &resolverFound, this);
    if (!resolver_) return false;
    timeval when{};
    avahi_->avahi_elapse_time(&when, static_cast<unsigned>(std::max(0.0, timeout) * 1000), 0);
    timeout_ = avahi_->avahi_threaded_poll_get(poll_)->timeout_new(avahi_->avahi_threaded_poll_get(poll_),
                                                                   &when, &resolutionTimedOut, this);
    return true;
  }

  std::string name() const override {
    std::lock_guard lock(nameMutex_);
    return name_;
  }
  std::string type() const override { return type_; }

 private:
  // Takes the poll's lock unless the caller is the poll thread itself (inside a callback).
  class Lock {
   public:
    explicit Lock(AvahiBonjourService& owner) : owner_(owner) {
      locked_ = owner_.started_ && std::this_thread::get_id() != owner_.pollThread_.load();
      if (locked_) owner_.avahi_->avahi_threaded_poll_lock(owner_.poll_);
    }
    ~Lock() {
      if (locked_) owner_.avahi_->avahi_threaded_poll_unlock(owner_.poll_);
    }

   private:
    AvahiBonjourService& owner_;
    bool locked_;
  };

  void reportRegistration(std::optional<WebServerServiceError> error) {
    if (registrationReported_) return;
    registrationReported_ = true;
    if (registrationCallback_) registrationCallback_(error);
  }

  void reportResolution(std::optional<std::string> host, std::optional<WebServerServiceError> error) {
    if (resolutionReported_) return;
    resolutionReported_ = true;
    if (timeout_) {
      avahi_->avahi_threaded_poll_get(poll_)->timeout_free(timeout_);
      timeout_ = nullptr;
    }
    if (resolver_) {
      avahi_->avahi_service_resolver_free(resolver_);
      resolver_ = nullptr;
    }
    if (resolutionCallback_) resolutionCallback_(std::move(host), error);
  }

  // Adds the service to the entry group and commits it; false reports the failure.
  void publish(AvahiClient* client) {
    if (!group_) group_ = avahi_->avahi_entry_group_new(client, &groupChanged, this);
    if (!group_) {
      reportRegistration(avahiError(avahi_->avahi_client_errno(client)));
      return;
    }
    if (!avahi_->avahi_entry_group_is_empty(group_)) return;
    while (true) {
      std::string name = this->name();
      int result = avahi_->avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                         AvahiPublishFlags(0), name.c_str(), type_.c_str(),
                                                         nullptr, nullptr, port_, nullptr);
      if (result == AVAHI_ERR_COLLISION) {
        rename();
        continue;
      }
      if (result < 0 || (result = avahi_->avahi_entry_group_commit(group_)) < 0) {
        reportRegistration(avahiError(result));
      }
      return;
    }
  }

  // A name taken by another service on the network is replaced by the next free one ("Name #2").
  void rename() {
    std::lock_guard lock(nameMutex_);
    char* alternative = avahi_->avahi_alternative_service_name(name_.c_str());
    if (alternative) {
      name_ = alternative;
      avahi_->avahi_free(alternative);
    }
  }

  static void clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
    auto* self = static_cast<AvahiBonjourService*>(context);
    self->pollThread_ = std::this_thread::get_id();
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->publish(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: the daemon publishes again once it runs.
        if (self->group_) self->avahi_->avahi_entry_group_reset(self->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        self->reportRegistration(avahiError(self->avahi_->avahi_client_errno(client)));
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<AvahiBonjourService*>(context);
    self->pollThread_ = std::this_thread::get_id();
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->reportRegistration(std::nullopt);
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        self->rename();
        self->avahi_->avahi_entry_group_reset(group);
        self->publish(self->avahi_->avahi_entry_group_get_client(group));
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->reportRegistration(
            avahiError(self->avahi_->avahi_client_errno(self->avahi_->avahi_entry_group_get_client(group))));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  static void resolverFound(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                            AvahiResolverEvent event, const char*, const char*, const char*,
                            const char* hostName, const AvahiAddress*, uint16_t, AvahiStringList*,
                            AvahiLookupResultFlags, void* context) {
    auto* self = static_cast<AvahiBonjourService*>(context);
    self->pollThread_ = std::this_thread::get_id();
    if (event == AVAHI_RESOLVER_FOUND && hostName) {
      self->reportResolution(std::string(hostName), std::nullopt);
    } else {
      int code = self->avahi_->avahi_client_errno(self->avahi_->avahi_service_resolver_get_client(resolver));
      self->reportResolution(std::nullopt, avahiError(code ? code : AVAHI_ERR_FAILURE));
    }
  }

  static void resolutionTimedOut(AvahiTimeout*, void* context) {
    auto* self = static_cast<AvahiBonjourService*>(context);
    self->pollThread_ = std::this_thread::get_id();
    self->reportResolution(std::nullopt, avahiError(AVAHI_ERR_TIMEOUT));
  }

  const AvahiFunctions* const avahi_;
  AvahiThreadedPoll* const poll_;
  const std::string unavailable_;
  const std::string type_;
  mutable std::mutex nameMutex_;
  std::string name_;
  const std::uint16_t port_;

  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  AvahiServiceResolver* resolver_ = nullptr;
  AvahiTimeout* timeout_ = nullptr;
  bool started_ = false;
  std::atomic<std::thread::id> pollThread_{};

  RegistrationCallback registrationCallback_;
  ResolutionCallback resolutionCallback_;
  bool registrationReported_ = false;
  bool resolutionReported_ = false;
};

}  // namespace

std::unique_ptr<WebServerBonjourService> WebServerBonjourService::makeAvahiService(const std::string& type,
                                                                                   const std::string& name,
                                                                                   std::uint16_t port) {
  if (type.empty() || name.empty()) return nullptr;
  platform::Error loadError;
  const AvahiFunctions* avahi = avahiLibrary().functions(&loadError);
  if (!avahi)
    return std::make_unique<AvahiBonjourService>(nullptr, nullptr, loadError.description, type, name, port);
  AvahiThreadedPoll* poll = avahi->avahi_threaded_poll_new();
  if (!poll) return nullptr;
  return std::make_unique<AvahiBonjourService>(avahi, poll, std::string(), type, name, port);
}
