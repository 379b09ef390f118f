// The RPC line framing on a scripted socket; a real client and a real service
// on loopback exchanging each kind of call and failure; the service against raw
// peers (limits, idle connections, shut-down); the client against scripted peers
// for what a service never sends, its link supervisor; JRPCController.
#include <gmock/gmock.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "base/registry_key.h"
#include "helpers/descriptors.h"
#include "helpers/line_client.h"
#include "rpc/line_buffer.h"
#include "rpc/line_io.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_controller.h"
#include "rpc/rpc_service.h"

namespace zq::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

// ---- the line framing ----------------------------------------------------------

const std::string kTooLong = "<too long>";

struct Script {
  std::deque<std::string> chunks = {};  // read in turn
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

// The next line, or kClosed, kTooLong.
std::string next(JLineIO& io) {
  std::string_view line;
  try {
    return io.readLine(line) ? std::string(line) : kClosed;
  } catch (const JLineTooLongError&) {
    return kTooLong;
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
  // A name, the cap, the most reads it may take (0: any number), the chunks read, the steps.
  const std::tuple<const char*, size_t, int, std::deque<std::string>, std::vector<Step>> cases[] = {
      // clang-format off
      {"LineEnds", 0, 2, {"one\ntwo\r\nthree\r\na\rb\r\n\r\r\n\r\n\n"},
       {{"one"}, {"two"}, {"three"}, {"a\rb"}, {"\r"}, {""}, {""}, {kClosed}}},
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
  Script script{.writeLimit = 7};
  JLineIO io(std::make_unique<ScriptedSocket>(script));
  io.writeLine(line);
  EXPECT_EQ(script.written, line + "\r\n");
}

// ---- a service, a raw peer, a client ----------------------------------------------

constexpr size_t kMiB = size_t{1} << 20;

class TestService : public JRPCService {
 public:
  using P = JParams;
  // Registered and started unless `ready` is false.
  explicit TestService(bool ready = true) : JRPCService(0, false, nullptr, "Test") {
    if (ready) {
      registerFunctions();
      start();
    }
  }
  ~TestService() override { shutdown(); }
  using JRPCServer::addConnection;

  void registerFunctions() override {
    using S = TestService;
    // clang-format off
    static const JRPCFunction<S> kFunctions[] = {
        {"echo", &S::echo}, {"longError", &S::longError}, {"textError", &S::textError},
        {"badAlloc", &S::badAlloc}, {"notAnError", &S::notAnError},
        {"stopService", &S::stopService}, {"notify", &S::notify}, {"slow", &S::slow}};
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
  void stopService(const P&, P&) { shutdown(); }
  // One-way: what came.
  void notify(const P& request, JSocket&) { record("notify " + request.toString()); }
  // One-way, in progress until the gate opens.
  void slow(const P&, JSocket&) {
    ++slowEntered_;
    EXPECT_TRUE(eventually([&] { return slowGate_.load(); }));
  }
  void connectionClosed(JSocket&) override {
    record("closed");
    ++closed_;
  }

  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::atomic<int> slowEntered_{0}, closed_{0};
  std::atomic<bool> slowGate_{false};

 private:
  void record(std::string what) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(what));
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
};

// "<level> <text>" of the records, but the accept thread's waits.
std::vector<std::string> texts(const LogCapture& log) {
  std::vector<std::string> out;
  for (const LogCapture::Record& r : log.records()) {
    if (!r.text.ends_with("|Waiting for incoming connections")) {
      out.push_back(std::to_string(r.level) + " " + r.text);
    }
  }
  return out;
}

// What a call gives: "ok:" and its result, or the error it throws.
template <class F>
std::string outcome(F&& call) {
  try {
    return "ok:" + call();
  } catch (const JTextError& e) {
    return "text:" + e.message();
  } catch (const JError& e) {
    return "error:" + e.message();
  }
}

// Warnings "RPC Connection to <host:port><what>." logged.
size_t warned(const LogCapture& log, uint16_t port, const std::string& what) {
  return countAt(log, kLevelWarning, "RPC Connection to " + target(port) + what + ".");
}

JSystemRegistryKey rpcKey() {
  return JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC");
}

// ---- a client and a service --------------------------------------------------------

// One link carries each form of request and each kind of failure, every failure comes back as
// its text and the link stays up through all of them; what a client cannot show is checked on
// a raw connection: a PONG comes bare, a request is quoted back as sent (NUL and all), a long
// error is cut.
TEST(RpcConversation, EachKindOfCallAndFailure) {
  const auto service = std::make_unique<TestService>();
  auto client = makeClient(service->port());
  JVariant second("b", "x");
  const JVariant first("a", int32_t{1}, &second);
  // Longer than the stack buffer of a line.
  std::vector<JVariant> big;
  for (int i = 0; i < 5; ++i) {
    big.emplace_back("k" + std::to_string(i), std::string(1000, 'v'));
  }
  EXPECT_EQ(client->call("echo", "b=\"x\", a=1", 2000).toString(), "a=1, b=\"x\"");
  EXPECT_EQ(client->callForText("echo", &first, 2000), "a=1, b=\"x\"");
  client->notify("notify", &first);
  EXPECT_EQ(client->call("echo", big, 2000).size(), 5u);
  const std::string failed = "text:FAILED ProtocolError: ";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"ech", "", failed + "unknown function 'ech'"},
      {"", "x=1", failed + "missing function name '(x=1)'"},
      {"echo", "x=1,", failed + "parameter name syntax error 'x=1,)'"},
      {"textError", "", "text:FAILED first line second line"},
      {"badAlloc", "", "text:FAILED Unexpected exception: std::bad_alloc"},
      {"notAnError", "", "text:FAILED Unexpected exception: exception of unknown type"},
      // A handler shutting its own service down would wait for itself.
      {"stopService", "",
       "text:FAILED an RPC server cannot be shut down from one of its connections"}};
  for (const auto& [function, params, result] : cases) {
    EXPECT_EQ(outcome([&] { return client->callForText(function, params, 2000); }), result)
        << function;
  }
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(service->events().front(), "notify a=1, b=\"x\"");

  LineClient raw(service->port());
  const std::string cut = ("RPCMissingParameter: '" + std::string(600, 'p')).substr(0, 504);
  const std::pair<std::string, std::string> wire[] = {
      {"PING", "PONG"},
      {std::string("a\0b()\x01", 6),
       "FAILED ProtocolError: function name syntax error '" + std::string("a\0b()\x01", 6) + "'"},
      {" \techo ( a = 1 ) trailing", "OK a=1"},
      {"longError()", "FAILED " + cut}};
  for (const auto& [request, answer] : wire) {
    EXPECT_EQ(raw.call(request), answer) << request;
  }
  client->shutdown();
}

// Two callers share one client with its PINGs while raw peers come and go on connections of
// their own: every answer is its own request's, up to and through the service's shut-down.
TEST(RpcConversation, ConcurrentCallersEachGetTheirOwnAnswerThroughTheServicesShutdown) {
  auto service = std::make_unique<TestService>();
  JTraceMask mask{JRPCClient::kTraceWire};
  LogCapture log(1u << kLevelTrace);
  // A PING has half the period for the call lock, then half for its exchange.
  auto client = makeClient(service->port(), {.pingPeriod = 2000, .mask = &mask});
  std::atomic<int> served{0};
  std::atomic<bool> stopping{false};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t](const std::stop_token& stop) {
      for (int i = 0; !stop.stop_requested(); ++i) {
        const std::string sent = "v=" + std::to_string(t * 1000000 + i);
        std::string answer, pong = "PONG";
        try {
          if (t < 2) {
            answer = "OK " + client->callForText("echo", sent, 5000);
          } else {
            LineClient raw(service->port());
            answer = raw.call("echo(" + sent + ")");
            pong = raw.call("PING");
          }
        } catch (const JError& e) {
          // A raw peer may be refused or closed under load, anyone once the service goes.
          EXPECT_TRUE(t >= 2 || stopping) << e.message();
          continue;
        }
        served += answer == "OK " + sent;
        EXPECT_TRUE(answer == "OK " + sent || answer == kClosed) << sent << ": " << answer;
        EXPECT_TRUE(pong == "PONG" || pong == kClosed) << pong;
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return served.load() >= 400 && log.count("--> PING") >= 2; }));
  stopping = true;
  service->shutdown();
  EXPECT_EQ(service->connectionCount(), 0u);
  threads.clear();
  client->shutdown();
}

// ---- the service against raw peers ---------------------------------------------------

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
  EXPECT_EQ(done.load(), 0);
  service->slowGate_ = true;
  stoppers.clear();
  EXPECT_EQ(service->connectionCount(), 0u);
  EXPECT_EQ(service->events(), (std::vector<std::string>{"closed", "closed"}));  // no "notify"
  EXPECT_THROW(LineClient{service->port()}, JSysError);
  service->addConnection(std::make_unique<JTCPSocket>(), JInetAddr());
  EXPECT_EQ(service->connectionCount(), 0u);
  EXPECT_THROW(service->start(), JTextError);
}

// Clients arriving at once past the bound are closed at once, none served late; the burst is
// logged when it begins and when a connection is taken again. The unfinished lines of those
// served take their room while they last and give it back, to the system, when they go. A peer
// the accept filter refuses is closed before it takes a place: counted apart, not logged.
TEST(RpcLimits, ConnectionsPastTheBoundOrRefusedAreClosedAtOnceAndLinesGiveTheirRoomBack) {
  LogCapture log(1u << kLevelError);
  rpcKey().setDword("MaxConnections", 4);
  const auto service = std::make_unique<TestService>(false);
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
  LineClient stranger(service->port(), "127.0.0.2");  // refused by the filter
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

// A request line up to the cap is served, a longer one closes its connection only; so does
// idleness for IdleTimeoutS, while a connection that pings is kept.
TEST(RpcConnections, ALineOverTheCapOrIdlenessClosesThatConnectionOnly) {
  LogCapture log(1u << kLevelError);  // also the registry of the test
  EXPECT_EQ(TestService(false).maxRequestLineSize(), kMiB);
  rpcKey().setDword("MaxRequestLineSize", 4096);
  rpcKey().setDword("IdleTimeoutS", 2);
  const auto service = std::make_unique<TestService>();
  LineClient idle(service->port()), pinging(service->port()), client(service->port());
  EXPECT_EQ(idle.call("echo(s=\"" + std::string(4086, 'a') + "\")"),
            "OK s=\"" + std::string(4086, 'a') + "\"");
  EXPECT_EQ(client.call("echo(s=\"" + std::string(4087, 'a') + "\")"), kClosed);
  for (int i = 0; i < 30; ++i) {  // 3 s of PINGs
    ASSERT_EQ(pinging.call("PING"), "PONG");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(idle.receive(), kClosed);
  EXPECT_TRUE(eventually([&] { return service->closed_ == 2; }));
  EXPECT_EQ(pinging.call("echo(a=2)"), "OK a=2");
  EXPECT_EQ(texts(log),
            std::vector<std::string>{"11 Request line from " +
                                     target(client.socket().localAddress().port()) +
                                     " longer than 4096 bytes: closing the connection"});
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
    clients.push_back(std::make_unique<LineClient>(service->port(), nullptr, false));
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

// ---- the client against scripted peers ----------------------------------------------

// A peer that answers late, past the line cap, or trickles its answer past the call's time-out
// is a lost link: the client holds no more than the cap and waits no longer than asked; without
// retry the loss is reported once and the next call fails unsent, never taking a late answer.
TEST(RpcClientLink, AnAnswerLatePastTheCapOrTrickledIsALostLink) {
  LogCapture log;  // and the registry of the test
  rpcKey().setDword("MaxRequestLineSize", 4096);
  // The answer's length (0: "OK late" once the call gave up; -1: a byte every 20 ms, for 20 s
  // at most), the outcome, the log.
  const std::tuple<int, std::string, std::string> cases[] = {
      {4096, "ok:aaaa", ""},
      {0, "error:Time out!", "Time out!"},
      {4097, "error:line longer than 4096 bytes", "line longer than 4096 bytes"},
      {-1, "error:Time out!", "Time out!"}};
  for (const auto& [length, result, logged] : cases) {
    SCOPED_TRACE(length);
    JTCPSocket listener;
    listener.bind(JInetAddr("127.0.0.1", 0));
    listener.listen(1);
    JFlag gaveUp(true, false);
    std::atomic<int> trickled{0};
    std::jthread peer([&, length = length] {
      try {
        JLineIO io(listener.accept());
        std::string_view line;
        io.readLine(line);
        if (length == 0) {
          gaveUp.wait(30000);
          io.writeLine("OK late");
        }
        if (length > 0) {
          io.writeLine("OK " + std::string(length - 3, 'a'));
        }
        for (int i = 0; length < 0 && i < 1000; ++i) {
          io.socket()->writeAll("a", 1);
          ++trickled;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      } catch (const JError&) {
      }
    });
    LinkRecorder links;
    auto client = makeClient(listener.localAddress().port(), {.retry = false, .listener = &links});
    const Clock::time_point start = Clock::now();
    const std::string got = outcome([&] { return client->callForText("f", "", 1000); });
    const int64_t waited = msSince(start);
    gaveUp.set();
    EXPECT_EQ(got.substr(0, result.size()), result);
    if (logged == "Time out!") {
      EXPECT_GE(waited, 950) << "gave up before its time-out";
    }
    EXPECT_EQ(warned(log, listener.localAddress().port(), " lost, RPC call aborted: " + logged),
              logged.empty() ? 0u : 1u);
    EXPECT_EQ(client->isConnected(), logged.empty());
    if (!logged.empty()) {
      EXPECT_EQ(outcome([&] { return client->callForText("g", "", 2000); }),
                "error:Connection Lost");
      EXPECT_TRUE(eventually([&] { return client->tryJoin(); }));
      EXPECT_EQ(links.whats(), std::vector<std::string>{"down:Connection Lost"});
    }
    client->shutdown();
    peer.join();
    EXPECT_LT(trickled.load(), 1000) << "the call outlasted the trickle";
  }
}

// A call queued behind one that hangs times out on its own clock, having sent nothing, and the
// link stays; the owner's declaration that the link is lost ends the hanging call at once.
TEST(RpcClientLink, AQueuedCallTimesOutOnItsOwnAndADeclaredLossEndsAHangingOneReportedOnce) {
  ScriptedLineServer server([](const std::string& line) -> std::string {
    return line == "hang()" ? kSilent : "OK done=1";
  });
  LinkRecorder listener;
  auto client = makeClient(server.port(), {.listener = &listener});  // connected at once
  std::atomic<bool> returned{false}, queuedReturned{false};
  std::string error, queued;
  std::jthread caller([&] {
    error = thrownText<JRPCConnectionLostError>([&] { client->call("hang", "", 60000); });
    returned = true;
  });
  ASSERT_TRUE(server.waitFor("hang()"));
  std::jthread quick([&] {
    queued = thrownText<JTimeoutError>([&] { client->callForText("quick", "", 300); });
    queuedReturned = true;
  });
  EXPECT_TRUE(eventually([&] { return queuedReturned.load(); }, 10000))
      << "the queued call waited for the hanging one";
  EXPECT_TRUE(client->isConnected());
  const auto declared = Clock::now();
  client->connectionLost();  // waits for the call to end
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  EXPECT_LT(msSince(declared), 30000) << "the call ran to its own time-out";
  caller.join();
  quick.join();
  EXPECT_EQ(error, "Connection Lost");
  EXPECT_EQ(queued, "Time out!");
  EXPECT_EQ(server.lines(), std::vector<std::string>{"hang()"});
  ASSERT_TRUE(listener.waitFor("up", 1)) << "reconnected";
  EXPECT_EQ(listener.countOf("down"), 1u);
  EXPECT_EQ(client->callForText("again", "", 2000), "done=1");
  client->shutdown();
}

TEST(RpcClientShutdown, NeverHangsAndSkipsAConnectNotYetStartedSilently) {
  // Shut down at every point of the first attempt, then well inside a connect without and
  // with a time-out of its own. A connect the shut-down prevents reports no failure.
  FullListener full;
  ASSERT_TRUE(full.full());
  JTraceMask mask{JRPCClient::kTraceConnection};
  for (int round = 0; round < 32; ++round) {
    SCOPED_TRACE(round);
    LogCapture log;
    auto client = makeClient(
        full.port(),
        {.connectTimeout = round == 31 ? 30000 : -1, .connectNow = false, .mask = &mask});
    if (round < 30) {
      std::this_thread::sleep_for(std::chrono::microseconds(round * 150));
    } else {
      ASSERT_TRUE(log.waitFor("Connecting to"));
    }
    const auto start = Clock::now();
    client->shutdown();
    EXPECT_LT(msSince(start), 5000);
    if (!log.contains("Connecting to")) {
      EXPECT_EQ(log.count("RPC Connection to") + log.count("Exception THROW"), 0u);
    }
    EXPECT_EQ(log.count("Shutdown complete."), 1u);
  }
}

// ---- the link supervisor ------------------------------------------------------------

// A client whose supervisor reports to `listener`, with the connection trace.
struct Supervised {
  Supervised(uint16_t port, ClientOptions o) {
    o.listener = &listener;
    o.mask = &mask;
    client = makeClient(port, o);
  }
  ~Supervised() { client->shutdown(); }
  LinkRecorder listener;
  JTraceMask mask{JRPCClient::kTraceConnection};
  std::unique_ptr<JRPCClientNotify> client;
};

// A wrong answer, with retry, and silence, without.
TEST(RpcSupervisorPing, AnythingButPongInHalfThePeriodIsALostLink) {
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry);
    LogCapture log;
    ScriptedLineServer server([retry](const std::string& line) -> std::string {
      return line != "PING" ? "OK " : retry ? "pong" : kSilent;
    });
    Supervised s(server.port(), {.retry = retry, .pingPeriod = 400});
    ASSERT_TRUE(server.waitFor("PING", 1, 6000));
    ASSERT_TRUE(s.listener.waitFor("down", 1, 6000));
    const std::string why = retry ? "ProtocolError: pong '\?\?\?'" : "Time out!";
    const std::string down = retry ? " down, will retry later: " : " down, giving up: ";
    EXPECT_EQ(warned(log, server.port(), down + why), 1u);
    EXPECT_EQ(s.listener.whats()[0], "down:Connection Lost");
    if (retry) {
      EXPECT_TRUE(s.listener.waitFor("up"));
    } else {
      EXPECT_TRUE(eventually([&] { return s.client->tryJoin(); }));
    }
  }
}

// Connect attempts that never get an answer follow each other back to back. A call waiting
// meanwhile must be served right after the attempt it queued behind and fail (not connected).
// At idle priority on the supervisor's CPU the caller cannot run between the supervisor's
// release of the client and its next take of it: an unfair lock starves it there.
TEST(RpcCallStarvation, ACallWaitingOnAConnectIsServedBeforeTheNextAttempt) {
  FullListener full;
  ASSERT_TRUE(full.full());
  LogCapture log;
  std::unique_ptr<Supervised> s;
  std::atomic<bool> done{false};
  std::atomic<size_t> attemptsBefore{0};
  std::string error;
  std::thread caller;
  {
    // Pinned to the CPU it runs on; threads created meanwhile inherit it.
    struct Pin {
      cpu_set_t saved;
      ~Pin() { ::sched_setaffinity(0, sizeof saved, &saved); }
    } pin{};
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(std::max(0, ::sched_getcpu()), &one);
    ASSERT_EQ(::sched_getaffinity(0, sizeof pin.saved, &pin.saved), 0);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    s = std::make_unique<Supervised>(full.port(),
                                     ClientOptions{.connectTimeout = 1500, .connectNow = false});
    ASSERT_TRUE(log.waitFor("Connecting to"));
    caller = std::thread([&] {
      sched_param idle{};
      if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) != 0) {
        error = "could not take idle priority";
      } else {
        attemptsBefore = log.count("Connecting to");
        error = thrownText<JError>([&] { s->client->call("f", "", 300); });
      }
      done = true;
    });
  }
  const bool served = eventually([&] { return done.load(); }, 30000);
  const size_t attemptsWhileWaiting = log.count("Connecting to") - attemptsBefore.load();
  s->client->shutdown();  // frees a caller still waiting
  caller.join();
  ASSERT_TRUE(served) << "still waiting after " << attemptsWhileWaiting << " connect attempts";
  EXPECT_EQ(error, "Connection Lost");
  // At most the attempt under way (or due) when the call began comes before its failure.
  const auto records = log.records();
  const auto has = [](std::string_view text) {
    return [text](const LogCapture::Record& r) { return r.text.find(text) != std::string::npos; };
  };
  const auto failed = std::ranges::find_if(records, has("Calling f fails on unconnected"));
  ASSERT_NE(failed, records.end());
  const auto attempts = std::count_if(records.begin(), failed, has("Connecting to"));
  EXPECT_LE(static_cast<size_t>(attempts), attemptsBefore.load() + 1);
  ASSERT_TRUE(s->listener.waitFor("down"));
  EXPECT_EQ(s->listener.whats()[0], "down:Time out!");
}

// ---- JRPCController -------------------------------------------------------------------

using State = JRPCControllerInterface::State;

// A controller of 127.0.0.1:`port` whose connect() was called and succeeded.
std::unique_ptr<JRPCController> connected(JRPCNotifyWithContext<>* listener, uint16_t port) {
  auto controller = std::make_unique<JRPCController>(listener, port, "127.0.0.1", 2000, false);
  EXPECT_EQ(controller->connect(), 0);
  return controller;
}

// Against a port that refuses, then a service there: calls go to the client only while it is
// connected, as the service expects them; link events come on the controller's own thread with
// the controller as their context.
TEST(RpcController, CallsAndEventsFollowTheLink) {
  ScriptedLineServer::Responder service = [](const std::string& line) -> std::string {
    return line == "getParams(nop=0)" ? "OK AudioClass=\"SEMIPRO\""
           : line == "PING"           ? "PONG"
                                      : "OK ";
  };
  RefusingPort refusing;
  const uint16_t port = refusing.port();
  LinkRecorder listener;
  // At once against the refusing port: no client, nothing told.
  auto controller = std::make_unique<JRPCController>(&listener, port, "127.0.0.1", 2000, true);
  std::string text = "untouched";
  EXPECT_EQ(controller->setParams("a=0"), -1);
  EXPECT_EQ(controller->connect(), -1);
  EXPECT_EQ(controller->getState(), State::kDisconnected);
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(text, "untouched");
  // Not at once: the client tries, gives up (retry off) and says why.
  controller->setConnectAtOnce(false);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(listener.waitFor("down"));
  EXPECT_TRUE(eventually([&] { return controller->getState() == State::kDisconnected; }));
  // The owner reconnects once the service is there.
  ScriptedLineServer server(service, refusing.take());
  ASSERT_EQ(controller->reconnect(), 0);
  EXPECT_TRUE(eventually([&] { return controller->getState() == State::kConnected; }));
  static_cast<JRPCNotify&>(*controller).linkDown(nullptr);  // a loss without an error
  ASSERT_TRUE(listener.waitFor("down", 2));
  // At once: connected when connect returns, and no event for it.
  controller->setConnectAtOnce(true);
  ASSERT_EQ(controller->reconnect(), 0);
  EXPECT_EQ(controller->getState(), State::kConnected);
  ASSERT_EQ(controller->getParams(text), 0);
  EXPECT_EQ(text, "AudioClass=\"SEMIPRO\"");
  EXPECT_EQ(controller->setParams("Volume=5, Mute=false"), 0);
  controller->disconnect();
  EXPECT_EQ(controller->getState(), State::kDisconnected);
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(controller->setParams("a=2"), -1);
  RefusingPort moved;  // a new port is the one the next connect goes to
  controller->setPort(moved.port());
  EXPECT_EQ(controller->connect(), -1);
  EXPECT_EQ(server.lines(),
            (std::vector<std::string>{"getParams(nop=0)", "setParams(Volume=5, Mute=false)"}));
  EXPECT_EQ(listener.whats(),
            (std::vector<std::string>{"down:" + kRefused, "up", "down:Unknown error"}));
  for (const auto& e : listener.events()) {
    EXPECT_EQ(e.context, static_cast<JRPCControllerInterface*>(controller.get()));
    // Not the client's supervisor ("JRPCController_" + name) but the queue.
    EXPECT_EQ(e.thread, "JRPCController (JThreadedQueue<JRPCEventMsg>) " + target(port));
  }
}

// The link-down races the destruction at every point, and a listener reconnects from it: no
// hang, leak or use after free; a controller whose event is being delivered waits for it.
TEST(RpcController, DestroyedOrReconnectedWhileItsClientReportsALoss) {
  RefusingPort refusing;
  LinkRecorder listener;
  for (int round = 0; round < 30; ++round) {
    auto controller = connected(&listener, refusing.port());
    std::this_thread::sleep_for(std::chrono::microseconds(round * 100));
  }
  listener.slowLinkDown = true;
  const int returned = listener.linkDownsReturned.load();
  auto controller = connected(&listener, refusing.port());
  ASSERT_TRUE(listener.waitFor("down", static_cast<size_t>(returned) + 1));
  controller.reset();
  EXPECT_EQ(listener.linkDownsReturned.load(), returned + 1);
  // Reconnects on link down, on the controller's thread, while the old client may still post.
  class Reconnecting : public JRPCNotifyWithContext<> {
   public:
    void linkUp(JRPCControllerInterface*) override {}
    void linkDown(JRPCControllerInterface* context, JError*) override {
      if (++downs < 3) {
        context->reconnect();
      }
    }
    std::atomic<int> downs{0};
  } reconnecting;
  controller = connected(&reconnecting, refusing.port());
  EXPECT_TRUE(eventually([&] { return reconnecting.downs.load() >= 3; }));
  controller.reset();  // before `reconnecting`: the old client may still post to it
}

}  // namespace
}  // namespace zq::test
