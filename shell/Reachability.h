#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/QVNetworkReachability.h"
#include "platform/NetlinkRouteMonitor.h"

// Whether the network can be reached, followed through the kernel's routing netlink. Each change of
// the flags runs the blocks on the monitor's thread and then posts
// "kReachabilityChangedNotification" on the default centre, on the main queue, with this notifier
// (as a std::shared_ptr<QVNetworkReachability>) as object, so the run queues can ask isReachable().
//
// The flags describe the way out of the machine, not the named host: a host or internet target is
// reachable while a default route leaves through a link that is up; the link-local target while any
// link but loopback is up. Host names are not resolved.
class Reachability : public QVNetworkReachability, public std::enable_shared_from_this<Reachability> {
 public:
  using Pointer = std::shared_ptr<Reachability>;
  using Block = std::function<void(const Pointer& reachability)>;
  using FlagsBlock = std::function<void(const Pointer& reachability, std::uint32_t flags)>;

  // Status values of currentReachabilityStatus().
  static constexpr std::int64_t NotReachable = 0;
  static constexpr std::int64_t ReachableViaWWAN = 1;
  static constexpr std::int64_t ReachableViaWiFi = 2;

  static Pointer reachabilityWithHostname(const std::string& hostname);
  static Pointer reachabilityWithHostName(const std::string& hostname) {
    return reachabilityWithHostname(hostname);
  }
  // An IPv4 or IPv6 address; nullptr for another family. Link-local IPv4 addresses are the
  // link-local target, every other address the internet target.
  static Pointer reachabilityWithAddress(const sockaddr* address);
  static Pointer reachabilityForInternetConnection();
  static Pointer reachabilityForLocalWiFi();

  ~Reachability() override;

  // Starts following changes; true when following (also when already started). While started the
  // notifier keeps itself alive.
  bool startNotifier();
  void stopNotifier();
  // True once started and the first picture of the network has been read: changes from then on
  // are reported.
  bool isFollowing() const;

  // True when the flags have the reachable bit without both transient connection and connection
  // required.
  static bool isReachableWithFlags(std::uint32_t flags);
  bool isReachable() const override;
  bool isReachableViaWWAN() const { return false; }
  bool isReachableViaWiFi() const;
  bool isConnectionRequired() const { return connectionRequired(); }
  bool connectionRequired() const;
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  std::int64_t currentReachabilityStatus() const;
  // The current flags: from the followed table while started, else read from the kernel now; 0 when
  // they cannot be read.
  std::uint32_t reachabilityFlags() const;
  std::string currentReachabilityString() const;
  std::string currentReachabilityFlags() const;
  static std::string flagsDescription(std::uint32_t flags);
  std::string description() const;

  // Called with the new flags on each change (on the monitor's thread).
  void reachabilityChanged(std::uint32_t flags);

  void setReachableBlock(Block block);
  void setUnreachableBlock(Block block);
  void setReachabilityBlock(FlagsBlock block);

 private:
  Reachability(platform::NetlinkRouteTable::Target target, std::string name);
  void tableChanged(const platform::NetlinkRouteTable& table);

  const platform::NetlinkRouteTable::Target target_;
  const std::string name_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor_;
  Pointer reachabilityObject_;  // this notifier while started
  std::optional<std::uint32_t> lastFlags_;
  Block reachableBlock_;
  Block unreachableBlock_;
  FlagsBlock reachabilityBlock_;
};
