#include "platform/NetlinkRouteMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/ThreadSignals.h"

namespace platform {

namespace {

// Big enough for the kernel's largest dump piece, so datagrams are not cut.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;

// A socket of the routing netlink family, or -1 with errno set.
int openRouteSocket(unsigned groups, bool nonBlocking) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

enum class DumpKind { Links, Routes };

// Asks the kernel for all links or all routes; false with errno set when it could not be sent.
bool sendDumpRequest(int fd, DumpKind kind, std::uint32_t sequence) {
  struct {
    nlmsghdr header;
    union {
      ifinfomsg link;
      rtmsg route;
    } body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(kind == DumpKind::Links ? sizeof(ifinfomsg) : sizeof(rtmsg));
  request.header.nlmsg_type = kind == DumpKind::Links ? RTM_GETLINK : RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  if (kind == DumpKind::Links) {
    request.body.link.ifi_family = AF_UNSPEC;
  } else {
    request.body.route.rtm_family = AF_UNSPEC;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    ssize_t sent = ::sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                            sizeof kernel);
    if (sent >= 0) return true;
    if (errno != EINTR) return false;
  }
}

struct Received {
  ssize_t size = -1;  // bytes in the buffer, or -1 with errno set
  bool fromKernel = false;
  bool truncated = false;
};

Received receive(int fd, std::vector<std::uint8_t>& buffer, int flags) {
  Received result;
  sockaddr_nl sender{};
  iovec part{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  do {
    result.size = ::recvmsg(fd, &message, flags);
  } while (result.size < 0 && errno == EINTR);
  if (result.size < 0) return result;
  // Only the kernel speaks for the network; another process could send to this socket too.
  result.fromKernel =
      message.msg_namelen >= sizeof sender && sender.nl_family == AF_NETLINK && sender.nl_pid == 0;
  result.truncated = (message.msg_flags & MSG_TRUNC) != 0;
  if (static_cast<std::size_t>(result.size) > buffer.size())
    result.size = static_cast<ssize_t>(buffer.size());
  return result;
}

}  // namespace

struct NetlinkRouteMonitor::Reactor : std::enable_shared_from_this<Reactor> {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  asio::posix::stream_descriptor socket{context};
  std::thread thread;
  std::atomic<std::thread::id> threadId{};
  std::atomic<bool> stopped{false};
  Handler handler;
  std::weak_ptr<NetlinkRouteMonitor> owner;

  // Touched on the reactor thread only.
  NetlinkRouteTable table;
  std::optional<NetlinkRouteTable> reported;
  std::optional<DumpKind> dumping;
  bool linksWanted = true;
  bool routesWanted = true;
  std::uint32_t sequence = 0;
  bool dumpFailureLogged = false;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReceiveBufferSize);

  void begin() {
    requestNextDump();
    waitForData();
  }

  void requestNextDump() {
    if (dumping) return;
    std::optional<DumpKind> next;
    if (linksWanted) {
      linksWanted = false;
      table.clearLinks();
      next = DumpKind::Links;
    } else if (routesWanted) {
      routesWanted = false;
      table.clearRoutes();
      next = DumpKind::Routes;
    }
    if (!next) return;
    if (!sendDumpRequest(socket.native_handle(), *next, ++sequence)) {
      log("Could not ask the kernel for its {}: {}", *next == DumpKind::Links ? "links" : "routes",
          std::strerror(errno));
      return;
    }
    dumping = next;
  }

  void waitForData() {
    socket.async_wait(asio::posix::stream_descriptor::wait_read,
                      [self = shared_from_this()](const std::error_code& error) {
                        if (error || self->stopped) return;
                        self->readAvailable();
                        if (!self->stopped) self->waitForData();
                      });
  }

  void readAvailable() {
    for (;;) {
      Received received = receive(socket.native_handle(), buffer, MSG_DONTWAIT);
      if (received.size < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == ENOBUFS) {
          // Announcements were lost: read everything again.
          linksWanted = routesWanted = true;
          continue;
        }
        log("Could not read the kernel's network announcements: {}", std::strerror(errno));
        break;
      }
      if (!received.fromKernel) continue;
      if (received.truncated) linksWanted = routesWanted = true;
      const auto summary = table.applyMessages(buffer.data(), static_cast<std::size_t>(received.size));
      if (summary.linksChanged || summary.addressesChanged) routesWanted = true;
      if (summary.failed && dumping && !dumpFailureLogged) {
        dumpFailureLogged = true;
        log("The kernel refused to list its network {}: {}", *dumping == DumpKind::Links ? "links" : "routes",
            std::strerror(-summary.error));
      }
      if ((summary.done || summary.failed) && dumping) {
        dumping.reset();
        requestNextDump();
      }
    }
    // Anything asked for while idle starts now; the table is told only when nothing is pending.
    requestNextDump();
    if (dumping || linksWanted || routesWanted) return;
    if (reported && *reported == table) return;
    reported = table;
    if (auto monitor = owner.lock()) {
      std::lock_guard lock(monitor->mutex_);
      monitor->table_ = table;
    }
    if (handler && !stopped) handler(table);
  }
};

std::shared_ptr<NetlinkRouteMonitor> NetlinkRouteMonitor::make() {
  return std::shared_ptr<NetlinkRouteMonitor>(new NetlinkRouteMonitor());
}

NetlinkRouteMonitor::~NetlinkRouteMonitor() { stop(); }

bool NetlinkRouteMonitor::start(Handler handler, Error* error) {
  std::lock_guard lock(mutex_);
  if (reactor_) return true;
  const unsigned groups =
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  int fd = openRouteSocket(groups, true);
  if (fd < 0) return fail(error, Error::fromErrno(errno, "Could not open a routing netlink socket"));
  auto reactor = std::make_shared<Reactor>();
  reactor->handler = std::move(handler);
  reactor->owner = weak_from_this();
  reactor->socket.assign(fd);
  asio::post(reactor->context, [reactor] { reactor->begin(); });
  // Signals sent to the process are for the application's threads, not for this one (which still
  // takes the crash reporter's stop signal).
  sigset_t previous;
  blockProcessSignals(&previous);
  reactor->thread = std::thread([reactor] {
    pthread_setname_np(pthread_self(), "qv-netlink");
    reactor->threadId.store(std::this_thread::get_id());
    reactor->context.run();
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  reactor_ = std::move(reactor);
  return true;
}

void NetlinkRouteMonitor::stop() {
  std::shared_ptr<Reactor> reactor;
  {
    std::lock_guard lock(mutex_);
    reactor = std::move(reactor_);
    reactor_.reset();
    table_.reset();
  }
  if (!reactor) return;
  reactor->stopped = true;
  asio::post(reactor->context, [reactor] {
    std::error_code ignored;
    reactor->socket.close(ignored);
    reactor->work.reset();
  });
  if (reactor->thread.get_id() == std::this_thread::get_id()) {
    // Called from the handler: the thread ends by itself once the handler returns.
    reactor->thread.detach();
  } else {
    reactor->thread.join();
  }
}

bool NetlinkRouteMonitor::isRunning() const {
  std::lock_guard lock(mutex_);
  return reactor_ != nullptr;
}

std::optional<NetlinkRouteTable> NetlinkRouteMonitor::currentTable() const {
  std::lock_guard lock(mutex_);
  return table_;
}

std::optional<NetlinkRouteTable> NetlinkRouteMonitor::readTable(Error* error) {
  int fd = openRouteSocket(0, false);
  if (fd < 0) {
    fail(error, Error::fromErrno(errno, "Could not open a routing netlink socket"));
    return std::nullopt;
  }
  timeval timeout{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  NetlinkRouteTable table;
  std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  std::uint32_t sequence = 0;
  for (DumpKind kind : {DumpKind::Links, DumpKind::Routes}) {
    if (!sendDumpRequest(fd, kind, ++sequence)) {
      fail(error, Error::fromErrno(errno, "Could not ask the kernel for its network state"));
      ::close(fd);
      return std::nullopt;
    }
    for (;;) {
      Received received = receive(fd, buffer, 0);
      if (received.size < 0) {
        fail(error, Error::fromErrno(errno, "Could not read the kernel's network state"));
        ::close(fd);
        return std::nullopt;
      }
      if (!received.fromKernel) continue;
      const auto summary = table.applyMessages(buffer.data(), static_cast<std::size_t>(received.size));
      if (summary.failed) {
        fail(error, Error::fromErrno(-summary.error, "The kernel refused to list its network state"));
        ::close(fd);
        return std::nullopt;
      }
      if (summary.done) break;
    }
  }
  ::close(fd);
  return table;
}

}  // namespace platform
