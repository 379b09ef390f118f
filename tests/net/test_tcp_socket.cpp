// TCP sockets on loopback: connect, accept, read and write with their time-outs;
// failures with their numbers, texts and log lines; log lines of a connection's
// life; keep-alive; close or shutdown from another thread; no handle leaks.
#include <fcntl.h>
#include <netinet/tcp.h>

#include <climits>
#include <csignal>

#include "net/socket_test_support.h"
#include "net/tcp_socket.h"

namespace zq {
namespace {

using namespace test;

constexpr uint32_t kNetworkBit = 1u << kLevelTraceNetwork;

bool nonBlocking(const JSocket& socket) {
  return (fcntl(socket.handle(), F_GETFL) & O_NONBLOCK) != 0;
}

// Reads until `count` bytes or the end of data.
std::string readExactly(JSocket& socket, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  for (size_t n = 1; got < count && n != 0; got += n) {
    n = socket.read(data.data() + got, count - got);
  }
  return data.substr(0, got);
}

// Writes `text` from another thread after `delayMs` milliseconds.
std::unique_ptr<BoundedThread> writeLater(JSocket& socket, std::string text, int delayMs) {
  return std::make_unique<BoundedThread>([&socket, text, delayMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    socket.writeAll(text.data(), text.size());
  });
}

// A listening loopback socket and a connection to it, all with trace bit 18
// set, and their log.
class Tcp : public ::testing::Test {
 protected:
  void SetUp() override {
    listener.bind(0);
    listener.listen(16);
    listener.setAcceptTimeout(5000);
    std::tie(client, server) = connectPair(&peer);
  }

  JInetAddr address() const { return JInetAddr("127.0.0.1", listener.localAddress().port()); }

  // A client connected with a time-out, and the server side.
  std::pair<std::unique_ptr<JTCPSocket>, std::unique_ptr<JStreamSocket>> connectPair(
      JInetAddr* from = nullptr) {
    auto connected = std::make_unique<JTCPSocket>(&mask);
    connected->setConnectTimeout(5000);
    connected->connect(address());
    return {std::move(connected), listener.accept(from)};
  }

  // Leaves a connection nobody accepts in the queue of a backlog of 0: the
  // system then drops new requests. A listener reports queue length and
  // backlog in these two fields.
  bool fillQueue() {
    listener.listen(0);
    spare.connect(address());
    return eventually([this] {
      tcp_info info{};
      socklen_t length = sizeof info;
      listener.getsockopt(IPPROTO_TCP, TCP_INFO, &info, &length);
      return info.tcpi_unacked > info.tcpi_sacked;
    });
  }

  LogCapture log;
  JTraceMask mask{kNetworkBit};
  JTCPSocket listener{&mask}, spare;  // the spare with a mask of its own
  JInetAddr peer;
  std::unique_ptr<JTCPSocket> client;
  std::unique_ptr<JStreamSocket> server;
};

TEST_F(Tcp, ConnectionCarriesDataBothWaysAndLogsItsLifeAtLevel18) {
  client->writeAll("request", 7);
  EXPECT_EQ(readExactly(*server, 7), "request");
  std::string text = "abcdefghijklmnopqrstuvwxyz";  // more pieces than the usual few
  std::vector<JSocketPiece> pieces;
  for (size_t i = 0; i < text.size(); ++i) {
    pieces.push_back({&text[i], i % 3 == 0 ? 1u : 0u});
  }
  EXPECT_EQ(server->writev(pieces.data(), pieces.size()), 9u);
  EXPECT_EQ(readExactly(*client, 9), "adgjmpsvy");
  EXPECT_EQ(client->peerAddress().text(), address().text());
  EXPECT_EQ(server->peerAddress().text(), client->localAddress().text());
  EXPECT_EQ(peer.text(), client->localAddress().text());
  EXPECT_FALSE(nonBlocking(*client));
  const int l = listener.handle(), c = client->handle(), s = server->handle();
  client->setWriteTimeout(250);
  client->setSendingFlowspec(JFlowSpec{});
  client->applyQoS();
  client->shutdown();
  client->close();
  listener.setWriteTimeout(0);
  spare.setConnectTimeout(7);  // without the bit
  for (const std::string& line :
       {jformat("Created TCP Socket '%d'", l), jformat("Bound TCP Socket '%d' to port '0'", l),
        jformat("Listening on socket '%d' with backlog '16'", l),
        jformat("Accept timeout set to '5000' on socket '%d'", l),
        jformat("Connect timeout set to '5000' on socket '%d'", c),
        jformat("Write timeout set to '250' on socket '%d'", c),
        jformat("QoS block kept on socket '%d', nothing reserved", c),
        jformat("Connecting socket '%d' to '%s' with timeout '5000'", c, address().text().c_str()),
        jformat("Connected socket '%d' to '%s'", c, address().text().c_str()),
        jformat("Accepted connection on TCP socket '%d' from '%s'", s, peer.text().c_str()),
        jformat("Keepalive on client socket '%d' set to time=3000, interval=3000", s),
        jformat("Shut down socket '%d'", c), jformat("Closed socket '%d'", c)}) {
    EXPECT_EQ(levelOf(log, line), 18) << line;
  }
  EXPECT_FALSE(log.contains("Connect timeout set to '7'"));
  // A write time-out of 0 warns instead, in one line (its line feed a blank).
  EXPECT_EQ(levelOf(log, jformat("WARNING: Write timeout set to 0 on socket '%d'. This is usually "
                                 "bullshit!!! ",
                                 l)),
            11);
  EXPECT_FALSE(log.contains("Write timeout set to '0'"));
}

TEST_F(Tcp, FailuresGiveTheirNumberCallAndTextAndSomeAreLogged) {
  JTCPSocket idle, closed, refused, refusedTimed, refusing;
  refusing.bind(0);  // never listening
  const JInetAddr target("127.0.0.1", refusing.localAddress().port());
  refusedTimed.setConnectTimeout(2000);
  EXPECT_EQ(closed.close(), 0);
  EXPECT_EQ(closed.close(), -1);
  listener.setAcceptTimeout(200);
  expectTimeout([&] { listener.accept(); }, 190);
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { refused.connect(target); }, "10061 WSAConnect"},
      {[&] { refusedTimed.connect(target); }, "10061 WSAConnect"},
      {[&] { idle.setIntOption(SOL_SOCKET, 12345, 1); }, "10042 setsockopt"},
      {[&] { idle.bind(address().port()); }, "10048 bind"},
      {[&] { idle.shutdown(); }, "10057 shutdown"},
      {[&] { idle.accept(); }, "10022 accept"},
      {[&] { idle.applyQoS(); }, "10022 WSAIoctl(SIO_SET_QOS)"},
      {[&] { client->listen(5); }, "none"},
      {[&] { readExactly(closed, 1); }, "10038 recv"},
      {[&] { closed.write("x", 1); }, "10038 send"},
      {[&] { closed.shutdown(); }, "10038 shutdown"},
      {[&] { closed.connect(address()); }, "10038 WSAConnect"},
      {[&] { closed.listen(1); }, "none"}};
  for (const auto& [call, failure] : cases) {
    EXPECT_EQ(failureOf(call), failure);
  }
  EXPECT_EQ(failureOf([&] { readExactly(closed, 1); }, true),
            "system call error at function 'recv' : An operation was attempted on something "
            "that is not a socket");
  for (const JTCPSocket* socket : {&refused, &refusedTimed}) {
    EXPECT_EQ(levelOf(log, jformat("Failed to connect socket '%d' to '%s': system call error at "
                                   "function 'WSAConnect' : No connection could be made because "
                                   "the target machine actively refused it",
                                   socket->handle(), target.text().c_str())),
              11);
    EXPECT_FALSE(nonBlocking(*socket));
  }
  EXPECT_EQ(levelOf(log,
                    "Could not accept connection: system call error at function 'accept' "
                    ": An invalid argument was supplied"),
            11);
  EXPECT_EQ(
      levelOf(log, jformat("Could not listen on socket '%d' with backlog '5'", client->handle())),
      11);
}

TEST_F(Tcp, AcceptedConnectionsGetKeepAliveInWholeSecondsAndTheMaskValue) {
  EXPECT_EQ(server->intOption(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPIDLE), 3);
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPINTVL), 3);
  EXPECT_NE(server->traceMask(), &mask);  // a copy of the value
  EXPECT_EQ(server->traceMask()->load(), kNetworkBit);
  listener.setKeepAlive(true, 1200, 10000);
  auto rounded = connectPair().second;
  EXPECT_EQ(rounded->intOption(IPPROTO_TCP, TCP_KEEPIDLE), 2);
  EXPECT_EQ(rounded->intOption(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  listener.setKeepAlive(false);
  EXPECT_EQ(connectPair().second->intOption(SOL_SOCKET, SO_KEEPALIVE), 0);
  // Idle times beyond what the system takes are logged, the connection kept.
  for (int32_t time : {40000000, INT_MAX}) {
    log.clear();
    listener.setKeepAlive(true, time, 3000);
    auto [writer, reader] = connectPair();
    EXPECT_EQ(levelOf(log, jformat("Couldn't set keepalive value on client socket '%d'!",
                                   reader->handle())),
              11);
    writer->writeAll("x", 1);
    EXPECT_EQ(readExactly(*reader, 1), "x");
  }
}

TEST_F(Tcp, ReadTimeoutsInTurn) {
  client->writeAll("ready", 5);
  server->setReadTimeout(30000);
  ASSERT_EQ(readExactly(*server, 1), "r");
  // 0 takes what is there, and throws at once when nothing is.
  server->setReadTimeout(0);
  ASSERT_EQ(readExactly(*server, 4), "eady");
  expectTimeout([&] { readExactly(*server, 16); }, 0);
  // A time-out shorter than the first read's holds.
  server->setReadTimeout(200);
  expectTimeout([&] { readExactly(*server, 16); }, 190, 10000);
  // None at all waits past the earlier ones for late data.
  server->setReadTimeout(-1);
  auto writer = writeLater(*client, "late", 600);
  EXPECT_EQ(readExactly(*server, 4), "late");
  // A timed read waits even when the handle does not block.
  ASSERT_EQ(fcntl(server->handle(), F_SETFL, O_NONBLOCK), 0);
  server->setReadTimeout(5000);
  auto again = writeLater(*client, "again", 200);
  EXPECT_EQ(readExactly(*server, 5), "again");
}

TEST_F(Tcp, WriteTimeoutsOnAFullSendBuffer) {
  listener.setReceiveBufferSize(4096);  // inherited by the accepted side
  auto [writer, reader] = connectPair();
  writer->setSendBufferSize(4096);
  writer->setWriteTimeout(0);
  EXPECT_EQ(writer->write("x", 1), 1u);
  std::vector<char> block(65536, 'b');
  std::string failure = "none";
  for (size_t total = 0; failure == "none" && total < (64u << 20);) {
    failure = failureOf([&] { total += writer->write(block.data(), block.size()); });
  }
  ASSERT_EQ(failure, "Time out!");
  writer->setWriteTimeout(200);
  expectTimeout([&] { writer->write(block.data(), block.size()); }, 190);
  // Room the reader makes ends a longer wait.
  writer->setWriteTimeout(10000);
  BoundedThread drain([&reader = reader] {
    reader->setReadTimeout(5000);
    while (readExactly(*reader, 65536).size() == 65536) {
    }
  });
  EXPECT_GT(writer->write(block.data(), block.size()), 0u);
  writer->shutdown();
}

TEST_F(Tcp, PeerEndsReadAsTheEndOrAResetAndWritesFailWithoutSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the program
  auto [quiet, quietServer] = connectPair();
  quiet->shutdown();
  EXPECT_EQ(failureOf([&] { quiet->write("x", 1); }), "10058 send");
  quiet->close();
  quietServer->setReadTimeout(5000);
  EXPECT_EQ(readExactly(*quietServer, 4), "");
  std::string failure;
  EXPECT_TRUE(eventually(
      [&] { return (failure = failureOf([&] { quietServer->write("data", 4); })) != "none"; }));
  EXPECT_EQ(failure, "10054 send");
  const linger abortive{1, 0};
  server->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  server->close();
  client->setReadTimeout(5000);
  EXPECT_EQ(failureOf([&] { readExactly(*client, 4); }, true),
            "system call error at function 'recv' : An existing connection was forcibly closed "
            "by the remote host");
  EXPECT_EQ(failureOf([&] { client->write("x", 1); }), "10054 send");
}

TEST_F(Tcp, CloseOrShutdownFromAnotherThreadEndsABlockedCall) {
  std::string got = "?";
  const auto read = [&] { got = readExactly(*server, 8); };
  EXPECT_EQ(endBlocked(read, {SYS_recvmsg}, [&] { server->shutdown(); }), "none");
  EXPECT_EQ(got, "");
  EXPECT_GE(server->handle(), 0);
  for (int32_t timeout : {-1, 20000}) {
    auto [other, reading] = connectPair();
    reading->setReadTimeout(timeout);
    const size_t before = openDescriptors();
    EXPECT_EQ(endBlocked([&] { readExactly(*reading, 8); }, {SYS_recvmsg},
                         [&] { EXPECT_EQ(reading->close(), 0); }),
              "10004 recv")
        << timeout;
    EXPECT_EQ(openDescriptors(), before - 1);
  }
  spare.bind(0);
  spare.listen(1);
  listener.setAcceptTimeout(-1);
  const auto accept = [&] { listener.accept(); };
  EXPECT_EQ(endBlocked(accept, {SYS_accept4}, [&] { listener.shutdown(); }), "10022 accept");
  EXPECT_EQ(endBlocked([&] { spare.accept(); }, {SYS_accept4}, [&] { spare.close(); }),
            "10004 accept");
}

TEST_F(Tcp, ConnectToAFullQueueTimesOutOrEndsWithClose) {
  ASSERT_TRUE(fillQueue()) << "the accept queue never filled";
  JTCPSocket timed;
  timed.setConnectTimeout(500);
  expectTimeout([&] { timed.connect(address()); }, 450);
  EXPECT_TRUE(nonBlocking(timed));  // left for its owner to close
  for (int32_t timeout : {-1, 20000}) {
    JTCPSocket socket;
    socket.setConnectTimeout(timeout);
    EXPECT_EQ(endBlocked([&] { socket.connect(address()); }, {SYS_connect, SYS_poll, SYS_ppoll},
                         [&] { socket.close(); }),
              "10004 WSAConnect")
        << timeout;
  }
}

TEST_F(Tcp, ACloseJustBeforeTheAttemptStartsEndsIt) {
  // The close comes while the connect writes its first line: it holds the
  // socket and has not yet asked the system to connect.
  ASSERT_TRUE(fillQueue()) << "the accept queue never filled";
  for (int32_t timeout : {-1, 60000}) {
    JTCPSocket socket(&mask);
    socket.setConnectTimeout(timeout);
    log.onRecord = [&](const std::string& text) {
      if (text.starts_with("Connecting socket")) {
        socket.close();
      }
    };
    std::string failure = "?";
    BoundedThread([&] { failure = failureOf([&] { socket.connect(address()); }); }).join();
    log.onRecord = nullptr;
    EXPECT_EQ(failure, "10004 WSAConnect") << timeout;
  }
}

TEST_F(Tcp, RacingCloseNeverLeaksOrReusesAHandle) {
  const size_t before = openDescriptors();
  for (int round = 0; round < 40; ++round) {
    auto [other, reading] = connectPair();
    std::string failure;
    BoundedThread reader([&] { failure = failureOf([&] { readExactly(*reading, 8); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
    reading->close();
    reader.join();
    // Closed before the read began (not a socket) or during it (interrupted).
    EXPECT_TRUE(failure == "10004 recv" || failure == "10038 recv") << round << ": " << failure;
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace zq
