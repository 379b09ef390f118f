// The listener and the HTTP and WebSocket sessions (server.h), for plain
// TCP and TLS alike: each session is a template over its stream.
#include "zqweb/server.h"

#include <deque>
#include <type_traits>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "base/log.h"
#include "zqweb/console.h"

namespace zq::zqweb {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using beast::error_code;

struct Server::Shared {
  net::io_context& io;
  Console& console;
  ServerSettings settings;
  net::ssl::context* tls;
  tcp::acceptor acceptor;
  std::atomic<size_t> open{0};
  std::atomic<uint64_t> nextTalker{1};

  Shared(net::io_context& i, Console& c, ServerSettings s, net::ssl::context* t)
      : io(i), console(c), settings(std::move(s)), tls(t), acceptor(net::make_strand(i)) {}
};

namespace {

using SharedPtr = std::shared_ptr<Server::Shared>;

// One connection's place under the limit, handed from the HTTP session to
// the WebSocket session it becomes.
class Slot {
 public:
  explicit Slot(SharedPtr shared) : shared_(std::move(shared)) { ++shared_->open; }
  ~Slot() { --shared_->open; }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  Server::Shared& shared() const { return *shared_; }

 private:
  SharedPtr shared_;
};

template <class Stream>
constexpr bool kIsTls = !std::is_same_v<Stream, beast::tcp_stream>;

void logFailure(const char* what, const error_code& ec) {
  JLog::logf(kLevelDebug, "zqweb: %s: %s", what, ec.message().c_str());
}

std::string_view sv(beast::string_view v) {
  return {v.data(), v.size()};
}

// ---------------------------------------------------------------- WebSocket

template <class Stream>
class SocketSession : public std::enable_shared_from_this<SocketSession<Stream>> {
 public:
  enum class Kind { kEvents, kTalk };

  SocketSession(Stream&& stream, std::unique_ptr<Slot> slot, Kind kind)
      : ws_(std::move(stream)), slot_(std::move(slot)), kind_(kind) {}

  ~SocketSession() {
    Console& console = slot_->shared().console;
    if (subscriber_ != 0) {
      console.unsubscribe(subscriber_);
    }
    if (talker_ != 0) {
      console.endTalk(talker_);
    }
  }

  void run(Request request) {
    const Limits& limits = slot_->shared().settings.limits;
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = limits.handshake;
    timeout.idle_timeout = limits.socketIdle;
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.read_message_max(limits.messageBytes);
    ws_.async_accept(request, beast::bind_front_handler(&SocketSession::onAccept,
                                                        this->shared_from_this()));
  }

  // Any thread's message, already on this session's executor.
  void send(std::string message) {
    if (closing_) {
      return;
    }
    if (outbox_.size() >= slot_->shared().settings.limits.queuedMessages) {
      // A page that does not keep up is dropped; it reconnects to a snapshot.
      close(websocket::close_code::try_again_later, "too far behind");
      return;
    }
    outbox_.push_back(std::move(message));
    if (outbox_.size() == 1) {
      writeNext();
    }
  }

 private:
  void onAccept(error_code ec) {
    if (ec) {
      return logFailure("WebSocket handshake", ec);
    }
    if (kind_ == Kind::kEvents) {
      std::weak_ptr<SocketSession> weak = this->shared_from_this();
      auto executor = ws_.get_executor();
      subscriber_ = slot_->shared().console.subscribe([weak, executor](std::string m) {
        net::post(executor, [weak, m = std::move(m)]() mutable {
          if (auto self = weak.lock()) {
            self->send(std::move(m));
          }
        });
      });
    }
    read();
  }

  void read() {
    ws_.async_read(buffer_,
                   beast::bind_front_handler(&SocketSession::onRead, this->shared_from_this()));
  }

  void onRead(error_code ec, size_t) {
    if (ec) {
      // Closed, dropped, timed out or too big (1009 sent by the stream):
      // the destructor ends a talk and the subscription.
      return logFailure("WebSocket read", ec);
    }
    if (kind_ == Kind::kTalk) {
      talkMessage();
    }
    buffer_.consume(buffer_.size());
    if (!closing_) {
      read();
    }
  }

  void talkMessage() {
    Console& console = slot_->shared().console;
    const auto data = buffer_.cdata();
    const auto* bytes = static_cast<const uint8_t*>(data.data());
    if (!ws_.got_text()) {
      if (talker_ == 0) {
        return close(websocket::close_code::policy_error, "send {\"type\": \"start\"} first");
      }
      console.talkChunk(talker_, bytes, data.size());
      return;
    }
    json message;
    try {
      message = json::parse(std::string_view(reinterpret_cast<const char*>(bytes), data.size()));
    } catch (const json::parse_error&) {
      return refuse("malformed JSON");
    }
    const std::string type = message.is_object() && message.value("type", json()).is_string()
                                 ? message["type"].get<std::string>()
                                 : std::string();
    if (type == "start") {
      if (talker_ != 0) {
        return refuse("already talking");
      }
      const json rate = message.value("sampleRate", json());
      const json channels = message.value("channels", json(1));
      if (!rate.is_number_integer() || !channels.is_number_integer()) {
        return refuse("sampleRate and channels must be integers");
      }
      const uint64_t id = slot_->shared().nextTalker++;
      std::weak_ptr<SocketSession> weak = this->shared_from_this();
      auto executor = ws_.get_executor();
      auto onLive = [weak, executor] {
        net::post(executor, [weak] {
          if (auto self = weak.lock()) {
            self->send(json{{"type", "live"}}.dump());
          }
        });
      };
      auto refusal = console.beginTalk(id, static_cast<uint32_t>(rate.get<int64_t>()),
                                       static_cast<uint32_t>(channels.get<int64_t>()), onLive);
      if (refusal) {
        return refuse(*refusal);
      }
      talker_ = id;
      send(json{{"type", "started"}}.dump());
    } else if (type == "stop") {
      if (talker_ != 0) {
        console.endTalk(talker_);
        talker_ = 0;
      }
      send(json{{"type", "stopped"}}.dump());
    } else {
      refuse("unknown message: give {\"type\": \"start\" | \"stop\"}");
    }
  }

  // Says why in a message the page shows, then closes.
  void refuse(const std::string& why) {
    send(json{{"type", "error"}, {"error", why}}.dump());
    closeReason_ = why;
    closeAfterWrites_ = true;
    if (outbox_.empty()) {
      close(websocket::close_code::policy_error, why);
    }
  }

  void writeNext() {
    ws_.text(true);
    ws_.async_write(net::buffer(outbox_.front()),
                    beast::bind_front_handler(&SocketSession::onWrite, this->shared_from_this()));
  }

  void onWrite(error_code ec, size_t) {
    if (ec) {
      return logFailure("WebSocket write", ec);
    }
    outbox_.pop_front();
    if (!outbox_.empty()) {
      writeNext();
    } else if (closeAfterWrites_) {
      close(websocket::close_code::policy_error, closeReason_);
    }
  }

  void close(websocket::close_code code, const std::string& why) {
    if (closing_) {
      return;
    }
    closing_ = true;
    outbox_.clear();
    // A close reason is at most 123 bytes.
    websocket::close_reason reason(code, why.substr(0, 120));
    ws_.async_close(reason, [self = this->shared_from_this()](error_code) {});
  }

  websocket::stream<Stream> ws_;
  std::unique_ptr<Slot> slot_;
  const Kind kind_;
  beast::flat_buffer buffer_;
  std::deque<std::string> outbox_;
  bool closing_ = false;
  bool closeAfterWrites_ = false;
  std::string closeReason_;
  uint64_t subscriber_ = 0;
  uint64_t talker_ = 0;
};

// --------------------------------------------------------------------- HTTP

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, std::unique_ptr<Slot> slot)
      : stream_(std::move(stream)), slot_(std::move(slot)) {}

  void run() {
    if constexpr (kIsTls<Stream>) {
      beast::get_lowest_layer(stream_).expires_after(settings().limits.handshake);
      stream_.async_handshake(
          net::ssl::stream_base::server,
          beast::bind_front_handler(&HttpSession::onHandshake, this->shared_from_this()));
    } else {
      read();
    }
  }

 private:
  const ServerSettings& settings() const { return slot_->shared().settings; }

  void onHandshake(error_code ec) {
    if (ec) {
      return logFailure("TLS handshake", ec);
    }
    read();
  }

  void read() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(settings().limits.headerBytes));
    parser_->body_limit(settings().limits.bodyBytes);
    beast::get_lowest_layer(stream_).expires_after(settings().limits.httpIdle);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
  }

  void onRead(error_code ec, size_t) {
    if (ec == http::error::end_of_stream) {
      return shutdown();
    }
    if (ec == http::error::header_limit || ec == http::error::body_limit) {
      // The request is refused whole; what is left of it is not read.
      Request request;
      request.version(11);
      request.keep_alive(false);
      const bool header = ec == http::error::header_limit;
      return write(errorResponse(
          request,
          header ? http::status::request_header_fields_too_large
                 : http::status::payload_too_large,
          header ? "the request's header is over " +
                       std::to_string(settings().limits.headerBytes) + " bytes"
                 : "the request's body is over " + std::to_string(settings().limits.bodyBytes) +
                       " bytes"));
    }
    if (ec) {
      return logFailure("HTTP read", ec);
    }
    Request request = parser_->release();
    if (auto refusal = checkRequest(request, settings().security)) {
      return write(std::move(*refusal));
    }
    if (websocket::is_upgrade(request)) {
      const std::string_view path = sv(request.target()).substr(0, sv(request.target()).find('?'));
      using Kind = typename SocketSession<Stream>::Kind;
      if (path == "/api/events" || path == "/api/talk") {
        std::make_shared<SocketSession<Stream>>(std::move(stream_), std::move(slot_),
                                                path == "/api/events" ? Kind::kEvents : Kind::kTalk)
            ->run(std::move(request));
        return;
      }
      return write(errorResponse(request, http::status::not_found,
                                 "no WebSocket at " + std::string(path)));
    }
    if (!isApiRequest(request)) {
      return write(serveLocal(request, settings().security, settings().www));
    }
    // The console's thread answers; the answer comes back to this one.
    auto self = this->shared_from_this();
    auto executor = stream_.get_executor();
    Console& console = slot_->shared().console;
    console.post([self, executor, &console, request = std::move(request)]() mutable {
      Response response = route(request, console);
      net::post(executor, [self, response = std::move(response)]() mutable {
        self->write(std::move(response));
      });
    });
  }

  void write(Response response) {
    response_ = std::make_shared<Response>(std::move(response));
    response_->set(http::field::server, "zqweb");
    beast::get_lowest_layer(stream_).expires_after(settings().limits.httpIdle);
    http::async_write(stream_, *response_,
                      beast::bind_front_handler(&HttpSession::onWrite, this->shared_from_this()));
  }

  void onWrite(error_code ec, size_t) {
    if (ec) {
      return logFailure("HTTP write", ec);
    }
    if (!response_->keep_alive()) {
      return shutdown();
    }
    response_.reset();
    read();
  }

  void shutdown() {
    if constexpr (kIsTls<Stream>) {
      beast::get_lowest_layer(stream_).expires_after(settings().limits.handshake);
      stream_.async_shutdown([self = this->shared_from_this()](error_code) {});
    } else {
      error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  Stream stream_;
  std::unique_ptr<Slot> slot_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<Response> response_;
};

void accept(const SharedPtr& shared) {
  shared->acceptor.async_accept(
      net::make_strand(shared->io), [shared](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) {
          return;
        }
        if (!ec) {
          if (shared->open.load() >= shared->settings.limits.connections) {
            // Full: said at once, without reading, and closed.
            static const std::string kBusy =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Connection: close\r\nContent-Length: 33\r\n\r\n"
                "{\"error\":\"too many connections\"}\n";
            error_code ignored;
            socket.non_blocking(true, ignored);
            if (shared->tls == nullptr) {
              socket.write_some(net::buffer(kBusy), ignored);
            }
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
          } else {
            auto slot = std::make_unique<Slot>(shared);
            if (shared->tls != nullptr) {
              std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
                  beast::ssl_stream<beast::tcp_stream>(std::move(socket), *shared->tls),
                  std::move(slot))
                  ->run();
            } else {
              std::make_shared<HttpSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)),
                                                               std::move(slot))
                  ->run();
            }
          }
        } else {
          logFailure("accept", ec);
        }
        accept(shared);
      });
}

}  // namespace

Server::Server(net::io_context& io, Console& console, ServerSettings settings,
               net::ssl::context* tls)
    : shared_(std::make_shared<Shared>(io, console, std::move(settings), tls)) {
  tcp::acceptor& a = shared_->acceptor;
  const tcp::endpoint& endpoint = shared_->settings.endpoint;
  a.open(endpoint.protocol());
  a.set_option(net::socket_base::reuse_address(true));
  a.bind(endpoint);
  a.listen(net::socket_base::max_listen_connections);
}

Server::~Server() {
  stop();
}

void Server::setOrigins(std::vector<std::string> origins) {
  shared_->settings.security.origins = std::move(origins);
}

void Server::start() {
  accept(shared_);
}

void Server::stop() {
  error_code ignored;
  shared_->acceptor.close(ignored);
}

uint16_t Server::port() const {
  error_code ignored;
  return shared_->acceptor.local_endpoint(ignored).port();
}

size_t Server::connections() const {
  return shared_->open.load();
}

}  // namespace zq::zqweb
