#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/NetlinkRouteMonitor.h"
#include "platform/NetlinkRouteTable.h"

using platform::NetlinkRouteTable;
using Bytes = std::vector<std::uint8_t>;
namespace Flags = platform::ReachabilityFlags;

namespace {

// Builders of routing netlink messages as the kernel lays them out.
template <typename T>
void append(Bytes& bytes, const T& value) {
  const std::size_t at = bytes.size();
  bytes.resize(at + sizeof value);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

void pad(Bytes& bytes) {
  while (bytes.size() % 4) bytes.push_back(0);
}

Bytes attribute(std::uint16_t type, const Bytes& payload) {
  Bytes bytes;
  append(bytes, rtattr{static_cast<unsigned short>(sizeof(rtattr) + payload.size()), type});
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  pad(bytes);
  return bytes;
}

Bytes u32(std::uint32_t value) {
  Bytes bytes;
  append(bytes, value);
  return bytes;
}

Bytes message(std::uint16_t type, const Bytes& body) {
  Bytes bytes;
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(sizeof(nlmsghdr) + body.size());
  header.nlmsg_type = type;
  append(bytes, header);
  bytes.insert(bytes.end(), body.begin(), body.end());
  pad(bytes);
  return bytes;
}

Bytes link(std::uint16_t type, int index, unsigned flags) {
  ifinfomsg info{};
  info.ifi_family = AF_UNSPEC;
  info.ifi_index = index;
  info.ifi_flags = flags;
  Bytes body;
  append(body, info);
  return message(type, body);
}

struct Route {
  std::uint8_t family = AF_INET;
  std::uint8_t dstLength = 0;
  std::uint8_t table = RT_TABLE_MAIN;
  std::uint8_t type = RTN_UNICAST;
  std::vector<Bytes> attributes;
};

Bytes route(std::uint16_t type, const Route& r) {
  rtmsg header{};
  header.rtm_family = r.family;
  header.rtm_dst_len = r.dstLength;
  header.rtm_table = r.table;
  header.rtm_type = r.type;
  Bytes body;
  append(body, header);
  for (const auto& a : r.attributes) body.insert(body.end(), a.begin(), a.end());
  return message(type, body);
}

Bytes oif(int index) { return attribute(RTA_OIF, u32(static_cast<std::uint32_t>(index))); }
Bytes gateway4() { return attribute(RTA_GATEWAY, Bytes{10, 0, 0, 1}); }

Bytes multipath(const std::vector<int>& indexes) {
  Bytes hops;
  for (int index : indexes) {
    rtnexthop hop{};
    hop.rtnh_len = sizeof(rtnexthop);
    hop.rtnh_ifindex = index;
    append(hops, hop);
  }
  return attribute(RTA_MULTIPATH, hops);
}

Bytes address(std::uint16_t type) {
  ifaddrmsg info{};
  info.ifa_family = AF_INET;
  info.ifa_index = 2;
  Bytes body;
  append(body, info);
  return message(type, body);
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

constexpr unsigned kUsable = unsigned{IFF_UP} | unsigned{IFF_RUNNING} | unsigned{IFF_LOWER_UP};
const Bytes kEthernetUp = link(RTM_NEWLINK, 2, kUsable | IFF_BROADCAST);
const Bytes kDefaultViaEthernet = route(RTM_NEWROUTE, {.attributes = {gateway4(), oif(2)}});

// Applies each batch to one table, every batch in a buffer of its exact size.
NetlinkRouteTable tableFrom(const std::vector<Bytes>& batches, NetlinkRouteTable::Summary* last = nullptr) {
  NetlinkRouteTable table;
  for (const auto& batch : batches) {
    auto exact = std::make_unique<std::uint8_t[]>(batch.size());
    if (!batch.empty()) std::memcpy(exact.get(), batch.data(), batch.size());
    auto summary = table.applyMessages(exact.get(), batch.size());
    if (last) *last = summary;
  }
  return table;
}

}  // namespace

TEST(NetlinkRouteTable, FlagsFollowTheLinksAndDefaultRoutes) {
  struct Case {
    const char* name;
    std::vector<Bytes> batches;
    std::uint32_t internet;
    std::uint32_t linkLocal;
  };
  const std::uint32_t direct = Flags::kReachable | Flags::kIsDirect;
  const Case cases[] = {
      {"nothing known", {}, 0, 0},
      {"default route on a link that is up", {kEthernetUp, kDefaultViaEthernet}, Flags::kReachable, direct},
      {"both in one batch", {join({kEthernetUp, kDefaultViaEthernet})}, Flags::kReachable, direct},
      {"route announced before its link", {kDefaultViaEthernet, kEthernetUp}, Flags::kReachable, direct},
      {"link up without carrier", {link(RTM_NEWLINK, 2, IFF_UP), kDefaultViaEthernet}, 0, 0},
      {"link down",
       {link(RTM_NEWLINK, 2, unsigned{IFF_RUNNING} | unsigned{IFF_LOWER_UP}), kDefaultViaEthernet},
       0,
       0},
      {"link up, no route", {kEthernetUp}, 0, direct},
      {"link goes down later", {kEthernetUp, kDefaultViaEthernet, link(RTM_NEWLINK, 2, IFF_BROADCAST)}, 0, 0},
      {"link removed", {kEthernetUp, kDefaultViaEthernet, link(RTM_DELLINK, 2, 0)}, 0, 0},
      {"default route removed",
       {kEthernetUp, kDefaultViaEthernet, route(RTM_DELROUTE, {.attributes = {gateway4(), oif(2)}})},
       0,
       direct},
      {"another route removed",
       {kEthernetUp, kDefaultViaEthernet, route(RTM_DELROUTE, {.attributes = {gateway4(), oif(3)}})},
       Flags::kReachable,
       direct},
      {"the same route announced twice, removed once",
       {kEthernetUp, kDefaultViaEthernet, kDefaultViaEthernet,
        route(RTM_DELROUTE, {.attributes = {gateway4(), oif(2)}})},
       0,
       direct},
      {"loopback only",
       {link(RTM_NEWLINK, 1, kUsable | IFF_LOOPBACK), route(RTM_NEWROUTE, {.attributes = {oif(1)}})},
       0,
       0},
      {"only a network route",
       {kEthernetUp, route(RTM_NEWROUTE, {.dstLength = 24, .attributes = {oif(2)}})},
       0,
       direct},
      {"blackhole default",
       {kEthernetUp, route(RTM_NEWROUTE, {.type = RTN_BLACKHOLE, .attributes = {oif(2)}})},
       0,
       direct},
      {"default in the local table",
       {kEthernetUp, route(RTM_NEWROUTE, {.table = RT_TABLE_LOCAL, .attributes = {oif(2)}})},
       0,
       direct},
      {"default in a numbered table",
       {kEthernetUp, route(RTM_NEWROUTE, {.table = RT_TABLE_COMPAT,
                                          .attributes = {attribute(RTA_TABLE, u32(51820)), oif(2)}})},
       Flags::kReachable,
       direct},
      {"IPv6 default, on-link",
       {kEthernetUp, route(RTM_NEWROUTE, {.family = AF_INET6, .attributes = {oif(2)}})},
       Flags::kReachable,
       direct},
      {"multipath default with one usable hop",
       {kEthernetUp, link(RTM_NEWLINK, 3, IFF_UP), route(RTM_NEWROUTE, {.attributes = {multipath({3, 2})}})},
       Flags::kReachable,
       direct},
      {"address changes alone", {kEthernetUp, address(RTM_NEWADDR), address(RTM_DELADDR)}, 0, direct},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto table = tableFrom(c.batches);
    EXPECT_EQ(table.reachabilityFlags(NetlinkRouteTable::Target::Internet), c.internet);
    EXPECT_EQ(table.reachabilityFlags(NetlinkRouteTable::Target::LinkLocal), c.linkLocal);
  }
}

TEST(NetlinkRouteTable, ShortOrMalformedMessagesAreSkipped) {
  Bytes shortRoute = message(RTM_NEWROUTE, Bytes(sizeof(rtmsg) - 1, 0));
  Bytes shortLink = message(RTM_NEWLINK, Bytes(sizeof(ifinfomsg) - 2, 0xFF));
  // An attribute that claims more than its message holds.
  Bytes overlongAttribute = route(RTM_NEWROUTE, {.attributes = {oif(2)}});
  overlongAttribute[sizeof(nlmsghdr) + sizeof(rtmsg)] = 0x40;
  // A next hop that claims more than its list holds.
  Bytes overlongHop = route(RTM_NEWROUTE, {.attributes = {multipath({2})}});
  overlongHop[sizeof(nlmsghdr) + sizeof(rtmsg) + sizeof(rtattr)] = 0x30;
  // An output link attribute too short for its number.
  Bytes shortOif = route(RTM_NEWROUTE, {.attributes = {attribute(RTA_OIF, Bytes{2, 0})}});
  Bytes headerTooShort = kDefaultViaEthernet;
  headerTooShort[0] = 8;
  headerTooShort[1] = headerTooShort[2] = headerTooShort[3] = 0;
  Bytes headerTooLong = kDefaultViaEthernet;
  headerTooLong[0] = static_cast<std::uint8_t>(headerTooLong[0] + 4);

  struct Case {
    const char* name;
    Bytes batch;
    std::size_t applied;
    std::size_t skipped;
    std::uint32_t internet;
  };
  const Case cases[] = {
      {"route body shorter than its header", join({kEthernetUp, shortRoute, kDefaultViaEthernet}), 2, 1,
       Flags::kReachable},
      {"link body shorter than its header", join({shortLink, kDefaultViaEthernet}), 1, 1, 0},
      {"attribute longer than its message", join({kEthernetUp, overlongAttribute}), 1, 1, 0},
      {"next hop longer than its attribute", join({kEthernetUp, overlongHop}), 1, 1, 0},
      {"output link attribute too short", join({kEthernetUp, shortOif}), 2, 0, 0},
      {"header length below a header", join({kEthernetUp, headerTooShort, kDefaultViaEthernet}), 1, 1, 0},
      {"header length past the batch", join({kEthernetUp, headerTooLong}), 1, 1, 0},
      {"a few stray bytes after a message", join({kEthernetUp, kDefaultViaEthernet, Bytes{1, 2, 3}}), 2, 0,
       Flags::kReachable},
      {"a message of another kind",
       join({message(RTM_NEWNEIGH, Bytes(12, 0)), kEthernetUp, kDefaultViaEthernet}), 2, 1,
       Flags::kReachable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NetlinkRouteTable::Summary summary;
    auto table = tableFrom({c.batch}, &summary);
    EXPECT_EQ(summary.applied, c.applied);
    EXPECT_EQ(summary.skipped, c.skipped);
    EXPECT_EQ(table.reachabilityFlags(NetlinkRouteTable::Target::Internet), c.internet);
  }
}

TEST(NetlinkRouteTable, EveryCutOfABatchIsReadWithinItsLength) {
  // Each prefix sits in a buffer of exactly its size, so a read past the end is caught by the
  // address sanitizer; the messages that fit whole are still applied.
  const Bytes batch = join({kEthernetUp, route(RTM_NEWROUTE, {.attributes = {gateway4(), multipath({2, 3})}}),
                            address(RTM_NEWADDR), message(NLMSG_DONE, u32(0))});
  for (std::size_t size = 0; size <= batch.size(); ++size) {
    SCOPED_TRACE(size);
    auto table = tableFrom({Bytes(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(size))});
    const bool wholeRoute =
        size >=
        kEthernetUp.size() + route(RTM_NEWROUTE, {.attributes = {gateway4(), multipath({2, 3})}}).size();
    EXPECT_EQ(table.reachabilityFlags(NetlinkRouteTable::Target::Internet),
              wholeRoute ? Flags::kReachable : 0u);
  }
}

TEST(NetlinkRouteTable, DumpEndAndErrorsAreReported) {
  NetlinkRouteTable::Summary summary;
  tableFrom({join({kEthernetUp, message(NLMSG_DONE, u32(0))})}, &summary);
  EXPECT_TRUE(summary.done);
  EXPECT_TRUE(summary.linksChanged);
  EXPECT_FALSE(summary.failed);

  nlmsgerr refusal{};
  refusal.error = -EBUSY;
  Bytes body;
  append(body, refusal);
  tableFrom({message(NLMSG_ERROR, body)}, &summary);
  EXPECT_TRUE(summary.failed);
  EXPECT_EQ(summary.error, -EBUSY);
  // An acknowledgement (code 0) is no failure.
  refusal.error = 0;
  body.clear();
  append(body, refusal);
  tableFrom({message(NLMSG_ERROR, body)}, &summary);
  EXPECT_FALSE(summary.failed);
  tableFrom({address(RTM_DELADDR)}, &summary);
  EXPECT_TRUE(summary.addressesChanged);
  EXPECT_FALSE(summary.linksChanged);
}

TEST(NetlinkRouteMonitor, ReadsTheMachinesTable) {
  platform::Error error;
  auto table = platform::NetlinkRouteMonitor::readTable(&error);
  ASSERT_TRUE(table) << error.description;
  // Every network namespace has its loopback link.
  EXPECT_FALSE(table->links().empty());
}
