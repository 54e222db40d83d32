#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <memory>
#include <optional>

#include "httpserver/WebServerConfiguration.h"

// An accepted connection's socket with the strand that orders all its work, the timer that bounds
// its waits and the settings it runs with. Reads and writes go straight to the descriptor without
// blocking; the descriptor joins the reactor only when the connection has to wait for it, so an
// exchange that completes at once costs no reactor bookkeeping. Only the server and its
// connections look inside.
class WebServerSocket {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  WebServerSocket(Strand strand, int descriptor, bool ipv6,
                  std::shared_ptr<const WebServerConfiguration> configuration)
      : strand(std::move(strand)),
        timer(this->strand),
        configuration(std::move(configuration)),
        descriptor_(descriptor),
        ipv6_(ipv6) {}
  ~WebServerSocket() { close(nullptr); }
  WebServerSocket(const WebServerSocket&) = delete;
  WebServerSocket& operator=(const WebServerSocket&) = delete;

  int descriptor() const { return descriptor_; }

  // Calls the handler (on the strand) once the descriptor is ready for the kind of wait.
  template <typename Handler>
  void asyncWait(asio::socket_base::wait_type type, Handler&& handler) {
    asio::error_code error;
    if (!socket_) {
      socket_.emplace(strand);
      socket_->assign(ipv6_ ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), descriptor_, error);
      if (error) socket_.reset();
    }
    if (error || descriptor_ < 0) {
      if (!error) error = asio::error::bad_descriptor;
      asio::post(strand, [handler = std::forward<Handler>(handler), error]() mutable { handler(error); });
      return;
    }
    socket_->async_wait(type, std::forward<Handler>(handler));
  }

  // Ends the waits in progress; their handlers see operation_aborted.
  void cancelWaits() {
    if (!socket_) return;
    asio::error_code ignored;
    socket_->cancel(ignored);
  }

  // Closes the descriptor once; false (with errno in `error`) when closing failed.
  bool close(int* error) {
    if (descriptor_ < 0) return true;
    int result = 0;
    if (socket_) {
      asio::error_code code;
      socket_->close(code);
      result = code ? code.value() : 0;
      socket_.reset();
    } else if (::close(descriptor_) != 0) {
      result = errno;
    }
    descriptor_ = -1;
    if (error) *error = result;
    return result == 0;
  }

  Strand strand;
  asio::steady_timer timer;
  // The settings of the server run that accepted the socket.
  std::shared_ptr<const WebServerConfiguration> configuration;

 private:
  int descriptor_;
  bool ipv6_;
  std::optional<asio::ip::tcp::socket> socket_;
};
