#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Error.h"
#include "platform/NetlinkRouteTable.h"

namespace platform {

// Follows the kernel's links, addresses and routes through a routing netlink socket, on an Asio
// reactor thread of its own, and keeps a NetlinkRouteTable of them. After the first complete
// picture, each batch of announcements that changes the table calls the handler (on the monitor's
// thread) with the new table. An address or link change makes it read the routes again, since
// the kernel drops routes with their link or address without always saying so; a lost announcement
// (the socket's buffer overran) makes it read everything again.
class NetlinkRouteMonitor : public std::enable_shared_from_this<NetlinkRouteMonitor> {
 public:
  using Handler = std::function<void(const NetlinkRouteTable& table)>;

  static std::shared_ptr<NetlinkRouteMonitor> make();
  ~NetlinkRouteMonitor();

  // Opens the socket, asks for the links and routes and starts following them; false, with the
  // error, when the socket cannot be opened. Starting a started monitor does nothing.
  bool start(Handler handler, Error* error = nullptr);
  // Stops following; once it returns the handler is not called again (unless called from the
  // handler itself, which may still finish). Safe to call when stopped.
  void stop();
  bool isRunning() const;

  // The table as last read; nullopt until the first complete picture arrived.
  std::optional<NetlinkRouteTable> currentTable() const;

  // Reads the links and routes now, with a socket of its own, waiting at most a second for the
  // kernel's answer; nullopt, with the error, when that fails.
  static std::optional<NetlinkRouteTable> readTable(Error* error = nullptr);

 private:
  NetlinkRouteMonitor() = default;
  struct Reactor;

  mutable std::mutex mutex_;
  std::shared_ptr<Reactor> reactor_;
  std::optional<NetlinkRouteTable> table_;
};

}  // namespace platform
