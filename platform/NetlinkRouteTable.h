#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Reachability flags, bit for bit as the network reachability service of the original platform
// reports them, so that code written against those flags reads them unchanged.
namespace ReachabilityFlags {
inline constexpr std::uint32_t kTransientConnection = 1;
inline constexpr std::uint32_t kReachable = 2;
inline constexpr std::uint32_t kConnectionRequired = 4;
inline constexpr std::uint32_t kConnectionOnTraffic = 8;
inline constexpr std::uint32_t kInterventionRequired = 16;
inline constexpr std::uint32_t kConnectionOnDemand = 32;
inline constexpr std::uint32_t kIsLocalAddress = 0x10000;
inline constexpr std::uint32_t kIsDirect = 0x20000;
}  // namespace ReachabilityFlags

// What the kernel's routing netlink says about reachability: the network links with their state and
// the default routes. It is filled from rtnetlink messages (a dump answer or change announcements),
// and the reachability flags are a function of it alone, so they can be checked from recorded bytes.
class NetlinkRouteTable {
 public:
  // The destinations whose reachability can be asked.
  enum class Target {
    Internet,   // any address beyond the local networks: needs a default route
    LinkLocal,  // the link-local network: needs a link that is up
  };

  struct Link {
    std::uint32_t flags = 0;  // the kernel's interface flags (IFF_*)
    bool operator==(const Link&) const = default;
  };

  struct DefaultRoute {
    std::uint8_t family = 0;      // AF_INET or AF_INET6
    std::uint32_t table = 0;      // routing table
    std::uint32_t priority = 0;   // metric
    std::vector<int> interfaces;  // output links (several for a multipath route), sorted
    std::string gateway;          // the gateway's address bytes; empty when on-link
    bool operator==(const DefaultRoute&) const = default;
  };

  // What a batch of messages held besides table changes.
  struct Summary {
    std::size_t applied = 0;        // messages that changed or confirmed the table
    std::size_t skipped = 0;        // messages too short, malformed or of no interest
    bool done = false;              // a dump's end marker (NLMSG_DONE) was seen
    bool failed = false;            // an error answer (NLMSG_ERROR with a non-zero code) was seen
    int error = 0;                  // its code, a negative errno
    bool addressesChanged = false;  // an address was added or removed
    bool linksChanged = false;      // a link was added, changed or removed
  };

  // Applies every well-formed message in the bytes, in order. A message whose header or body is
  // short, or whose attributes do not fit in it, is skipped; a header whose length does not fit in
  // what is left ends the batch. Nothing is read past the given size.
  Summary applyMessages(const void* bytes, std::size_t size);

  // The reachability flags of the target with the current links and routes:
  // - Internet: reachable when some default route (IPv4 or IPv6, any table but the kernel's local
  //   one, a plain unicast route) leaves through a link that is usable: up, with its carrier
  //   (running or lower up), not the loopback link.
  // - LinkLocal: reachable and direct when some link other than the loopback link is usable.
  std::uint32_t reachabilityFlags(Target target) const;

  const std::map<int, Link>& links() const { return links_; }
  const std::vector<DefaultRoute>& defaultRoutes() const { return routes_; }
  void clearLinks() { links_.clear(); }
  void clearRoutes() { routes_.clear(); }

  bool operator==(const NetlinkRouteTable&) const = default;

 private:
  bool linkIsUsable(int index) const;

  std::map<int, Link> links_;
  std::vector<DefaultRoute> routes_;
};

}  // namespace platform
