// The RPC service's connections over their life: concurrent clients, peers
// going away, shut-down with clients connected or requests running, and the
// log lines of each step.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "helpers/log_capture.h"
#include "test_rpc_server_fixture.h"

namespace zq::test {
namespace {

constexpr uint32_t kRpcTrace = 1u << 21;
constexpr uint32_t kShutdownTrace = 0x2;

// A server without a listener of its own: the test hands it connections it
// has prepared (time-outs, buffer sizes) through addConnection.
class BareServer : public JRPCServer {
 public:
  explicit BareServer(JTraceMask* mask = nullptr) : JRPCServer("Bare", mask) {
    registerFunctions();
  }
  ~BareServer() override { shutdownConnections(); }

  using JRPCServer::addConnection;

  void registerFunctions() override {
    static const JRPCFunction<BareServer> kFunctions[] = {
        {"echo", &BareServer::echo},
        {"stopAll", &BareServer::stopAll},
        {"big", &BareServer::big},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  void echo(const JParams& request, JParams& result) {
    for (const JVariant& value : request) {
      result.add(std::make_unique<JVariant>(value));
    }
  }
  void stopAll(const JParams&, JParams&) { shutdownConnections(); }
  // An answer far larger than both ends' socket buffers.
  void big(const JParams&, JParams& result) { result.set("s", std::string(8 << 20, 'b')); }

  void connectionClosed(JSocket&) override {
    closed_.add();
    if (throwOnClose_) {
      throw JTextError("connectionClosed failed");
    }
  }

  Counter closed_;
  std::atomic<bool> throwOnClose_{false};
};

// A connected pair: the client's line framing and the server's end, not yet
// handed over.
struct Pair {
  Pair() {
    listener.bind(0);
    listener.listen(4);
    listener.setAcceptTimeout(kWaitMs);
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(kWaitMs);
    socket->setReceiveBufferSize(4096);
    socket->connect(JInetAddr("127.0.0.1", listener.localAddress().port()));
    socket->setReadTimeout(kWaitMs);
    socket->setWriteTimeout(kWaitMs);
    clientSocket = socket.get();
    client.setSocket(std::move(socket));
    server = listener.accept(&peer);
  }

  std::optional<std::string> receive() {
    std::string_view line;
    if (!client.readLine(line)) {
      return std::nullopt;
    }
    return std::string(line);
  }

  JTCPSocket listener;
  JLineIO client;
  JTCPSocket* clientSocket = nullptr;
  std::unique_ptr<JStreamSocket> server;
  JInetAddr peer;
};

// Writes `line` over and over without reading any answer, until the server
// gives up on the connection, the log shows `text`, or the bound passes.
bool floodUntil(Pair& pair, const LogCapture& capture, const std::string& line,
                std::string_view text) {
  std::string chunk;
  for (int i = 0; i < 64; ++i) {
    chunk += line + "\r\n";
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!capture.contains(text) && std::chrono::steady_clock::now() < deadline) {
    try {
      pair.clientSocket->writeAll(chunk.data(), chunk.size());
    } catch (const JError&) {
      break;  // the server closed its end
    }
  }
  return capture.waitFor(text);
}

// The servers live on the heap: their mutexes are then known to the thread
// checker as gone when they go, not mistaken for the next test's mutexes at
// the same stack address.

// ---- concurrent clients -----------------------------------------------------------

TEST(RpcConnections, HandlersOfDifferentConnectionsRunConcurrently) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  constexpr int kClients = 3;
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      LineClient client(service.port());
      answers[i] = client.call("rendezvous(n=" + std::to_string(kClients) + ")");
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (const std::string& answer : answers) {
    EXPECT_EQ(answer, "OK met=true");
  }
}

TEST(RpcConnections, ManyClientsEachGetTheirOwnAnswers) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  constexpr int kClients = 4;
  constexpr int kCalls = 150;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      LineClient client(service.port());
      for (int i = 0; i < kCalls; ++i) {
        const std::string value = std::to_string(c * 1000 + i);
        if (client.call("echo(v=" + value + ")") != "OK v=" + value) {
          ++wrong;
        }
        if (i % 10 == 0 && client.call("PING") != "PONG") {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(eventually([&] { return service.connectionCount() == 0; }));
  EXPECT_EQ(service.closed_.value(), kClients);
}

// ---- peers going away -------------------------------------------------------------

TEST(RpcConnections, ClientClosingIsReportedWithItsSocketAndRemoved) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  {
    LineClient client(service.port());
    ASSERT_EQ(client.call("whoAmI()"), "OK port=" + std::to_string(client.localPort()));
    EXPECT_EQ(service.connectionCount(), 1u);
  }
  ASSERT_TRUE(service.closed_.waitFor(1));
  EXPECT_EQ(service.closedSockets(), std::vector<JSocket*>{service.answerSocket()});
  EXPECT_TRUE(eventually([&] { return service.connectionCount() == 0; }));

  // The service goes on accepting.
  LineClient next(service.port());
  EXPECT_EQ(next.call("echo(a=1)"), "OK a=1");
}

TEST(RpcConnections, ResetByThePeerIsLoggedAsDisconnection) {
  LogCapture capture;
  JTraceMask mask{kRpcTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  ASSERT_EQ(client.call("echo(a=1)"), "OK a=1");
  client.reset();
  ASSERT_TRUE(service.closed_.waitFor(1));
  EXPECT_TRUE(capture.waitFor("Client disconnected"));
  EXPECT_FALSE(capture.contains("Error while reading client request"));
}

TEST(RpcConnections, OrderlyCloseIsNoDisconnectionNorError) {
  LogCapture capture;
  JTraceMask mask{kRpcTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  {
    LineClient client(service.port());
    ASSERT_EQ(client.call("echo(a=1)"), "OK a=1");
  }
  ASSERT_TRUE(service.closed_.waitFor(1));
  EXPECT_FALSE(capture.contains("Client disconnected"));
  EXPECT_FALSE(capture.contains("Error while reading client request"));
}

TEST(RpcConnections, ReadFailureEndsTheConnectionWithAnError) {
  LogCapture capture;
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  Pair pair;
  pair.server->setReadTimeout(50);
  server.addConnection(std::move(pair.server), pair.peer);
  ASSERT_TRUE(server.closed_.waitFor(1));
  EXPECT_TRUE(capture.waitFor("Error while reading client request: Time out!"));
  EXPECT_TRUE(eventually([&] { return server.connectionCount() == 0; }));
  EXPECT_EQ(pair.receive(), std::nullopt);
}

TEST(RpcConnections, ErrorInConnectionClosedIsAbsorbed) {
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  server.throwOnClose_ = true;
  Pair pair;
  server.addConnection(std::move(pair.server), pair.peer);
  pair.clientSocket->shutdown();
  ASSERT_TRUE(server.closed_.waitFor(1));
  EXPECT_TRUE(eventually([&] { return server.connectionCount() == 0; }));
}

// ---- answers that cannot be written -----------------------------------------------
// The client never reads: once both buffers are full, the server's next
// answer finds no room within its write time-out of 0.

TEST(RpcConnections, UnwritablePongEndsTheConnection) {
  LogCapture capture;
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  Pair pair;
  pair.server->setWriteTimeout(0);
  pair.server->setSendBufferSize(4096);
  server.addConnection(std::move(pair.server), pair.peer);
  EXPECT_TRUE(floodUntil(pair, capture, "PING", "Error while answering RPC PING request: "));
  ASSERT_TRUE(server.closed_.waitFor(1));
  EXPECT_TRUE(eventually([&] { return server.connectionCount() == 0; }));
}

TEST(RpcConnections, UnwritableOkAnswerEndsTheConnection) {
  LogCapture capture;
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  Pair pair;
  pair.server->setWriteTimeout(0);
  pair.server->setSendBufferSize(4096);
  server.addConnection(std::move(pair.server), pair.peer);
  EXPECT_TRUE(floodUntil(pair, capture, "echo(a=1)",
                         "Failed returning OK answer 'OK a=1' for request 'echo(a=1)': Time out!"));
  ASSERT_TRUE(server.closed_.waitFor(1));
  EXPECT_TRUE(eventually([&] { return server.connectionCount() == 0; }));
}

TEST(RpcConnections, UnwritableFailedAnswerKeepsTheConnection) {
  LogCapture capture;
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  Pair pair;
  pair.server->setWriteTimeout(0);
  pair.server->setSendBufferSize(4096);
  server.addConnection(std::move(pair.server), pair.peer);
  EXPECT_TRUE(floodUntil(pair, capture, "nope()",
                         "Failed returning FAILED answer 'FAILED ProtocolError: unknown function "
                         "'nope'' for request 'nope()': Time out!"));
  EXPECT_EQ(server.closed_.value(), 0);
  EXPECT_EQ(server.connectionCount(), 1u);
}

// ---- shut-down --------------------------------------------------------------------

TEST(RpcShutdown, ClosesConnectedClientsAndWaitsForThemToGo) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  std::vector<std::unique_ptr<LineClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<LineClient>(service.port()));
    ASSERT_EQ(clients.back()->call("echo(i=" + std::to_string(i) + ")"),
              "OK i=" + std::to_string(i));
  }
  service.shutdown();
  EXPECT_EQ(service.connectionCount(), 0u);
  EXPECT_EQ(service.closed_.value(), 3);
  for (auto& client : clients) {
    EXPECT_EQ(client->receive(), std::nullopt);
  }
  // No longer listening.
  JTCPSocket late;
  late.setConnectTimeout(kWaitMs);
  EXPECT_THROW(late.connect(JInetAddr("127.0.0.1", service.port())), JSysError);
}

TEST(RpcShutdown, IsIdempotent) {
  LogCapture capture;
  JTraceMask mask{kShutdownTrace | kRpcTrace};
  {
    const auto serviceOwner = std::make_unique<TestService>(&mask);
    TestService& service = *serviceOwner;
    LineClient client(service.port());
    ASSERT_EQ(client.call("empty()"), "OK ");
    service.shutdown();
    service.shutdown();
  }
  EXPECT_EQ(capture.count("Shutting down opened connections."), 1u);
  EXPECT_EQ(capture.count("RPC Server shut down successfully."), 1u);
}

TEST(RpcShutdown, WaitsForARunningRequest) {
  LogCapture capture;
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  client.send("slow()");
  ASSERT_TRUE(service.slowEntered_.waitFor(1));

  std::atomic<bool> done{false};
  std::thread stopper([&] {
    service.shutdown();
    done = true;
  });
  // The connection's socket is shut down at once; the request goes on.
  EXPECT_EQ(client.receive(), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(service.connectionCount(), 1u);

  service.slowGate_.open();
  stopper.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(service.connectionCount(), 0u);
  // The answer of the finished request had nowhere to go.
  EXPECT_TRUE(
      capture.contains("Failed returning OK answer 'OK released=true' for request 'slow()': "));
}

TEST(RpcShutdown, RequestsQueuedBehindARunningOneAreDropped) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  client.send("slow()");
  ASSERT_TRUE(service.slowEntered_.waitFor(1));
  client.send("notify(a=1)");
  std::thread stopper([&] { service.shutdown(); });
  EXPECT_EQ(client.receive(), std::nullopt);
  service.slowGate_.open();
  stopper.join();
  EXPECT_TRUE(service.notified().empty());
}

TEST(RpcShutdown, ConcurrentCallsBothReturnOnceDone) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  client.send("slow()");
  ASSERT_TRUE(service.slowEntered_.waitFor(1));
  std::atomic<int> done{0};
  std::thread first([&] {
    service.shutdown();
    ++done;
  });
  std::thread second([&] {
    service.shutdown();
    ++done;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done.load(), 0);
  service.slowGate_.open();
  first.join();
  second.join();
  EXPECT_EQ(done.load(), 2);
  EXPECT_EQ(service.connectionCount(), 0u);
}

TEST(RpcShutdown, EndsAConnectionBlockedWritingAnAnswer) {
  LogCapture capture;
  JTraceMask mask{kRpcTrace};
  const auto serverOwner = std::make_unique<BareServer>(&mask);
  BareServer& server = *serverOwner;
  Pair pair;
  pair.server->setSendBufferSize(4096);
  server.addConnection(std::move(pair.server), pair.peer);
  // The client never reads: the answer's write waits for room, without limit.
  pair.client.writeLine("big()");
  ASSERT_TRUE(capture.waitFor("Answering 'OK s=\"bbb"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    server.shutdownConnections();
    done = true;
  });
  EXPECT_TRUE(eventually([&] { return done.load(); }));
  if (!done.load()) {
    // Let the write go on, so that the test ends either way.
    pair.clientSocket->close();
  }
  stopper.join();
  EXPECT_TRUE(capture.contains("Failed returning OK answer 'OK s=\""));
  EXPECT_EQ(server.closed_.value(), 1);
}

TEST(RpcShutdown, FromAHandlerIsRefused) {
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  Pair pair;
  server.addConnection(std::move(pair.server), pair.peer);
  pair.client.writeLine("stopAll()");
  EXPECT_EQ(pair.receive(), "FAILED an RPC server cannot be shut down from one of its connections");
  pair.client.writeLine("echo(a=1)");
  EXPECT_EQ(pair.receive(), "OK a=1");
}

TEST(RpcShutdown, ServiceShutdownFromAHandlerIsRefusedBeforeAnythingStops) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  EXPECT_EQ(client.call("stopService()"),
            "FAILED an RPC server cannot be shut down from one of its connections");
  LineClient other(service.port());
  EXPECT_EQ(other.call("echo(a=1)"), "OK a=1");
}

TEST(RpcShutdown, ConnectionHandedOverAfterShutdownIsClosed) {
  const auto serverOwner = std::make_unique<BareServer>();
  BareServer& server = *serverOwner;
  server.shutdownConnections();
  Pair pair;
  server.addConnection(std::move(pair.server), pair.peer);
  EXPECT_EQ(server.connectionCount(), 0u);
  EXPECT_EQ(pair.receive(), std::nullopt);
}

TEST(RpcShutdown, WhileClientsComeAndGo) {
  // Connections arriving, ending and being shut down at the same time: every
  // connection is removed exactly once and none is touched after it is gone
  // (the sanitizer builds check the latter).
  auto service = std::make_unique<TestService>();
  const uint16_t port = service->port();
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        try {
          LineClient client(port);
          if (client.call("echo(a=1)") == "OK a=1") {
            ++served;
          }
        } catch (const JError&) {
          // Refused or closed once the service is going away.
        }
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return served.load() >= 40; }));
  service->shutdown();
  EXPECT_EQ(service->connectionCount(), 0u);
  stop = true;
  for (std::thread& t : threads) {
    t.join();
  }
  service.reset();
}

TEST(RpcShutdown, ServiceNeverStartedShutsDownAndCannotStartAfterwards) {
  LogCapture capture;
  JTraceMask mask{kShutdownTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask, true, false);
  TestService& service = *serviceOwner;
  service.shutdown();
  EXPECT_TRUE(capture.contains("Waiting on accept thread to exit."));
  EXPECT_THROW(service.start(), JTextError);
}

TEST(RpcShutdown, StartingTwiceIsRefused) {
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  EXPECT_THROW(service.start(), JTextError);
  LineClient client(service.port());
  EXPECT_EQ(client.call("echo(a=1)"), "OK a=1");
}

// ---- log lines --------------------------------------------------------------------

class EmptyService : public JRPCService {
 public:
  explicit EmptyService(JTraceMask* mask) : JRPCService(0, true, mask, "Empty") {}
  ~EmptyService() override { shutdown(); }
  void registerFunctions() override {}
};

TEST(RpcLog, StartingAndListening) {
  LogCapture capture(0xFFFFFFFEu, "%i|%m");
  JTraceMask mask{kRpcTrace};
  const auto serviceOwner = std::make_unique<EmptyService>(&mask);
  EmptyService& service = *serviceOwner;
  const std::string name = "Empty::RPC[" + std::to_string(service.port()) + "]";
  EXPECT_EQ(service.traceName(), name);
  EXPECT_TRUE(capture.contains(name + "|Starting service thread"));
  EXPECT_TRUE(
      capture.contains(name + "|Listening on port " + std::to_string(service.port()) + "."));
  EXPECT_TRUE(capture.waitFor(name + "|Waiting for incoming connections"));
}

TEST(RpcLog, RequestTrace) {
  LogCapture capture(0xFFFFFFFEu, "%i|%m");
  JTraceMask mask{kRpcTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  const std::string server = "Test::RPC[" + std::to_string(service.port()) + "]";
  LineClient client(service.port());
  const std::string peer = "127.0.0.1:" + std::to_string(client.localPort());
  const std::string connection = server + "::Connection(" + peer + ")";

  ASSERT_EQ(client.call("echo(a=1)"), "OK a=1");
  client.send("notify(b=2)");
  ASSERT_EQ(client.call("need()"), "FAILED RPCMissingParameter: 'x'");
  ASSERT_EQ(client.call("PING"), "PONG");

  EXPECT_TRUE(capture.contains(server + "|New client connection (0) from " + peer + "."));
  EXPECT_TRUE(capture.contains(connection + "|Processing request: 'echo(a=1)'."));
  EXPECT_TRUE(capture.contains(connection + "|Answering 'OK a=1' for request 'echo(a=1)'."));
  EXPECT_TRUE(capture.contains(connection + "|No answer required for request 'notify(b=2)'."));
  EXPECT_TRUE(capture.contains(connection +
                               "|RPC Request 'need()' failed: 'FAILED RPCMissingParameter: 'x''."));
  // The keep-alive is neither parsed nor logged.
  EXPECT_FALSE(capture.contains("PING"));
  for (const LogCapture::Record& r : capture.records()) {
    if (r.text.find("Processing request") != std::string::npos) {
      EXPECT_EQ(r.level, 21);
    }
  }

  LineClient second(service.port());
  EXPECT_EQ(second.call("empty()"), "OK ");
  EXPECT_TRUE(capture.contains(server + "|New client connection (1) from 127.0.0.1:" +
                               std::to_string(second.localPort()) + "."));
}

TEST(RpcLog, RequestTraceNeedsTheMaskBit) {
  LogCapture capture;
  JTraceMask mask{kShutdownTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  ASSERT_EQ(client.call("echo(a=1)"), "OK a=1");
  ASSERT_EQ(client.call("need()"), "FAILED RPCMissingParameter: 'x'");
  EXPECT_FALSE(capture.contains("Processing request"));
  EXPECT_FALSE(capture.contains("Answering"));
  EXPECT_FALSE(capture.contains("New client connection"));
  EXPECT_FALSE(capture.contains("RPC Request"));

  // Switched on while the service runs: the connection shares the mask.
  mask |= kRpcTrace;
  ASSERT_EQ(client.call("echo(a=2)"), "OK a=2");
  EXPECT_TRUE(capture.contains("Processing request: 'echo(a=2)'."));
}

TEST(RpcLog, ShutdownSteps) {
  LogCapture capture(0xFFFFFFFEu, "%i|%m");
  JTraceMask mask{kShutdownTrace | kRpcTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  const std::string server = "Test::RPC[" + std::to_string(service.port()) + "]";
  LineClient client(service.port());
  ASSERT_EQ(client.call("empty()"), "OK ");
  capture.clear();
  service.shutdown();

  const std::vector<std::string> expected = {
      server + "|Closing server socket.",
      server + "|Waiting on accept thread to exit.",
      server + "|Shutting down opened connections.",
      server + "|Closing TCP server socket for connection from 127.0.0.1:" +
          std::to_string(client.localPort()),
      server + "|Waiting for running transaction to finish.",
      server + "|RPC Server shut down successfully.",
  };
  std::vector<std::string> seen;
  for (const LogCapture::Record& r : capture.records()) {
    for (const std::string& e : expected) {
      if (r.text == e) {
        seen.push_back(r.text);
        // The trace-bit lines are level 4, the rest the RPC trace level.
        EXPECT_EQ(r.level, r.text.find("RPC Server") != std::string::npos ||
                                   r.text.find("TCP server") != std::string::npos ||
                                   r.text.find("transaction") != std::string::npos
                               ? 21
                               : 4)
            << r.text;
      }
    }
  }
  EXPECT_EQ(seen, expected);
}

TEST(RpcLog, ShutdownStepsNeedTheirBit) {
  LogCapture capture;
  JTraceMask mask{kRpcTrace};
  const auto serviceOwner = std::make_unique<TestService>(&mask);
  TestService& service = *serviceOwner;
  service.shutdown();
  EXPECT_FALSE(capture.contains("Closing server socket."));
  EXPECT_FALSE(capture.contains("Shutting down opened connections."));
  EXPECT_TRUE(capture.contains("RPC Server shut down successfully."));
}

TEST(RpcLog, UnexpectedExceptionIsLoggedAsAnError) {
  LogCapture capture;
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient client(service.port());
  ASSERT_EQ(client.call("badAlloc()"), "FAILED Unexpected exception: std::bad_alloc");
  EXPECT_TRUE(
      capture.contains("Unexpected exception while handling request 'badAlloc()': std::bad_alloc"));
}

}  // namespace
}  // namespace zq::test
