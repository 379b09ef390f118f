// The RPC line framing on a scripted socket, the server's function table and
// dispatch, then a service with clients on loopback.
#include <gmock/gmock.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <optional>

#include "base/registry_key.h"
#include "helpers/descriptors.h"
#include "rpc/line_buffer.h"
#include "rpc/line_io.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_service.h"

namespace zq::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

const std::string kTooLong = "<too long>", kClosed = "<closed>", kTimeout = "<time-out>";

struct Script {
  std::deque<std::string> chunks = {};  // read in turn; kTimeout throws a time-out
  size_t writeLimit = 0;                // the most bytes one write takes
  int reads = 0;
  std::string written = {};
};

// Each read returns the next chunk, or as much as fits, then 0 as a closed peer.
class ScriptedSocket : public JSocket {
 public:
  explicit ScriptedSocket(Script& script) : s_(script) {}

  size_t read(void* buffer, size_t length) override {
    ++s_.reads;
    if (s_.chunks.empty()) {
      return 0;
    }
    std::string& chunk = s_.chunks.front();
    if (chunk == kTimeout) {
      s_.chunks.pop_front();
      throw JTimeoutError();
    }
    const size_t n = std::min(length, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) {
      s_.chunks.pop_front();
    }
    return n;
  }
  size_t writev(const JSocketPiece* pieces, size_t count) override {
    size_t n = 0;
    for (size_t i = 0; i < count && n < s_.writeLimit; ++i) {
      const size_t take = std::min(pieces[i].length, s_.writeLimit - n);
      s_.written.append(static_cast<const char*>(pieces[i].buffer), take);
      n += take;
    }
    return n;
  }

 private:
  Script& s_;
};

// The next line, or kClosed, kTooLong, kTimeout.
std::string next(JLineIO& io) {
  std::string_view line;
  try {
    return io.readLine(line) ? std::string(line) : kClosed;
  } catch (const JLineTooLongError& e) {
    EXPECT_EQ(e.maxLength(), io.maxLineLength());
    EXPECT_EQ(e.message(), "line longer than " + std::to_string(io.maxLineLength()) + " bytes");
    return kTooLong;
  } catch (const JTimeoutError&) {
    return kTimeout;
  }
}

// `count` chunks of `size` bytes, then `last`.
std::deque<std::string> pieces(int count, size_t size, std::deque<std::string> last = {}) {
  std::deque<std::string> chunks(static_cast<size_t>(count), std::string(size, 'p'));
  chunks.insert(chunks.end(), last.begin(), last.end());
  return chunks;
}

TEST(LineIO, Reads) {
  struct Step {
    std::string line;
    size_t buffer = 0;  // the buffer's size after it; 0: not checked
  };
  const std::string x256(256, 'x'), y600(600, 'y'), z1000(1000, 'z');
  // A name, the cap, the most reads it may take (0: any number), the chunks read, the steps.
  const std::tuple<const char*, size_t, int, std::deque<std::string>, std::vector<Step>> cases[] = {
      // clang-format off
      {"LineEnds", 0, 2, {"one\ntwo\r\nthree\r\na\rb\r\n\r\r\n\r\n\n"},
       {{"one"}, {"two"}, {"three"}, {"a\rb"}, {"\r"}, {""}, {""}, {kClosed}}},
      {"LinesAcrossReadsTailDropped", 0, 8, {"ge", "tPar", "ams(", ")\r", "\nnext\r\nbcd", "ef\r\ng", "\nh"},
       {{"getParams()"}, {"next"}, {"bcdef"}, {"g"}, {kClosed}}},
      {"ReadTimeOutKeepsThePartialLine", 0, 0, {"hal", kTimeout, "f\r\n"}, {{kTimeout}, {"half"}}},
      {"BufferDoublesAndIsReused", 0, 0, {x256 + "\r\n", y600 + "\r\n", "short\r\n", z1000 + "\n"},
       {{x256, 512}, {y600, 1024}, {"short", 1024}, {z1000, 1024}}},
      // The bytes after the long line survive the buffer's return.
      {"BufferGrownPastTheRetainedSizeIsGivenBack", 0, 0,
       pieces(5000, 40, {"\r\nnext\r\npart", "ial\r\n"}),
       {{std::string(200000, 'p'), 262144}, {"next", 256}, {"partial", 256}}},
      {"ExactlyTheCapThenOneOver", 10, 0, {"0123456789\r\n0123456789\n01234567890\r\nafter\r\n"},
       {{"0123456789"}, {"0123456789"}, {kTooLong, 256}}},
      // The buffer grows to the cap and its CR LF, not to the next power; at
      // the cap, a CR without its LF may still end the line.
      {"ExactlyTheCapInPiecesCarriageReturnApart", 1000, 0, pieces(10, 100, {"\r", "\n"}),
       {{std::string(1000, 'p'), 1002}, {kClosed}}},
      // Refused once cap + CR are exceeded, long before the peer stops.
      {"NoLineFeedStopsReadingEarly", 1000, 20, pieces(1000, 100), {{kTooLong, 256}}},
      // clang-format on
  };
  for (const auto& [name, cap, reads, chunks, steps] : cases) {
    SCOPED_TRACE(name);
    Script script{chunks};
    JLineIO io(std::make_unique<ScriptedSocket>(script));
    io.setMaxLineLength(cap);
    for (const Step& step : steps) {
      EXPECT_EQ(next(io), step.line);
      if (step.buffer != 0) {
        EXPECT_EQ(io.bufferSize(), step.buffer);
      }
    }
    if (reads != 0) {
      EXPECT_LE(script.reads, reads);
    }
  }
}

// However little each write takes, the line and its CR LF go out whole.
TEST(LineIO, WritesWholeLines) {
  std::string line;
  for (int i = 0; i < 1000; ++i) {
    line += static_cast<char>('a' + i % 26);
  }
  for (const size_t limit : {1, 7, 1002}) {
    Script script{.writeLimit = limit};
    JLineIO io(std::make_unique<ScriptedSocket>(script));
    io.writeLine(line);
    io.writeLine("");
    EXPECT_EQ(script.written, line + "\r\n\r\n") << limit;
  }
}

// A new socket drops what was buffered from the old one; without one, I/O fails.
TEST(LineIO, SocketReplacedOrMissing) {
  Script first{{"first\r\nleft over"}}, second{{"fresh\r\n"}};
  JLineIO io(std::make_unique<ScriptedSocket>(first));
  EXPECT_EQ(next(io), "first");
  io.setSocket(std::make_unique<ScriptedSocket>(second));
  EXPECT_EQ(next(io), "fresh");
  io.setSocket(nullptr);
  std::string_view line;
  const auto noSocket = [](const char* function) {
    return testing::AllOf(testing::Property(&JSysError::code, JSysError::kSocketTag | 10038),
                          testing::Property(&JSysError::function, testing::StrEq(function)));
  };
  EXPECT_THAT([&] { io.readLine(line); }, testing::Throws<JSysError>(noSocket("recv")));
  EXPECT_THAT([&] { io.writeLine("x"); }, testing::Throws<JSysError>(noSocket("send")));
}

// ---- the server ----------------------------------------------------------------

constexpr int kWaitMs = 20000;  // every wait of these tests ends within it (slow builds too)
constexpr uint32_t kRpcTrace = 1u << kLevelTraceRpc;
constexpr uint32_t kShutdownTrace = 0x2;
constexpr uint32_t kConnectionReset = JSysError::kSocketTag | 10054;
constexpr size_t kMiB = size_t{1} << 20;
const std::string kSelfShutdown =
    "FAILED an RPC server cannot be shut down from one of its connections";
constexpr const char* kTags[] = {"a", "a_", "b", "B", "high", "10", "1"};

// tag<N> answers f=<kTags[N]>; not the first base, so the adjustment to it is not zero.
struct Tags {
  const char* const* names = kTags;
  template <int N>
  void tag(const JParams&, JParams& result) {
    result.set("f", names[N]);
  }
};

class TestService : public JRPCService, public Tags {
 public:
  using P = JParams;
  // Started by the base before any table with `startNow`, else registered and started if `ready`.
  explicit TestService(JTraceMask* mask = nullptr, bool startNow = false, bool ready = true)
      : JRPCService(0, startNow, mask, "Test") {
    if (ready && !startNow) {
      registerFunctions();
      start();
    }
  }
  ~TestService() override { shutdown(); }
  using JRPCServer::addConnection;
  using JRPCServer::registerFunctions;

  void registerFunctions() override {
    using S = TestService;
    // clang-format off
    static const JRPCFunction<S> kFunctions[] = {
        {"b", &S::tag<2>}, {"B", &S::tag<3>}, {"a_", &S::tag<1>}, {"a", &S::tag<0>},
        {"\xE9t\xE9", &S::tag<4>}, {"10", &S::tag<5>}, {"1", &S::tag<6>},
        {"echo", &S::echo}, {"longError", &S::longError}, {"textError", &S::textError},
        {"badAlloc", &S::badAlloc}, {"notAnError", &S::notAnError}, {"slowReads", &S::slowReads},
        {"stopService", &S::stopService}, {"stopConnections", &S::stopConnections},
        {"notify", &S::notify}, {"whoAmI", &S::whoAmI}, {"slow", &S::slow},
        {"rendezvous", &S::rendezvous}, {"stuckWrites", &S::stuckWrites}};
    // clang-format on
    JRPCServer::registerFunctions(kFunctions);
  }

  void echo(P& request, P& result) {
    for (const JVariant& value : request) {
      result.add(std::make_unique<JVariant>(value));
    }
  }
  void longError(const P&, P&) { throw JRPCMissingParameterError(std::string(600, 'p')); }
  void textError(const P&, P&) { throw JTextError("first line\nsecond line"); }
  void badAlloc(const P&, P&) { throw std::bad_alloc(); }
  void notAnError(const P&, P&) { throw 42; }
  // On the connection's own socket: reads that time out, writes that find no room.
  void slowReads(const P&, P&, JSocket& socket) { socket.setReadTimeout(50); }
  void stuckWrites(const P&, P&, JSocket& socket) {
    socket.setWriteTimeout(0);
    socket.setSendBufferSize(4096);
  }
  void stopService(const P&, P&) { shutdown(); }
  void stopConnections(const P&, P&) { shutdownConnections(); }
  // One-way, and answered with the socket: what came on which connection.
  void notify(const P& request, JSocket& socket) { record("notify " + request.toString(), socket); }
  void whoAmI(const P&, P& result, JSocket& socket) {
    result.set("port", static_cast<int64_t>(socket.peerAddress().port()));
    record("whoAmI", socket);
  }
  // One-way, in progress until the gate opens.
  void slow(const P&, JSocket&) {
    ++slowEntered_;
    EXPECT_TRUE(eventually([&] { return slowGate_.load(); }));
  }
  // Met once `n` handlers are inside at once: they run concurrently.
  void rendezvous(const P& request, P& result) {
    int64_t n = 0;
    request.get("n", n, true);
    ++inside_;
    result.set("met", eventually([&] { return inside_ >= n; }));
  }
  void connectionClosed(JSocket& socket) override {
    record("closed", socket);
    ++closed_;
    if (throwOnClose_) {
      throw JTextError("connectionClosed failed");
    }
  }

  std::vector<std::pair<std::string, JSocket*>> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::atomic<int> slowEntered_{0}, closed_{0}, inside_{0};
  std::atomic<bool> slowGate_{false}, throwOnClose_{false};

 private:
  void record(std::string what, JSocket& socket) {
    std::lock_guard lock(mutex_);
    events_.emplace_back(std::move(what), &socket);
  }

  std::mutex mutex_;
  std::vector<std::pair<std::string, JSocket*>> events_;
};

// A raw client: a TCP socket and the line framing, every wait bounded.
class LineClient {
 public:
  explicit LineClient(uint16_t port, int receiveBuffer = 0, bool connectNow = true) : port_(port) {
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(kWaitMs);
    socket->setReadTimeout(kWaitMs);
    socket->setWriteTimeout(kWaitMs);
    if (receiveBuffer != 0) {
      socket->setReceiveBufferSize(receiveBuffer);
    }
    socket_ = socket.get();
    io_.setSocket(std::move(socket));
    if (connectNow) {
      connect();
    }
  }
  void connect() { socket_->connect(JInetAddr("127.0.0.1", port_)); }
  void send(std::string_view line) { io_.writeLine(line); }
  // The next line; kClosed when the server closed the connection (or reset it).
  std::string receive() {
    std::string_view line;
    try {
      return io_.readLine(line) ? std::string(line) : kClosed;
    } catch (const JSysError& e) {
      return e.code() == kConnectionReset ? kClosed : throw;
    }
  }
  std::string call(std::string_view line) {
    try {
      send(line);
    } catch (const JSysError&) {
      // Closed before all was sent: the read tells how.
    }
    return receive();
  }
  uint16_t port() const { return socket_->localAddress().port(); }
  std::string peer() const { return target(port()); }
  JTCPSocket& socket() { return *socket_; }

 private:
  uint16_t port_;
  JLineIO io_;
  JTCPSocket* socket_ = nullptr;
};

// "<level> <text>" of the records that begin with `context`, but the accept thread's waits.
std::vector<std::string> texts(const LogCapture& log, const std::string& context = "") {
  std::vector<std::string> out;
  for (const LogCapture::Record& r : log.records()) {
    if (r.text.starts_with(context) && !r.text.ends_with("|Waiting for incoming connections")) {
      out.push_back(std::to_string(r.level) + " " + r.text);
    }
  }
  return out;
}

class RpcDispatch : public ::testing::Test {
 protected:
  // The result, "none" (one-way), "<code> <message> [<context>]" or "error: <message>".
  std::string run(std::string_view line) {
    try {
      std::unique_ptr<JParams> result = service_->dispatch(line, socket_);
      return result ? result->toString() : "none";
    } catch (const JRPCProtocolError& e) {
      return std::to_string(e.code()) + " " + e.protocolMessage() + " [" + e.context() + "]";
    } catch (const JError& e) {
      return "error: " + e.message();
    }
  }

  std::unique_ptr<TestService> service_ = std::make_unique<TestService>();
  JTCPSocket socket_;
};

TEST_F(RpcDispatch, Requests) {
  // Sorted by unsigned bytes; each name finds its own entry, prefixes and extensions none.
  // clang-format off
  EXPECT_EQ(service_->functionNames(), (std::vector<std::string>{
      "1", "10", "B", "a", "a_", "b", "badAlloc", "echo", "longError", "notAnError",
      "notify", "rendezvous", "slow", "slowReads", "stopConnections", "stopService",
      "stuckWrites", "textError", "whoAmI", "\xE9t\xE9"}));
  // clang-format on
  for (const std::string name : {"a_b", "bb", "100", "ech", "echoo", "\xE9", "Echo"}) {
    EXPECT_EQ(run(name + "()"), "-4 unknown function [" + name + "]");
  }
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"a()", "f=\"a\""}, {"a_()", "f=\"a_\""}, {"b()", "f=\"b\""}, {"B()", "f=\"B\""}, {"10()", "f=\"10\""},
      {"1()", "f=\"1\""}, {"\xE9t\xE9()", "f=\"high\""}, {"notify(b=2, a=1)", "none"},
      {"a", "-2 function name syntax error [a]"}, {"a b()", "-2 function name syntax error [a b()]"},
      {"a.b()", "-2 function name syntax error [a.b()]"}, {"", "-2 function name syntax error []"},
      {"   ", "-2 function name syntax error [   ]"},
      {std::string("a\0()", 4), "-2 function name syntax error [" + std::string("a\0()", 4) + "]"},
      {"()", "-3 missing function name [()]"}, {" \t(x=1)", "-3 missing function name [ \t(x=1)]"},
      {"a(x=)", "-10 cannot determine parameter type [x]"}, {"a(=1)", "-6 missing parameter name [???]"},
      {"a(x=1,)", "-5 parameter name syntax error [x=1,)]"},
      // A NUL byte ends the parameters; the handler's own errors pass through.
      {std::string("echo(x=5\0, y=6)", 15), "x=5"},
      {"textError()", "error: first line\nsecond line"}};
  // clang-format on
  for (const auto& [line, answer] : cases) {
    EXPECT_EQ(run(line), answer) << line;
  }
  EXPECT_EQ(service_->events(),
            (std::vector<std::pair<std::string, JSocket*>>{{"notify a=1, b=2", &socket_}}));
  // A new table: up to the entry without a name, sorted stably (the first of equal names wins).
  using S = TestService;
  static const JRPCFunction<S> kTable[] = {
      {"x", &S::tag<2>}, {"b", &S::tag<2>}, {"x", &S::tag<0>}, {"a", &S::tag<0>}, {},
      {"echo", &S::echo}};
  service_->registerFunctions(kTable);
  EXPECT_EQ(service_->functionNames(), (std::vector<std::string>{"a", "b", "x", "x"}));
  EXPECT_EQ(run("x()"), "f=\"b\"");
  EXPECT_EQ(run("echo()"), "-4 unknown function [echo]");
}

TEST_F(RpcDispatch, TableReplacedWhileRequestsRun) {
  using S = TestService;
  using Table = std::span<const JRPCFunction<S>>;
  static const JRPCFunction<S> kFirst[] = {{"f", &S::tag<0>}, {"g", &S::tag<0>}};
  static const JRPCFunction<S> kSecond[] = {{"f", &S::tag<2>}};
  service_->registerFunctions(kFirst);
  std::atomic<int> wrong{0};
  std::vector<std::jthread> callers;
  for (int t = 0; t < 2; ++t) {
    callers.emplace_back([&](const std::stop_token& stop) {
      while (!stop.stop_requested()) {
        const std::string f = run("f()"), g = run("g()");
        wrong += f != "f=\"a\"" && f != "f=\"b\"";
        wrong += g != "f=\"a\"" && g != "-4 unknown function [g]";
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    service_->registerFunctions(i % 2 == 0 ? Table(kSecond) : Table(kFirst));
  }
  callers.clear();  // stops and joins them
  EXPECT_EQ(wrong.load(), 0);
}

// Requests on one connection, going on after every failure; a line feed in a message is blanked.
TEST(RpcWire, Answers) {
  const auto service = std::make_unique<TestService>();
  LineClient client(service->port());
  const std::string v(100000, 'v');
  const std::string cut = ("RPCMissingParameter: '" + std::string(600, 'p')).substr(0, 504);
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"PING", "PONG"}, {"PING ", "FAILED ProtocolError: function name syntax error 'PING '"},
      // The request comes back as it was sent, a NUL byte and what follows it included.
      {std::string("a\0b()\x01", 6), "FAILED ProtocolError: function name syntax error '" +
                                          std::string("a\0b()\x01", 6) + "'"},
      {" \techo ( a = 1 ) trailing", "OK a=1"}, {"echo()", "OK "},
      {"notify(a=)", "FAILED ProtocolError: cannot determine parameter type 'a'"},
      {"echo(b=\"2\", a=1)", "OK a=1, b=\"2\""}, {"echo(s=\"" + v + "\")", "OK s=\"" + v + "\""},
      {"longError()", "FAILED " + cut}, {"textError()", "FAILED first line second line"},
      {"badAlloc()", "FAILED Unexpected exception: std::bad_alloc"},
      {"notAnError()", "FAILED Unexpected exception: exception of unknown type"},
      // A handler shutting its own service down would wait for itself.
      {"stopService()", kSelfShutdown}, {"stopConnections()", kSelfShutdown}, {"PING", "PONG"}};
  // clang-format on
  for (const auto& [request, answer] : cases) {
    EXPECT_EQ(client.call(request), answer) << request.substr(0, 40);
  }
  // A one-way request gets no answer: the next answer is the next request's.
  client.send("notify(a=1)");
  EXPECT_EQ(client.call("whoAmI()"), "OK port=" + std::to_string(client.port()));
  const auto events = service->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, "notify a=1");
  EXPECT_EQ(events[0].second, events[1].second);
}

JSystemRegistryKey rpcKey() {
  return JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC");
}

// However a connection ends, connectionClosed gets its socket (its error is
// absorbed). A PONG or OK answer that cannot be written ends it, a FAILED one not;
// a client idle for IdleTimeoutS is closed, one that pings kept.
TEST(RpcConnections, Ending) {
  // The set-up request, the action (close, reset, wait, idle, or a request to flood), the log, ends.
  const std::tuple<std::string, std::string, std::string, bool> cases[] = {
      // clang-format off
      {"echo()", "close", "", true},
      {"echo()", "reset", "Client disconnected", true},
      {"echo()", "idle", ": idle for 2 s", true},
      {"slowReads()", "wait", "Error while reading client request: Time out!", true},
      {"stuckWrites()", "PING", "Error while answering RPC PING request: ", true},
      {"stuckWrites()", "echo(a=1)", "Failed returning OK answer 'OK a=1' for request 'echo(a=1)': Time out!", true},
      {"stuckWrites()", "nope()", "Failed returning FAILED answer 'FAILED ProtocolError: unknown function 'nope'' "
                                  "for request 'nope()': Time out!", false}};
  // clang-format on
  for (const auto& [setUp, action, logged, ends] : cases) {
    SCOPED_TRACE(action);
    LogCapture log;
    if (action == "idle")
      rpcKey().setDword("IdleTimeoutS", 2);
    JTraceMask mask{kRpcTrace};
    const auto service = std::make_unique<TestService>(&mask);
    service->throwOnClose_ = true;
    LineClient client(service->port(), 4096);
    ASSERT_EQ(client.call("whoAmI()"), "OK port=" + std::to_string(client.port()));
    ASSERT_EQ(client.call(setUp), "OK ");
    for (int i = 0; action == "idle" && i < 30; ++i) {  // 3 s of PINGs keep it
      ASSERT_EQ(client.call("PING"), "PONG");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const linger abortive{1, 0};
    if (action == "reset") {
      client.socket().setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    try {
      for (int i = 0; setUp == "stuckWrites()" && i < 100000; ++i) {
        if (i % 64 == 0 && log.contains(logged)) {
          break;
        }
        client.send(action);
      }
    } catch (const JError&) {
      // The server closed its end.
    }
    if (action == "close" || action == "reset") {
      client.socket().close();
    }
    EXPECT_TRUE(ends ? eventually([&] { return service->closed_ == 1; }) : service->closed_ == 0);
    EXPECT_TRUE(eventually([&] { return service->connectionCount() == (ends ? 0u : 1u); }));
    EXPECT_TRUE(log.waitFor(logged));
    EXPECT_EQ(log.count("Client disconnected"), action == "reset" ? 1u : 0u);
    EXPECT_EQ(log.count("Error while reading"), action == "wait" ? 1u : 0u);
    const auto events = service->events();  // whoAmI, then closed
    EXPECT_EQ(events.back().first, ends ? "closed" : "whoAmI");
    EXPECT_EQ(events.back().second, events.front().second);
  }
}

// Two shut-downs at once: every connection is shut at once, both return once the
// running request is done, the one read behind it is dropped; no start follows.
TEST(RpcShutdown, WithClientsAndARequestRunning) {
  const auto service = std::make_unique<TestService>();
  EXPECT_THROW(service->start(), JTextError);
  LineClient idle(service->port()), busy(service->port());
  ASSERT_EQ(idle.call("echo(a=1)"), "OK a=1");
  // Both lines in one write: the second is read with the first.
  busy.socket().writeAll("slow()\r\nnotify(a=1)\r\n", 21);
  ASSERT_TRUE(eventually([&] { return service->slowEntered_ == 1; }));
  std::atomic<int> done{0};
  std::vector<std::jthread> stoppers;
  for (int i = 0; i < 2; ++i) {
    stoppers.emplace_back([&] {
      service->shutdown();
      ++done;
    });
  }
  EXPECT_EQ(idle.receive(), kClosed);
  EXPECT_EQ(busy.receive(), kClosed);
  EXPECT_TRUE(eventually([&] { return service->connectionCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done.load(), 0);
  service->slowGate_ = true;
  stoppers.clear();
  EXPECT_EQ(service->connectionCount(), 0u);
  EXPECT_EQ(service->events().size(), 2u);  // both "closed", no "notify"
  EXPECT_THROW(LineClient{service->port()}, JSysError);
  service->addConnection(std::make_unique<JTCPSocket>(), JInetAddr());
  EXPECT_EQ(service->connectionCount(), 0u);
  EXPECT_THROW(service->start(), JTextError);
  // A service never started shuts down too, and cannot start afterwards.
  const auto unstarted = std::make_unique<TestService>(nullptr, false, false);
  unstarted->shutdown();
  EXPECT_THROW(unstarted->start(), JTextError);
}

// Shut down as clients come and go: each answer is its client's, none touched once gone.
TEST(RpcShutdown, WhileClientsComeAndGo) {
  auto service = std::make_unique<TestService>();
  std::atomic<int> met{0}, served{0}, wrong{0};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t](const std::stop_token& stop) {
      wrong += LineClient(service->port()).call("rendezvous(n=4)") != "OK met=true";
      ++met;
      for (int i = 0; !stop.stop_requested(); ++i) {
        try {
          LineClient client(service->port());
          const std::string value = std::to_string(t * 1000000 + i);
          const std::string answer = client.call("echo(v=" + value + ")");
          served += answer == "OK v=" + value;
          wrong += answer != "OK v=" + value && answer != kClosed;
          const std::string pong = client.call("PING");
          wrong += pong != "PONG" && pong != kClosed;
        } catch (const JError&) {
          // Refused or closed once the service is going away.
        }
      }
    });
  }
  // Every rendezvous answered first: a handler still polling would find its
  // connection shut down under it, and its client rightly sees it closed.
  ASSERT_TRUE(eventually([&] { return met.load() == 4 && served.load() >= 40; }));
  service->shutdown();
  EXPECT_EQ(service->connectionCount(), 0u);
  threads.clear();
  EXPECT_EQ(wrong.load(), 0);
  service.reset();
}

// A session under each mask; a bit set while the service runs takes effect at once.
TEST(RpcLog, SessionUnderEachMask) {
  // The mask until and from the first request.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {kRpcTrace | kShutdownTrace, kRpcTrace | kShutdownTrace},
      {kShutdownTrace, kShutdownTrace},
      {0, kRpcTrace}};
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(after);
    LogCapture log(0xFFFFFFFEu, "%i|%m");
    JTraceMask mask{before};
    const auto service = std::make_unique<TestService>(&mask, true);
    const std::string s = "Test::RPC[" + std::to_string(service->port()) + "]";
    LineClient client(service->port());
    const std::string con = s + "::Connection(" + client.peer() + ")";
    ASSERT_EQ(client.call("PING"), "PONG");
    mask = after;
    EXPECT_EQ(client.call("echo(a=1)"), "FAILED ProtocolError: unknown function 'echo'");
    service->registerFunctions();
    EXPECT_EQ(client.call("echo(a=1)"), "OK a=1");
    client.send("notify(b=2)");
    EXPECT_EQ(client.call("badAlloc()"), "FAILED Unexpected exception: std::bad_alloc");
    service->shutdown();
    service->shutdown();

    // Level 21 needs the RPC bit, 4 the shut-down bit; the first three precede the change.
    const std::string all[] = {
        // clang-format off
        "21 " + s + "|Starting service thread",
        "21 " + s + "|Listening on port " + std::to_string(service->port()) + ".",
        "21 " + s + "|New client connection (0) from " + client.peer() + ".",
        "21 " + con + "|Processing request: 'echo(a=1)'.",
        "21 " + con + "|RPC Request 'echo(a=1)' failed: 'FAILED ProtocolError: unknown function 'echo''.",
        "21 " + con + "|Processing request: 'echo(a=1)'.",
        "21 " + con + "|Answering 'OK a=1' for request 'echo(a=1)'.",
        "21 " + con + "|Processing request: 'notify(b=2)'.",
        "21 " + con + "|No answer required for request 'notify(b=2)'.",
        "21 " + con + "|Processing request: 'badAlloc()'.",
        "11 " + con + "|Unexpected exception while handling request 'badAlloc()': std::bad_alloc",
        "21 " + con + "|RPC Request 'badAlloc()' failed: 'FAILED Unexpected exception: std::bad_alloc'.",
        "4 " + s + "|Closing server socket.",
        "4 " + s + "|Waiting on accept thread to exit.",
        "4 " + s + "|Shutting down opened connections.",
        "21 " + s + "|Closing TCP server socket for connection from " + client.peer(),
        "21 " + s + "|Waiting for running transaction to finish.",
        "21 " + s + "|RPC Server shut down successfully."};
    // clang-format on
    std::vector<std::string> expected;
    for (size_t i = 0; i < std::size(all); ++i) {
      const uint32_t bits = i < 3 ? before : after;
      const int level = std::stoi(all[i]);
      if (level == 11 || (bits & (level == 4 ? kShutdownTrace : kRpcTrace)) != 0) {
        expected.push_back(all[i]);
      }
    }
    EXPECT_EQ(texts(log, s), expected);
    EXPECT_TRUE(!(before & kRpcTrace) || log.contains(s + "|Waiting for incoming connections"));
  }
}

// Clients arriving at once past the bound are closed at once, none served late; the burst is
// logged when it begins and when a connection is taken again. The unfinished lines of those
// served take their room while they last and give it back, to the system, when they go. A peer
// the accept filter refuses is closed before it takes a place: counted apart, not logged.
TEST(RpcLimits, ConnectionsPastTheBoundOrRefusedAreClosedAtOnceAndLinesGiveTheirRoomBack) {
  LogCapture log(1u << kLevelError);
  rpcKey().setDword("MaxConnections", 4);
  const auto service = std::make_unique<TestService>(nullptr, false, false);
  service->setAcceptFilter([](const sockaddr& peer) {
    return reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr != htonl(0x7F000002);
  });
  service->registerFunctions();
  service->start();
  const size_t mapped = JLineBuffer::mappedBytes();
  const std::string part(kMiB - 100, 'x');
  std::vector<std::unique_ptr<LineClient>> clients(16);
  std::atomic<int> served{0}, closed{0};
  {
    std::vector<std::jthread> threads;
    for (auto& client : clients) {
      threads.emplace_back([&] {
        client = std::make_unique<LineClient>(service->port());
        const std::string answer = client->call("echo(a=1)");
        EXPECT_TRUE(answer == "OK a=1" || answer == kClosed) << answer;
        ++(answer == "OK a=1" ? served : closed);
        if (answer == "OK a=1")
          client->socket().writeAll(part.data(), part.size());
      });
    }
  }
  EXPECT_EQ(std::pair(served.load(), closed.load()), std::pair(4, 12));
  LineClient stranger(service->port(), 0, false);  // from 127.0.0.2, refused by the filter
  stranger.socket().bind(JInetAddr("127.0.0.2", 0));
  stranger.connect();
  EXPECT_EQ(stranger.call("echo(a=1)"), kClosed);
  EXPECT_EQ(service->filteredConnections(), 1u);
  EXPECT_EQ(service->refusedConnections(), 12u);
  EXPECT_TRUE(eventually([&] { return JLineBuffer::mappedBytes() >= mapped + 4 * part.size(); }));
  clients.clear();
  ASSERT_TRUE(eventually([&] { return service->connectionCount() == 0; }));
  EXPECT_TRUE(eventually([&] { return JLineBuffer::mappedBytes() == mapped; }));
  EXPECT_EQ(LineClient(service->port()).call("echo(a=2)"), "OK a=2");
  EXPECT_THAT(texts(log),
              ElementsAre(MatchesRegex("11 Too many connections \\(4, the MaxConnections limit\\): "
                                       "closing new ones at once, the first from 127.0.0.1:[0-9]+"),
                          "11 Taking connections again after closing 12 at the limit of 4"));
}

// A line up to the cap is served; a longer one closes its connection only.
TEST(RpcRequestLineCap, FromTheRegistryOrTheDefault) {
  // The registry's value (none: absent), the cap, the line the client sends.
  const std::tuple<std::optional<uint32_t>, size_t, std::string> cases[] = {
      {std::nullopt, kMiB, "echo(s=\"" + std::string(kMiB - 10, 'a') + "\")"},
      {std::nullopt, kMiB, std::string(8 * kMiB, 'x')},  // never a line feed
      {0u, 0, "echo(s=\"" + std::string(2 * kMiB, 'a') + "\")"},
      {4096u, 4096, "echo(s=\"" + std::string(4086, 'a') + "\")"},
      {4096u, 4096, "echo(s=\"" + std::string(4087, 'a') + "\")"}};
  for (const auto& [registryValue, cap, line] : cases) {
    SCOPED_TRACE(line.size());
    LogCapture log(1u << kLevelError);  // also the registry of this case
    if (registryValue) {
      rpcKey().setDword("MaxRequestLineSize", *registryValue);
    }
    const auto service = std::make_unique<TestService>();
    EXPECT_EQ(service->maxRequestLineSize(), cap);
    LineClient good(service->port()), client(service->port());
    EXPECT_EQ(good.call("echo(a=1)"), "OK a=1");
    const bool served = cap == 0 || line.size() <= cap;
    const std::string answer = client.call(line);
    std::vector<std::string> expected;
    if (served) {
      EXPECT_EQ(answer, "OK s=\"" + line.substr(8, line.size() - 10) + "\"");
      EXPECT_EQ(client.call("echo(a=1)"), "OK a=1");
    } else {
      EXPECT_EQ(answer, kClosed);
      ASSERT_TRUE(eventually([&] { return service->closed_ >= 1; }));
      EXPECT_TRUE(eventually([&] { return service->connectionCount() == 1; }));
      expected.push_back("11 Request line from " + client.peer() + " longer than " +
                         std::to_string(cap) + " bytes: closing the connection");
    }
    EXPECT_EQ(good.call("echo(a=2)"), "OK a=2");
    EXPECT_EQ(texts(log), expected);
  }
}

// Descriptors left free as clients connect: each value runs out at another point of accepting.
class RpcDescriptorExhaustion : public ::testing::TestWithParam<int> {};

TEST_P(RpcDescriptorExhaustion, AcceptingGoesOnOnceDescriptorsAreBack) {
  LogCapture log(1u << kLevelError);
  const auto service = std::make_unique<TestService>();
  const std::string port = std::to_string(service->port());
  // The clients' sockets exist before the limit; only the server's ends need one.
  std::vector<std::unique_ptr<LineClient>> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::make_unique<LineClient>(service->port(), 0, false));
  }
  {
    DescriptorLimit limit(limitLeaving(GetParam()));
    ASSERT_TRUE(limit.ok());
    for (auto& client : clients) {
      client->connect();
    }
    // Each connection is served or refused (closed at once); none is left waiting.
    int served = 0;
    for (auto& client : clients) {
      const std::string answer = client->call("echo(a=1)");
      served += answer == "OK a=1";
      EXPECT_TRUE(answer == "OK a=1" || answer == kClosed) << answer;
    }
    EXPECT_TRUE(served >= 1 && served <= 38) << served;
    clients.clear();
    ASSERT_TRUE(eventually([&] { return service->connectionCount() == 0; }));
    LineClient late(service->port());
    EXPECT_EQ(late.call("echo(a=2)"), "OK a=2");
  }
  ASSERT_TRUE(log.waitFor("Accepting connections on port"));
  const std::string atLeast2 = "([2-9]|[1-9][0-9]+)";
  EXPECT_THAT(texts(log),
              ElementsAre(MatchesRegex("11 Not accepting connections on port " + port +
                                       ": accept: .* \\(errno 24\\) \\(retrying\\)"),
                          MatchesRegex("11 Accepting connections on port " + port +
                                       " again after " + atLeast2 + " failed attempts; " +
                                       atLeast2 + " connections refused meanwhile")));
}

INSTANTIATE_TEST_SUITE_P(FreeDescriptors, RpcDescriptorExhaustion, ::testing::Values(12, 13, 14));

}  // namespace
}  // namespace zq::test
