#include "Telemetry/Internals/Util/TL_Reachability.h"

#include <netinet/in.h>

#include <cstring>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

namespace Flags = platform::ReachabilityFlags;
using platform::NetlinkRouteTable;

namespace {

// Runs the work on the main thread: at once when called there (or when no main queue exists),
// else queued to it.
void onMainThread(std::function<void()> work) {
  if (!platform::MainQueue::shared() || platform::MainQueue::isMainThread()) {
    work();
    return;
  }
  platform::postToMain(std::move(work));
}

}  // namespace

// ---- Netlink reference ----

TLNetlinkReachabilityReference::~TLNetlinkReachabilityReference() { unschedule(); }

std::optional<std::uint32_t> TLNetlinkReachabilityReference::flags() {
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor;
  {
    std::lock_guard lock(mutex_);
    monitor = monitor_;
  }
  auto table = monitor ? monitor->currentTable() : std::nullopt;
  if (!table) table = platform::NetlinkRouteMonitor::readTable();
  if (!table) return std::nullopt;
  const std::uint32_t flags = table->reachabilityFlags(target_);
  std::lock_guard lock(mutex_);
  if (monitor_) known_ = flags;
  return flags;
}

bool TLNetlinkReachabilityReference::setCallback(Callback callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
  return true;
}

bool TLNetlinkReachabilityReference::schedule() {
  std::lock_guard lock(mutex_);
  if (monitor_) return true;
  auto monitor = platform::NetlinkRouteMonitor::make();
  // The monitor is stopped (and its thread joined) before this reference goes away.
  if (!monitor->start([this](const NetlinkRouteTable& table) { tableChanged(table); })) return false;
  monitor_ = std::move(monitor);
  return true;
}

void TLNetlinkReachabilityReference::unschedule() {
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor;
  {
    std::lock_guard lock(mutex_);
    monitor = std::move(monitor_);
    known_.reset();
  }
  // Outside the lock: stopping waits for a table being handled, which takes the lock.
  if (monitor) monitor->stop();
}

void TLNetlinkReachabilityReference::tableChanged(const NetlinkRouteTable& table) {
  const std::uint32_t flags = table.reachabilityFlags(target_);
  Callback callback;
  {
    std::lock_guard lock(mutex_);
    if (!monitor_) return;
    const bool changed = known_ && *known_ != flags;
    known_ = flags;
    if (!changed) return;
    callback = callback_;
  }
  if (callback) callback();
}

// ---- Monitor ----

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityWithHostName(const std::string& hostName) {
  if (hostName.empty()) return nullptr;
  return reachabilityWithReference(
      std::make_shared<TLNetlinkReachabilityReference>(NetlinkRouteTable::Target::Internet));
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityWithAddress(const sockaddr* address) {
  if (!address) return nullptr;
  auto target = NetlinkRouteTable::Target::Internet;
  if (address->sa_family == AF_INET) {
    sockaddr_in ipv4;
    std::memcpy(&ipv4, address, sizeof ipv4);
    // 169.254.0.0/16 is reached on the link itself.
    if ((ntohl(ipv4.sin_addr.s_addr) & 0xFFFF0000u) == 0xA9FE0000u)
      target = NetlinkRouteTable::Target::LinkLocal;
  } else if (address->sa_family != AF_INET6) {
    return nullptr;
  }
  return reachabilityWithReference(std::make_shared<TLNetlinkReachabilityReference>(target));
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityForInternetConnection() {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityWithReference(
    std::shared_ptr<TLReachabilityReference> reference) {
  if (!reference) return nullptr;
  return std::shared_ptr<TL_Reachability>(new TL_Reachability(std::move(reference)));
}

TL_Reachability::~TL_Reachability() {
  // The reference is unscheduled and released on the main thread; this object does not wait.
  onMainThread([reference = std::move(reachabilityRef_)] { reference->unschedule(); });
}

void TL_Reachability::startNotifier() {
  std::weak_ptr<TL_Reachability> weak = weak_from_this();
  onMainThread([weak] {
    if (auto self = weak.lock()) self->startOnMainThread();
  });
}

void TL_Reachability::startOnMainThread() {
  std::weak_ptr<TL_Reachability> weak = weak_from_this();
  // The callback holds the monitor weakly: a change still queued when the monitor is destroyed
  // finds nothing to post for.
  const bool registered = reachabilityRef_->setCallback([weak] {
    onMainThread([weak] {
      if (auto self = weak.lock()) self->postChanged();
    });
  });
  if (!registered || !reachabilityRef_->schedule()) return;
  postChanged();
}

void TL_Reachability::stopNotifier() {
  std::weak_ptr<TL_Reachability> weak = weak_from_this();
  onMainThread([weak] {
    if (auto self = weak.lock()) self->reachabilityRef_->unschedule();
  });
}

void TL_Reachability::postChanged() {
  auto self = shared_from_this();
  platform::NotificationCenter::defaultCenter().postNotificationName(
      kTLNetworkReachabilityChangedNotification, self.get(), self);
}

TLNetworkStatus TL_Reachability::networkStatusForFlags(std::uint32_t flags) {
  if (!(flags & Flags::kReachable)) return TLNotReachable;
  if (!(flags & Flags::kConnectionRequired)) return TLReachable;
  if ((flags & (Flags::kConnectionOnDemand | Flags::kConnectionOnTraffic)) &&
      !(flags & Flags::kInterventionRequired))
    return TLReachable;
  return TLNotReachable;
}

TLNetworkStatus TL_Reachability::currentReachabilityStatus() const {
  auto flags = reachabilityRef_->flags();
  return flags ? networkStatusForFlags(*flags) : TLNotReachable;
}

bool TL_Reachability::connectionRequired() const {
  auto flags = reachabilityRef_->flags();
  return flags && (*flags & Flags::kConnectionRequired);
}
