#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <memory>

#include "httpserver/WebServerConfiguration.h"

// An accepted connection's socket with the strand that orders all its work, the timer that bounds
// its waits and the settings it runs with. Only the server and its connections look inside.
class WebServerSocket {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  WebServerSocket(Strand strand, asio::ip::tcp::socket socket,
                  std::shared_ptr<const WebServerConfiguration> configuration)
      : strand(std::move(strand)),
        socket(std::move(socket)),
        timer(this->strand),
        configuration(std::move(configuration)) {}

  Strand strand;
  asio::ip::tcp::socket socket;
  asio::steady_timer timer;
  // The settings of the server run that accepted the socket.
  std::shared_ptr<const WebServerConfiguration> configuration;
};
