#pragma once

// What the run queues ask of the network monitor that posts "kReachabilityChangedNotification": the
// monitor puts itself, as a std::shared_ptr<QVNetworkReachability>, in the notification's object, and
// the queues ask it whether the network is reachable now.
class QVNetworkReachability {
 public:
  virtual ~QVNetworkReachability() = default;
  // True when the monitored target is reachable; false when it is not or cannot be told.
  virtual bool isReachable() const = 0;
};
