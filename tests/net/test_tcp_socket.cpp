// TCP sockets on loopback: connect and accept with their time-outs, reads and
// writes with theirs, failures and their socket error numbers, keep-alive,
// scatter/gather, handle ownership, and close/shutdown from another thread.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "net/socket_test_support.h"

namespace zq {
namespace {

using test::BoundedThread;
using test::Clock;
using test::elapsedMs;
using test::Loopback;
using test::socketNumber;
using test::sysErrorOf;

constexpr char kRefusedText[] =
    "system call error at function 'WSAConnect' : No connection could be made because the "
    "target machine actively refused it";

bool isNonBlocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

std::string readExactly(JSocket& socket, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  while (got < count) {
    const size_t n = socket.read(data.data() + got, count - got);
    if (n == 0) {
      break;
    }
    got += n;
  }
  data.resize(got);
  return data;
}

// A port with a bound socket that never listens: connections to it are refused.
class RefusingPort {
 public:
  RefusingPort() { socket_.bind(0); }
  JInetAddr address() const { return JInetAddr("127.0.0.1", socket_.localAddress().port()); }

 private:
  JTCPSocket socket_;
};

// ---- connecting and accepting ---------------------------------------------------

TEST(TcpConnect, ConnectsAndCarriesDataBothWays) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->writeAll("request", 7);
  EXPECT_EQ(readExactly(*server, 7), "request");
  server->writeAll("answer", 6);
  EXPECT_EQ(readExactly(*client, 6), "answer");
}

TEST(TcpConnect, AddressesOfBothEndsMatch) {
  Loopback loop;
  JInetAddr peer;
  auto client = std::make_unique<JTCPSocket>();
  client->connect(loop.address());
  auto server = loop.listener.accept(&peer);
  EXPECT_EQ(client->peerAddress().text(), loop.address().text());
  EXPECT_EQ(server->peerAddress().text(), client->localAddress().text());
  EXPECT_EQ(peer.text(), client->localAddress().text());
}

TEST(TcpConnect, TimedConnectLeavesTheSocketBlocking) {
  Loopback loop;
  JTCPSocket client;
  client.setConnectTimeout(5000);
  client.connect(loop.address());
  EXPECT_FALSE(isNonBlocking(client.handle()));
}

TEST(TcpConnect, RefusedWithoutTimeoutGivesTheRefusalText) {
  RefusingPort refusing;
  JTCPSocket client;
  const auto error = sysErrorOf([&] { client.connect(refusing.address()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), JSysError::kSocketTag | 10061u);
  EXPECT_EQ(error->message(), kRefusedText);
  EXPECT_EQ(error->tag(), JSysError::kDefaultTag);
}

TEST(TcpConnect, RefusedWithTimeoutGivesTheRefusalTextAndRestoresBlocking) {
  RefusingPort refusing;
  JTCPSocket client;
  client.setConnectTimeout(2000);
  const auto error = sysErrorOf([&] { client.connect(refusing.address()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(), kRefusedText);
  ASSERT_GE(client.handle(), 0);
  EXPECT_FALSE(isNonBlocking(client.handle()));
}

TEST(TcpConnect, TimeoutAgainstAFullAcceptQueueKeepsANonBlockingHandle) {
  // Nobody accepts: once the queue is full, connection requests go unanswered.
  Loopback loop(0);
  std::vector<std::unique_ptr<JTCPSocket>> fillers;
  ASSERT_TRUE(loop.fillQueue(fillers)) << "the accept queue never filled";

  JTCPSocket client;
  client.setConnectTimeout(500);
  const Clock::time_point start = Clock::now();
  try {
    client.connect(loop.address());
    FAIL() << "connected to a full queue";
  } catch (const JTimeoutError& e) {
    EXPECT_EQ(e.message(), "Time out!");
  }
  const long long took = elapsedMs(start);
  EXPECT_GE(took, 450);
  EXPECT_LT(took, 5000);
  ASSERT_GE(client.handle(), 0);
  EXPECT_TRUE(isNonBlocking(client.handle()));
}

TEST(TcpConnect, BindToAListeningPortIsAddressInUse) {
  Loopback loop;
  JTCPSocket second;
  const auto error = sysErrorOf([&] { second.bind(loop.port); });
  EXPECT_EQ(socketNumber(error), 10048);
  EXPECT_STREQ(error->function(), "bind");
}

TEST(TcpConnect, ListenFailureDoesNotThrow) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  // A connected socket cannot listen; the failure is only logged.
  EXPECT_NO_THROW(client->listen(5));
  client->writeAll("x", 1);
  EXPECT_EQ(readExactly(*server, 1), "x");
}

TEST(TcpAccept, TimeoutExpiresWithoutAConnection) {
  Loopback loop;
  loop.listener.setAcceptTimeout(200);
  const Clock::time_point start = Clock::now();
  EXPECT_THROW(loop.listener.accept(), JTimeoutError);
  const long long took = elapsedMs(start);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 5000);
}

TEST(TcpAccept, ZeroTimeoutPollsAPendingConnection) {
  Loopback loop;
  JTCPSocket client;
  client.connect(loop.address());
  loop.listener.setAcceptTimeout(0);
  // The connection is complete on the client side; give the listener a
  // bounded moment to have it queued.
  std::unique_ptr<JStreamSocket> server;
  for (int i = 0; i < 500 && !server; ++i) {
    try {
      server = loop.listener.accept();
    } catch (const JTimeoutError&) {
      std::this_thread::sleep_for(test::milliseconds(10));
    }
  }
  ASSERT_NE(server, nullptr);
  EXPECT_THROW(loop.listener.accept(), JTimeoutError);
}

TEST(TcpAccept, AcceptedSocketStartsWithTheListenersMaskValue) {
  Loopback loop;
  loop.listener.traceMask()->store(1u << 18);
  auto [client, server] = loop.connectPair();
  ASSERT_NE(server->traceMask(), nullptr);
  EXPECT_EQ(server->traceMask()->load(), 1u << 18);
  loop.listener.traceMask()->store(0);
  EXPECT_EQ(server->traceMask()->load(), 1u << 18);
}

// ---- keep-alive and options -------------------------------------------------------

TEST(TcpKeepAlive, AcceptedConnectionProbesEveryThreeSeconds) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  EXPECT_EQ(server->intOption(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPIDLE), 3);
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPINTVL), 3);
  // The connecting side is left as the system made it.
  EXPECT_EQ(client->intOption(SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(TcpKeepAlive, OtherValuesRoundUpToWholeSeconds) {
  Loopback loop;
  loop.listener.setKeepAlive(true, 1500, 10000);
  auto [client, server] = loop.connectPair();
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPIDLE), 2);
  EXPECT_EQ(server->intOption(IPPROTO_TCP, TCP_KEEPINTVL), 10);
}

TEST(TcpKeepAlive, SwitchedOffLeavesAcceptedConnectionsAlone) {
  Loopback loop;
  loop.listener.setKeepAlive(false);
  auto [client, server] = loop.connectPair();
  EXPECT_EQ(server->intOption(SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(TcpOptions, NoDelayAndBufferSizes) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->setNoDelay(true);
  EXPECT_NE(client->intOption(IPPROTO_TCP, TCP_NODELAY), 0);
  client->setNoDelay(false);
  EXPECT_EQ(client->intOption(IPPROTO_TCP, TCP_NODELAY), 0);
  client->setReceiveBufferSize(65536);
  EXPECT_GE(client->receiveBufferSize(), 65536);
  client->setSendBufferSize(32768);
  EXPECT_GE(client->sendBufferSize(), 32768);
}

TEST(TcpOptions, UnknownOptionIsTheOptionError) {
  JTCPSocket socket;
  const auto error = sysErrorOf([&] { socket.setIntOption(SOL_SOCKET, 12345, 1); });
  EXPECT_EQ(socketNumber(error), 10042);
  EXPECT_STREQ(error->function(), "setsockopt");
}

// ---- reading and writing -------------------------------------------------------------

TEST(TcpRead, ZeroTimeoutWithoutDataThrowsAtOnce) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  server->setReadTimeout(0);
  char buffer[16];
  const Clock::time_point start = Clock::now();
  try {
    server->read(buffer, sizeof buffer);
    FAIL() << "read returned";
  } catch (const JTimeoutError& e) {
    EXPECT_EQ(e.message(), "Time out!");
  }
  EXPECT_LT(elapsedMs(start), 1000);
}

TEST(TcpRead, ZeroTimeoutWithDataReturnsIt) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->writeAll("ready", 5);
  server->setReadTimeout(2000);
  char buffer[5];
  ASSERT_EQ(server->read(buffer, 1), 1u);
  server->setReadTimeout(0);
  EXPECT_EQ(server->read(buffer, 4), 4u);
  EXPECT_EQ(std::string(buffer, 4), "eady");
}

TEST(TcpRead, PositiveTimeoutWaitsAboutThatLong) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  server->setReadTimeout(200);
  char buffer[16];
  const Clock::time_point start = Clock::now();
  EXPECT_THROW(server->read(buffer, sizeof buffer), JTimeoutError);
  const long long took = elapsedMs(start);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 5000);
}

TEST(TcpRead, BlockingReadWaitsForLateData) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  BoundedThread writer([&client = client] {
    std::this_thread::sleep_for(test::milliseconds(100));
    client->writeAll("late", 4);
  });
  char buffer[4];
  EXPECT_EQ(server->read(buffer, sizeof buffer), 4u);
  writer.join();
}

TEST(TcpRead, OrderlyCloseByThePeerReadsZero) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->close();
  server->setReadTimeout(5000);
  char buffer[4];
  EXPECT_EQ(server->read(buffer, sizeof buffer), 0u);
}

TEST(TcpRead, PeerResetIsConnectionReset) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  const linger abortive{1, 0};
  server->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  server->close();
  client->setReadTimeout(5000);
  char buffer[4];
  const auto error =
      sysErrorOf([&client = client, &buffer] { client->read(buffer, sizeof buffer); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(),
            "system call error at function 'recv' : An existing connection was forcibly closed "
            "by the remote host");
}

TEST(TcpWrite, WriteToAResetPeerIsConnectionReset) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  const linger abortive{1, 0};
  server->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  server->close();
  // Wait (bounded) until the reset has arrived.
  client->setReadTimeout(5000);
  char buffer[1];
  (void)sysErrorOf([&client = client, &buffer] { client->read(buffer, 1); });
  const auto error = sysErrorOf([&client = client] { client->write("x", 1); });
  EXPECT_EQ(socketNumber(error), 10054);
  EXPECT_STREQ(error->function(), "send");
}

TEST(TcpWrite, WriteAfterOwnShutdownIsShutDown) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->shutdown();
  const auto error = sysErrorOf([&client = client] { client->write("x", 1); });
  EXPECT_EQ(socketNumber(error), 10058);
}

int g_sigpipes = 0;
void countSigpipe(int) {
  ++g_sigpipes;
}

TEST(TcpWrite, WritingToAClosedPeerRaisesNoSigpipe) {
  struct sigaction counting {};
  counting.sa_handler = countSigpipe;
  struct sigaction previous {};
  sigaction(SIGPIPE, &counting, &previous);
  g_sigpipes = 0;

  Loopback loop;
  auto [client, server] = loop.connectPair();
  server->close();
  std::optional<JSysError> error;
  for (int i = 0; i < 200 && !error; ++i) {
    error = sysErrorOf([&client = client] { client->write("data", 4); });
    if (!error) {
      std::this_thread::sleep_for(test::milliseconds(5));
    }
  }
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(error) << "writes to a closed peer never failed";
  EXPECT_EQ(socketNumber(error), 10054);
  EXPECT_EQ(g_sigpipes, 0);
}

TEST(TcpWrite, ZeroTimeoutPollsUntilTheBufferIsFull) {
  Loopback loop;
  loop.listener.setReceiveBufferSize(4096);
  auto [client, server] = loop.connectPair();
  client->setSendBufferSize(4096);
  client->setWriteTimeout(0);
  // Room at first: the write is immediate.
  EXPECT_EQ(client->write("x", 1), 1u);
  std::vector<char> block(65536, 'b');
  size_t total = 0;
  bool timedOut = false;
  while (!timedOut && total < (64u << 20)) {
    try {
      total += client->write(block.data(), block.size());
    } catch (const JTimeoutError&) {
      timedOut = true;
    }
  }
  EXPECT_TRUE(timedOut) << total << " bytes written without a time-out";
}

TEST(TcpWrite, PositiveTimeoutBoundsAWriteToAFullBuffer) {
  Loopback loop;
  loop.listener.setReceiveBufferSize(4096);  // inherited by the accepted side
  auto [client, server] = loop.connectPair();
  client->setSendBufferSize(4096);
  client->setWriteTimeout(200);
  std::vector<char> block(65536, 'b');
  bool timedOut = false;
  long long took = 0;
  for (size_t total = 0; !timedOut && total < (64u << 20);) {
    const Clock::time_point start = Clock::now();
    try {
      total += client->write(block.data(), block.size());
    } catch (const JTimeoutError&) {
      timedOut = true;
      took = elapsedMs(start);
    }
  }
  ASSERT_TRUE(timedOut);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 5000);
}

TEST(TcpScatterGather, GatheredPiecesArriveInOrder) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  char a[] = "head-";
  char b[] = "";
  char c[] = "tail";
  const JSocketPiece pieces[] = {{a, 5}, {b, 0}, {c, 4}};
  EXPECT_EQ(client->writev(pieces, 3), 9u);
  server->setReadTimeout(5000);
  EXPECT_EQ(readExactly(*server, 9), "head-tail");
}

TEST(TcpScatterGather, ScatteredReadFillsPiecesInOrder) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  client->writeAll("0123456789", 10);
  // Let all ten bytes arrive before the one receive.
  server->setReadTimeout(5000);
  char peek[10];
  for (int i = 0; i < 500; ++i) {
    if (::recv(server->handle(), peek, sizeof peek, MSG_PEEK) == 10) {
      break;
    }
    std::this_thread::sleep_for(test::milliseconds(2));
  }
  char x[3] = {};
  char y[4] = {};
  char z[8] = {};
  const JSocketPiece pieces[] = {{x, 3}, {y, 4}, {z, 8}};
  ASSERT_EQ(server->readv(pieces, 3), 10u);
  EXPECT_EQ(std::string(x, 3), "012");
  EXPECT_EQ(std::string(y, 4), "3456");
  EXPECT_EQ(std::string(z, 3), "789");
}

TEST(TcpScatterGather, ManyPiecesBeyondTheUsualFew) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  std::string text(40, '\0');
  std::vector<JSocketPiece> pieces;
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char>('a' + i % 26);
    pieces.push_back({&text[i], 1});
  }
  EXPECT_EQ(client->writev(pieces.data(), pieces.size()), 40u);
  server->setReadTimeout(5000);
  EXPECT_EQ(readExactly(*server, 40), text);
}

// ---- handles and their owners -------------------------------------------------------------

TEST(TcpHandle, AdoptedHandleIsClosedByItsNewOwner) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  {
    JSocket owner(fd);
    EXPECT_EQ(owner.handle(), fd);
    EXPECT_EQ(owner.intOption(SOL_SOCKET, SO_TYPE), SOCK_STREAM);
  }
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(TcpHandle, AcceptedSocketOwnsItsHandle) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  const int fd = server->handle();
  server.reset();
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(TcpHandle, CloseForgetsTheHandleAndAnswersMinusOneTheSecondTime) {
  JTCPSocket socket;
  const int fd = socket.handle();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(socket.close(), 0);
  EXPECT_EQ(socket.handle(), -1);
  EXPECT_EQ(socket.close(), -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(TcpHandle, CallsWithoutAHandleAreNotASocket) {
  JTCPSocket socket;
  socket.close();
  char buffer[1];
  const auto error = sysErrorOf([&] { socket.read(buffer, 1); });
  EXPECT_EQ(error->message(),
            "system call error at function 'recv' : An operation was attempted on something "
            "that is not a socket");
  EXPECT_EQ(socketNumber(sysErrorOf([&] { socket.write("x", 1); })), 10038);
  EXPECT_EQ(socketNumber(sysErrorOf([&] { socket.shutdown(); })), 10038);
  EXPECT_EQ(socketNumber(sysErrorOf([&] { socket.connect(JInetAddr("127.0.0.1", 9)); })), 10038);
  EXPECT_NO_THROW(socket.listen(1));
}

TEST(TcpHandle, ShutdownOfAnUnconnectedSocketIsNotConnected) {
  JTCPSocket socket;
  const auto error = sysErrorOf([&] { socket.shutdown(); });
  EXPECT_EQ(socketNumber(error), 10057);
  EXPECT_STREQ(error->function(), "shutdown");
}

// ---- QoS ---------------------------------------------------------------------------------

TEST(TcpQoS, FlowspecsAreStoredAndDropped) {
  JTCPSocket socket;
  EXPECT_EQ(socket.qos(), nullptr);
  JFlowSpec sending;
  sending.tokenRate = 16000;
  sending.peakBandwidth = 32000;
  socket.setSendingFlowspec(sending);
  ASSERT_NE(socket.qos(), nullptr);
  EXPECT_EQ(socket.qos()->sending, sending);
  EXPECT_EQ(socket.qos()->receiving, JFlowSpec{});
  JFlowSpec receiving;
  receiving.latency = 20;
  socket.setReceivingFlowspec(receiving);
  EXPECT_EQ(socket.qos()->sending, sending);
  EXPECT_EQ(socket.qos()->receiving, receiving);
  socket.dropQoS();
  EXPECT_EQ(socket.qos(), nullptr);
}

TEST(TcpQoS, ApplyNeedsABlock) {
  JTCPSocket socket;
  const auto error = sysErrorOf([&] { socket.applyQoS(); });
  EXPECT_EQ(socketNumber(error), 10022);
  EXPECT_STREQ(error->function(), "WSAIoctl(SIO_SET_QOS)");
  socket.setReceivingFlowspec(JFlowSpec{});
  EXPECT_NO_THROW(socket.applyQoS());
}

TEST(TcpQoS, ConnectWithABlockStillConnects) {
  Loopback loop;
  JTCPSocket client;
  client.setSendingFlowspec(JFlowSpec{});
  client.setConnectTimeout(5000);
  EXPECT_NO_THROW(client.connect(loop.address()));
}

// ---- a second thread ending a blocked call --------------------------------------------------

TEST(TcpInterrupt, CloseEndsABlockedReadAsInterrupted) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  const size_t before = test::openDescriptors();
  std::optional<JSysError> error;
  BoundedThread reader([&error, &server = server] {
    char buffer[8];
    error = sysErrorOf([&] { server->read(buffer, sizeof buffer); });
  });
  std::this_thread::sleep_for(test::milliseconds(100));
  EXPECT_EQ(server->close(), 0);
  reader.join();
  ASSERT_TRUE(error);
  EXPECT_EQ(socketNumber(error), 10004);
  EXPECT_STREQ(error->function(), "recv");
  // The handle was released once the read had left.
  EXPECT_EQ(test::openDescriptors(), before - 1);
}

TEST(TcpInterrupt, CloseEndsATimedReadAsInterrupted) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  server->setReadTimeout(20000);
  std::optional<JSysError> error;
  const Clock::time_point start = Clock::now();
  BoundedThread reader([&error, &server = server] {
    char buffer[8];
    error = sysErrorOf([&] { server->read(buffer, sizeof buffer); });
  });
  std::this_thread::sleep_for(test::milliseconds(100));
  server->close();
  reader.join();
  EXPECT_EQ(socketNumber(error), 10004);
  EXPECT_LT(elapsedMs(start), 10000);
}

TEST(TcpInterrupt, CloseEndsABlockedAccept) {
  Loopback loop;
  loop.listener.setAcceptTimeout(-1);
  std::optional<JSysError> error;
  BoundedThread acceptor([&] { error = sysErrorOf([&] { loop.listener.accept(); }); });
  std::this_thread::sleep_for(test::milliseconds(100));
  loop.listener.close();
  acceptor.join();
  EXPECT_EQ(socketNumber(error), 10004);
  EXPECT_STREQ(error->function(), "accept");
}

TEST(TcpInterrupt, ShutdownEndsABlockedAcceptAsAFailure) {
  Loopback loop;
  loop.listener.setAcceptTimeout(-1);
  std::optional<JSysError> error;
  BoundedThread acceptor([&] { error = sysErrorOf([&] { loop.listener.accept(); }); });
  std::this_thread::sleep_for(test::milliseconds(100));
  loop.listener.shutdown();
  acceptor.join();
  EXPECT_EQ(socketNumber(error), 10022);
  EXPECT_STREQ(error->function(), "accept");
}

TEST(TcpInterrupt, ShutdownEndsABlockedReadAsTheEndOfData) {
  Loopback loop;
  auto [client, server] = loop.connectPair();
  size_t result = 99;
  BoundedThread reader([&result, &server = server] {
    char buffer[8];
    result = server->read(buffer, sizeof buffer);
  });
  std::this_thread::sleep_for(test::milliseconds(100));
  server->shutdown();
  reader.join();
  EXPECT_EQ(result, 0u);
  EXPECT_GE(server->handle(), 0);
}

TEST(TcpInterrupt, CloseEndsAConnectInProgress) {
  Loopback loop(0);
  std::vector<std::unique_ptr<JTCPSocket>> fillers;
  ASSERT_TRUE(loop.fillQueue(fillers));
  for (int32_t timeout : {-1, 20000}) {
    JTCPSocket client;
    client.setConnectTimeout(timeout);
    std::optional<JSysError> error;
    BoundedThread connector([&] { error = sysErrorOf([&] { client.connect(loop.address()); }); });
    std::this_thread::sleep_for(test::milliseconds(100));
    client.close();
    connector.join();
    EXPECT_EQ(socketNumber(error), 10004) << "timeout " << timeout;
    EXPECT_STREQ(error->function(), "WSAConnect");
  }
}

TEST(TcpInterrupt, RacingCloseNeverLeaksOrReusesAHandle) {
  Loopback loop;
  const size_t before = test::openDescriptors();
  for (int round = 0; round < 40; ++round) {
    auto [client, server] = loop.connectPair();
    std::optional<JSysError> error;
    BoundedThread reader([&error, &server = server] {
      char buffer[8];
      error = sysErrorOf([&] { server->read(buffer, sizeof buffer); });
    });
    std::this_thread::sleep_for(test::milliseconds(round % 4));
    server->close();
    reader.join();
    // Closed before the read began (not a socket) or during it (interrupted).
    const long long number = socketNumber(error);
    EXPECT_TRUE(number == 10004 || number == 10038) << "round " << round << ": " << number;
  }
  EXPECT_EQ(test::openDescriptors(), before);
}

}  // namespace
}  // namespace zq
