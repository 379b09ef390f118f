// The console's sessions: a listener that accepts (and answers 503 past the
// connection limit), an HTTP session per connection that reads one request
// at a time within the limits and hands it to the routes, and the two
// WebSocket sessions it upgrades into: /api/events, which sends the
// console's events from a queue of its own, and /api/talk, which passes a
// talker's chunks on. The sessions only move bytes and enforce limits; what
// a request means is routes.h's, what it does the console's.
//
// Concurrency: everything runs on the io_context's thread; the console's
// answers and events are posted back into it, never written from the
// console's thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "zqweb/limits.h"
#include "zqweb/routes.h"

namespace zq::zqweb {

class Console;

struct ServerSettings {
  boost::asio::ip::tcp::endpoint endpoint;
  Security security;
  std::string www;
  Limits limits;
};

class Server {
 public:
  /// Binds and listens (throws boost::system::system_error when it cannot);
  /// with `tls` every connection is TLS.
  Server(boost::asio::io_context& io, Console& console, ServerSettings settings,
         boost::asio::ssl::context* tls);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// The Origin values of the console's pages (they hold the port bound).
  /// Before start().
  void setOrigins(std::vector<std::string> origins);
  /// Starts accepting.
  void start();
  /// Stops accepting; open sessions end at their next timeout or close.
  void stop();
  /// The port bound (the OS's choice for port 0).
  uint16_t port() const;
  /// Connections open now.
  size_t connections() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace zq::zqweb
