#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/NetlinkRouteMonitor.h"

// Posted on the main thread with the monitor that changed as sender and object
// (std::shared_ptr<TL_Reachability>); observers read currentReachabilityStatus().
inline constexpr const char* kTLNetworkReachabilityChangedNotification =
    "kTLNetworkReachabilityChangedNotification";

enum TLNetworkStatus : std::int64_t { TLNotReachable = 0, TLReachable = 1 };

// Where a monitor's flags come from: reads them for one destination and reports their changes.
class TLReachabilityReference {
 public:
  using Callback = std::function<void()>;
  virtual ~TLReachabilityReference() = default;
  // The current flags (platform::ReachabilityFlags); nullopt when they cannot be read.
  virtual std::optional<std::uint32_t> flags() = 0;
  // The callback to run (on any thread) when the flags change while scheduled.
  virtual bool setCallback(Callback callback) = 0;
  // Starts or stops reporting changes.
  virtual bool schedule() = 0;
  virtual void unschedule() = 0;
};

// Flags from the kernel's routing netlink, followed through the platform's monitor while scheduled
// and read on demand otherwise. The internet target is reachable while a default route leaves
// through a link that is up and has its carrier.
class TLNetlinkReachabilityReference : public TLReachabilityReference {
 public:
  explicit TLNetlinkReachabilityReference(platform::NetlinkRouteTable::Target target) : target_(target) {}
  ~TLNetlinkReachabilityReference() override;

  std::optional<std::uint32_t> flags() override;
  bool setCallback(Callback callback) override;
  bool schedule() override;
  void unschedule() override;

 private:
  void tableChanged(const platform::NetlinkRouteTable& table);

  const platform::NetlinkRouteTable::Target target_;
  std::mutex mutex_;
  Callback callback_;
  std::shared_ptr<platform::NetlinkRouteMonitor> monitor_;
  // The flags last read or reported: a table that differs from them is a change.
  std::optional<std::uint32_t> known_;
};

// The telemetry SDK's network reachability monitor: the senders pause while it says the network
// cannot be reached. Starting, stopping and the release of its reference happen on the main thread
// (at once there, else queued to it); changes are posted as
// "kTLNetworkReachabilityChangedNotification" on the main thread, and never for a monitor that is
// gone by then.
class TL_Reachability : public std::enable_shared_from_this<TL_Reachability> {
 public:
  // Nothing for an empty host name.
  static std::shared_ptr<TL_Reachability> reachabilityWithHostName(const std::string& hostName);
  // An IPv4 (sockaddr_in) or IPv6 (sockaddr_in6) address; nothing for another family. IPv4
  // link-local addresses need a usable link, every other address a default route.
  static std::shared_ptr<TL_Reachability> reachabilityWithAddress(const sockaddr* address);
  // The zero IPv4 address: the default route.
  static std::shared_ptr<TL_Reachability> reachabilityForInternetConnection();
  // A monitor over another source of flags; nothing without one.
  static std::shared_ptr<TL_Reachability> reachabilityWithReference(
      std::shared_ptr<TLReachabilityReference> reference);

  ~TL_Reachability();
  TL_Reachability(const TL_Reachability&) = delete;
  TL_Reachability& operator=(const TL_Reachability&) = delete;

  // Registers the callback, schedules the reference and, when both succeed, posts the notification
  // at once so observers read the initial status.
  void startNotifier();
  void stopNotifier();

  TLNetworkStatus currentReachabilityStatus() const;
  static TLNetworkStatus networkStatusForFlags(std::uint32_t flags);
  bool connectionRequired() const;

  const std::shared_ptr<TLReachabilityReference>& reachabilityRef() const { return reachabilityRef_; }

 private:
  explicit TL_Reachability(std::shared_ptr<TLReachabilityReference> reference)
      : reachabilityRef_(std::move(reference)) {}
  void startOnMainThread();
  void postChanged();

  std::shared_ptr<TLReachabilityReference> reachabilityRef_;
};
