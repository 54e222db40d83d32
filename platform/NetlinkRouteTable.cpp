#include "platform/NetlinkRouteTable.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace platform {

namespace {

constexpr std::size_t align4(std::size_t length) { return (length + 3) & ~std::size_t(3); }

// Copies a value out of the bytes: netlink data need not be aligned for the reading type.
template <typename T>
T load(const std::uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Calls `visit(type, payload, length)` for every attribute in the bytes; false when an attribute
// header claims more than is there.
template <typename Visit>
bool forEachAttribute(const std::uint8_t* bytes, std::size_t size, Visit visit) {
  while (size >= sizeof(rtattr)) {
    const auto attribute = load<rtattr>(bytes);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size) return false;
    visit(attribute.rta_type, bytes + sizeof(rtattr), std::size_t(attribute.rta_len) - sizeof(rtattr));
    const std::size_t step = std::min(align4(attribute.rta_len), size);
    bytes += step;
    size -= step;
  }
  return true;
}

std::optional<std::uint32_t> readU32(const std::uint8_t* payload, std::size_t length) {
  if (length < sizeof(std::uint32_t)) return std::nullopt;
  return load<std::uint32_t>(payload);
}

// The default route a route message describes; nullopt for any other route or a malformed one
// (`malformed` then set).
std::optional<NetlinkRouteTable::DefaultRoute> parseRoute(const std::uint8_t* body, std::size_t size,
                                                          bool* malformed) {
  *malformed = false;
  if (size < sizeof(rtmsg)) {
    *malformed = true;
    return std::nullopt;
  }
  const auto header = load<rtmsg>(body);
  NetlinkRouteTable::DefaultRoute route;
  route.family = header.rtm_family;
  route.table = header.rtm_table;
  bool ok = true;
  const std::size_t offset = align4(sizeof(rtmsg));
  const std::uint8_t* attributes = body + std::min(offset, size);
  const std::size_t attributesSize = size > offset ? size - offset : 0;
  ok = forEachAttribute(attributes, attributesSize,
                        [&](unsigned type, const std::uint8_t* payload, std::size_t length) {
                          switch (type) {
                            case RTA_TABLE:
                              if (auto value = readU32(payload, length)) route.table = *value;
                              break;
                            case RTA_PRIORITY:
                              if (auto value = readU32(payload, length)) route.priority = *value;
                              break;
                            case RTA_OIF:
                              if (auto value = readU32(payload, length))
                                route.interfaces.push_back(static_cast<int>(*value));
                              break;
                            case RTA_GATEWAY:
                              route.gateway.assign(reinterpret_cast<const char*>(payload),
                                                   std::min<std::size_t>(length, 16));
                              break;
                            case RTA_MULTIPATH: {
                              // A list of next hops, each a header with its own length and attributes.
                              std::size_t left = length;
                              const std::uint8_t* hop = payload;
                              while (left >= sizeof(rtnexthop)) {
                                const auto next = load<rtnexthop>(hop);
                                if (next.rtnh_len < sizeof(rtnexthop) || next.rtnh_len > left) {
                                  ok = false;
                                  break;
                                }
                                route.interfaces.push_back(next.rtnh_ifindex);
                                const std::size_t step = std::min(align4(next.rtnh_len), left);
                                hop += step;
                                left -= step;
                              }
                              break;
                            }
                            default:
                              break;
                          }
                        }) &&
       ok;
  if (!ok) {
    *malformed = true;
    return std::nullopt;
  }
  if (header.rtm_dst_len != 0 || header.rtm_type != RTN_UNICAST) return std::nullopt;
  if (route.family != AF_INET && route.family != AF_INET6) return std::nullopt;
  if (route.table == RT_TABLE_LOCAL) return std::nullopt;
  std::sort(route.interfaces.begin(), route.interfaces.end());
  route.interfaces.erase(std::unique(route.interfaces.begin(), route.interfaces.end()),
                         route.interfaces.end());
  return route;
}

}  // namespace

NetlinkRouteTable::Summary NetlinkRouteTable::applyMessages(const void* data, std::size_t size) {
  Summary summary;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size >= sizeof(nlmsghdr)) {
    const auto header = load<nlmsghdr>(bytes);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size) {
      // The rest cannot be framed: count it once and stop.
      ++summary.skipped;
      break;
    }
    const std::uint8_t* body = bytes + sizeof(nlmsghdr);
    const std::size_t bodySize = header.nlmsg_len - sizeof(nlmsghdr);
    bool used = false;
    switch (header.nlmsg_type) {
      case NLMSG_DONE:
        summary.done = true;
        used = true;
        break;
      case NLMSG_ERROR:
        if (bodySize >= sizeof(int)) {
          const int code = load<int>(body);
          if (code != 0) {
            summary.failed = true;
            summary.error = code;
          }
          used = true;
        }
        break;
      case RTM_NEWLINK:
      case RTM_DELLINK:
        if (bodySize >= sizeof(ifinfomsg)) {
          const auto info = load<ifinfomsg>(body);
          if (header.nlmsg_type == RTM_NEWLINK) {
            links_[info.ifi_index] = Link{info.ifi_flags};
          } else {
            links_.erase(info.ifi_index);
          }
          summary.linksChanged = true;
          used = true;
        }
        break;
      case RTM_NEWADDR:
      case RTM_DELADDR:
        if (bodySize >= sizeof(ifaddrmsg)) {
          summary.addressesChanged = true;
          used = true;
        }
        break;
      case RTM_NEWROUTE:
      case RTM_DELROUTE: {
        bool malformed = false;
        auto route = parseRoute(body, bodySize, &malformed);
        if (malformed) break;
        used = true;
        if (!route) break;
        // A route is known by where it leads and how; its replacement or removal names it so.
        auto same = std::find_if(routes_.begin(), routes_.end(), [&](const DefaultRoute& known) {
          return known.family == route->family && known.table == route->table &&
                 known.priority == route->priority && known.interfaces == route->interfaces &&
                 known.gateway == route->gateway;
        });
        if (header.nlmsg_type == RTM_NEWROUTE) {
          if (same == routes_.end()) routes_.push_back(std::move(*route));
        } else if (same != routes_.end()) {
          routes_.erase(same);
        }
        break;
      }
      default:
        break;
    }
    if (used) {
      ++summary.applied;
    } else {
      ++summary.skipped;
    }
    const std::size_t step = std::min(align4(header.nlmsg_len), size);
    bytes += step;
    size -= step;
  }
  return summary;
}

bool NetlinkRouteTable::linkIsUsable(int index) const {
  auto found = links_.find(index);
  if (found == links_.end()) return false;
  const std::uint32_t flags = found->second.flags;
  return (flags & IFF_UP) && (flags & (unsigned{IFF_RUNNING} | unsigned{IFF_LOWER_UP})) &&
         !(flags & IFF_LOOPBACK);
}

std::uint32_t NetlinkRouteTable::reachabilityFlags(Target target) const {
  switch (target) {
    case Target::Internet:
      for (const auto& route : routes_) {
        for (int index : route.interfaces) {
          if (linkIsUsable(index)) return ReachabilityFlags::kReachable;
        }
      }
      return 0;
    case Target::LinkLocal:
      for (const auto& [index, link] : links_) {
        if (linkIsUsable(index)) return ReachabilityFlags::kReachable | ReachabilityFlags::kIsDirect;
      }
      return 0;
  }
  return 0;
}

}  // namespace platform
