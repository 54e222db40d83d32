#include "shell/Reachability.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <cstring>

#include "engine/QVRunNotifications.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

using platform::NetlinkRouteTable;
namespace Flags = platform::ReachabilityFlags;

Reachability::Pointer Reachability::reachabilityWithHostname(const std::string& hostname) {
  return Pointer(new Reachability(NetlinkRouteTable::Target::Internet, hostname));
}

Reachability::Pointer Reachability::reachabilityWithAddress(const sockaddr* address) {
  if (!address) return nullptr;
  if (address->sa_family == AF_INET) {
    sockaddr_in ipv4;
    std::memcpy(&ipv4, address, sizeof ipv4);
    const std::uint32_t host = ntohl(ipv4.sin_addr.s_addr);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
    const bool linkLocal = (host & 0xFFFF0000u) == 0xA9FE0000u;  // 169.254.0.0/16
    return Pointer(new Reachability(
        linkLocal ? NetlinkRouteTable::Target::LinkLocal : NetlinkRouteTable::Target::Internet, text));
  }
  if (address->sa_family == AF_INET6) {
    sockaddr_in6 ipv6;
    std::memcpy(&ipv6, address, sizeof ipv6);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text);
    return Pointer(new Reachability(NetlinkRouteTable::Target::Internet, text));
  }
  return nullptr;
}

Reachability::Pointer Reachability::reachabilityForInternetConnection() {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

Reachability::Pointer Reachability::reachabilityForLocalWiFi() {
  sockaddr_in linkLocal{};
  linkLocal.sin_family = AF_INET;
  linkLocal.sin_addr.s_addr = htonl(0xA9FE0000u);
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&linkLocal));
}

Reachability::Reachability(NetlinkRouteTable::Target target, std::string name)
    : target_(target), name_(std::move(name)) {}

Reachability::~Reachability() {
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor;
  {
    std::lock_guard lock(mutex_);
    monitor = std::move(monitor_);
  }
  if (monitor) monitor->stop();
}

bool Reachability::startNotifier() {
  std::lock_guard lock(mutex_);
  if (reachabilityObject_) return true;
  auto monitor = platform::NetlinkRouteMonitor::make();
  std::weak_ptr<Reachability> weak = weak_from_this();
  platform::Error error;
  if (!monitor->start(
          [weak](const NetlinkRouteTable& table) {
            if (auto self = weak.lock()) self->tableChanged(table);
          },
          &error)) {
    platform::log("Could not follow the network's reachability: {}", error.description);
    reachabilityObject_.reset();
    return false;
  }
  monitor_ = std::move(monitor);
  reachabilityObject_ = shared_from_this();
  return true;
}

void Reachability::stopNotifier() {
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor;
  Pointer keepAlive;
  {
    std::lock_guard lock(mutex_);
    monitor = std::move(monitor_);
    keepAlive = std::move(reachabilityObject_);
    lastFlags_.reset();
  }
  // Outside the lock: stopping waits for a change being handled, which takes the lock.
  if (monitor) monitor->stop();
}

bool Reachability::isFollowing() const {
  std::lock_guard lock(mutex_);
  return reachabilityObject_ && lastFlags_.has_value();
}

void Reachability::tableChanged(const NetlinkRouteTable& table) {
  const std::uint32_t flags = table.reachabilityFlags(target_);
  {
    std::lock_guard lock(mutex_);
    if (!reachabilityObject_) return;
    const bool first = !lastFlags_;
    const bool changed = lastFlags_ != flags;
    lastFlags_ = flags;
    // The first picture is where following starts from, not a change.
    if (first || !changed) return;
  }
  reachabilityChanged(flags);
}

void Reachability::reachabilityChanged(std::uint32_t flags) {
  Block reachable;
  Block unreachable;
  FlagsBlock any;
  {
    std::lock_guard lock(mutex_);
    reachable = reachableBlock_;
    unreachable = unreachableBlock_;
    any = reachabilityBlock_;
  }
  Pointer self = shared_from_this();
  if (isReachableWithFlags(flags)) {
    if (reachable) reachable(self);
  } else if (unreachable) {
    unreachable(self);
  }
  if (any) any(self, flags);
  if (!platform::MainQueue::shared()) return;
  platform::postToMain([self] {
    platform::NotificationCenter::defaultCenter().postNotificationName(
        QVReachabilityChangedNotification, self.get(), std::shared_ptr<QVNetworkReachability>(self));
  });
}

void Reachability::setReachableBlock(Block block) {
  std::lock_guard lock(mutex_);
  reachableBlock_ = std::move(block);
}

void Reachability::setUnreachableBlock(Block block) {
  std::lock_guard lock(mutex_);
  unreachableBlock_ = std::move(block);
}

void Reachability::setReachabilityBlock(FlagsBlock block) {
  std::lock_guard lock(mutex_);
  reachabilityBlock_ = std::move(block);
}

bool Reachability::isReachableWithFlags(std::uint32_t flags) {
  if (!(flags & Flags::kReachable)) return false;
  const std::uint32_t both = Flags::kTransientConnection | Flags::kConnectionRequired;
  return (flags & both) != both;
}

std::uint32_t Reachability::reachabilityFlags() const {
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor;
  {
    std::lock_guard lock(mutex_);
    monitor = monitor_;
  }
  if (monitor) {
    if (auto table = monitor->currentTable()) return table->reachabilityFlags(target_);
  }
  auto table = platform::NetlinkRouteMonitor::readTable();
  return table ? table->reachabilityFlags(target_) : 0;
}

bool Reachability::isReachable() const { return isReachableWithFlags(reachabilityFlags()); }
bool Reachability::isReachableViaWiFi() const { return reachabilityFlags() & Flags::kReachable; }
bool Reachability::connectionRequired() const { return reachabilityFlags() & Flags::kConnectionRequired; }

bool Reachability::isConnectionOnDemand() const {
  const std::uint32_t flags = reachabilityFlags();
  return (flags & Flags::kConnectionRequired) &&
         (flags & (Flags::kConnectionOnTraffic | Flags::kConnectionOnDemand));
}

bool Reachability::isInterventionRequired() const {
  const std::uint32_t flags = reachabilityFlags();
  return (flags & Flags::kConnectionRequired) && (flags & Flags::kInterventionRequired);
}

std::int64_t Reachability::currentReachabilityStatus() const {
  const std::uint32_t flags = reachabilityFlags();
  return isReachableWithFlags(flags) && (flags & Flags::kReachable) ? ReachableViaWiFi : NotReachable;
}

std::string Reachability::currentReachabilityString() const {
  switch (currentReachabilityStatus()) {
    case ReachableViaWiFi:
      return "WiFi";
    case ReachableViaWWAN:
      return "Cellular";
    default:
      return "No Connection";
  }
}

std::string Reachability::flagsDescription(std::uint32_t flags) {
  auto bit = [flags](std::uint32_t mask, char set) { return (flags & mask) ? set : '-'; };
  return fmt::format("{}{} {}{}{}{}{}{}{}", 'X', bit(Flags::kReachable, 'R'),
                     bit(Flags::kConnectionRequired, 'c'), bit(Flags::kTransientConnection, 't'),
                     bit(Flags::kInterventionRequired, 'i'), bit(Flags::kConnectionOnTraffic, 'C'),
                     bit(Flags::kConnectionOnDemand, 'D'), bit(Flags::kIsLocalAddress, 'l'),
                     bit(Flags::kIsDirect, 'd'));
}

std::string Reachability::currentReachabilityFlags() const { return flagsDescription(reachabilityFlags()); }

std::string Reachability::description() const {
  return fmt::format("<Reachability: {:#x} ({})>",
                     static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this)),
                     currentReachabilityFlags());
}
