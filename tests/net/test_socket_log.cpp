// What sockets write to the log: the level-18 lines of their life, which only
// a socket whose trace mask has bit 18 writes, and the level-11 and level-3
// lines of failures, which every socket writes.
#include <sys/socket.h>

#include <limits>
#include <string>

#include "base/format.h"
#include "helpers/log_capture.h"
#include "net/ip_multicast_socket.h"
#include "net/socket_layer.h"
#include "net/socket_test_support.h"

namespace zq {
namespace {

using test::LogCapture;

constexpr uint32_t kNetworkBit = 1u << kLevelTraceNetwork;

// The level of the one record whose text is exactly `text`; -1 when there is
// none, -2 when there are several.
int levelOf(const LogCapture& capture, const std::string& text) {
  int level = -1;
  for (const LogCapture::Record& record : capture.records()) {
    if (record.text == text) {
      level = level == -1 ? record.level : -2;
    }
  }
  return level;
}

TEST(SocketLog, LifeOfAConnectionAtLevel18) {
  LogCapture capture;
  JTraceMask mask{kNetworkBit};
  JTCPSocket listener(&mask);
  const int listenFd = listener.handle();
  listener.bind(0);
  listener.listen(4);
  listener.setAcceptTimeout(5000);
  const uint16_t port = listener.localAddress().port();

  JTCPSocket client(&mask);
  const int clientFd = client.handle();
  client.setConnectTimeout(5000);
  client.setWriteTimeout(250);
  client.connect(JInetAddr("127.0.0.1", port));
  auto server = listener.accept();
  const int serverFd = server->handle();
  const std::string from = client.localAddress().text();
  client.shutdown();
  client.close();

  EXPECT_EQ(levelOf(capture, jformat("Created TCP Socket '%d'", listenFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Bound TCP Socket '%d' to port '0'", listenFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Listening on socket '%d' with backlog '4'", listenFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Accept timeout set to '5000' on socket '%d'", listenFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Connect timeout set to '5000' on socket '%d'", clientFd)),
            18);
  EXPECT_EQ(levelOf(capture, jformat("Write timeout set to '250' on socket '%d'", clientFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Connecting socket '%d' to '127.0.0.1:%d' with timeout '5000'",
                                     clientFd, port)),
            18);
  EXPECT_EQ(levelOf(capture, jformat("Connected socket '%d' to '127.0.0.1:%d'", clientFd, port)),
            18);
  EXPECT_EQ(levelOf(capture, jformat("Accepted connection on TCP socket '%d' from '%s'", serverFd,
                                     from.c_str())),
            18);
  EXPECT_EQ(levelOf(capture, jformat("Keepalive on client socket '%d' set to time=3000, "
                                     "interval=3000",
                                     serverFd)),
            18);
  EXPECT_EQ(levelOf(capture, jformat("Shut down socket '%d'", clientFd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Closed socket '%d'", clientFd)), 18);
}

TEST(SocketLog, DestructionLogsTheClose) {
  LogCapture capture;
  JTraceMask mask{kNetworkBit};
  int fd;
  {
    JTCPSocket socket(&mask);
    fd = socket.handle();
  }
  EXPECT_EQ(levelOf(capture, jformat("Closed socket '%d'", fd)), 18);
}

TEST(SocketLog, LinesCarryTheSocketsTraceName) {
  LogCapture capture(0xFFFFFFFEu, "%i|%m");
  JTraceMask mask{kNetworkBit};
  JTCPSocket socket(&mask);
  socket.setTraceName("uplink");
  socket.setAcceptTimeout(10);
  EXPECT_TRUE(capture.contains(
      jformat("uplink|Accept timeout set to '10' on socket '%d'", socket.handle())));
}

TEST(SocketLog, NothingAtLevel18WithoutTheMaskBit) {
  LogCapture capture;
  JTraceMask mask{1u << kLevelTraceRpc};
  {
    test::Loopback loop;
    JTCPSocket client(&mask);
    client.setConnectTimeout(5000);
    client.connect(loop.address());
    auto server = loop.listener.accept();
    server->close();
  }
  for (const LogCapture::Record& record : capture.records()) {
    EXPECT_NE(record.level, 18) << record.text;
  }
}

TEST(SocketLog, OwnMaskCanBeSwitchedOnAfterCreation) {
  LogCapture capture;
  JTCPSocket socket;
  ASSERT_NE(socket.traceMask(), nullptr);
  socket.setConnectTimeout(1);
  socket.traceMask()->store(kNetworkBit);
  socket.setConnectTimeout(2);
  EXPECT_FALSE(capture.contains("Connect timeout set to '1'"));
  EXPECT_TRUE(capture.contains("Connect timeout set to '2'"));
}

TEST(SocketFailureLog, WriteTimeoutZeroWarnsAtLevel11InsteadOfTheTraceLine) {
  LogCapture capture;
  JTraceMask mask{kNetworkBit};
  JTCPSocket socket(&mask);
  socket.setWriteTimeout(0);
  // The record is single-line: the warning's own line feed becomes a blank.
  EXPECT_EQ(levelOf(capture, jformat("WARNING: Write timeout set to 0 on socket '%d'. This is "
                                     "usually bullshit!!! ",
                                     socket.handle())),
            11);
  EXPECT_FALSE(capture.contains("Write timeout set to '0'"));
}

TEST(SocketFailureLog, WriteTimeoutZeroWarnsEvenWithoutAMask) {
  LogCapture capture;
  JTCPSocket socket;
  socket.setWriteTimeout(0);
  EXPECT_TRUE(capture.contains("WARNING: Write timeout set to 0 on socket"));
}

TEST(SocketFailureLog, RefusedConnectLogsTheErrorMessage) {
  LogCapture capture;
  JTCPSocket refusing;
  refusing.bind(0);
  const uint16_t port = refusing.localAddress().port();
  for (int32_t timeout : {-1, 3000}) {
    capture.clear();
    JTCPSocket client;
    client.setConnectTimeout(timeout);
    EXPECT_THROW(client.connect(JInetAddr("127.0.0.1", port)), JSysError);
    EXPECT_EQ(levelOf(capture,
                      jformat("Failed to connect socket '%d' to '127.0.0.1:%d': system call error "
                              "at function 'WSAConnect' : No connection could be made because the "
                              "target machine actively refused it",
                              client.handle(), port)),
              11)
        << "timeout " << timeout;
  }
}

TEST(SocketFailureLog, ListenFailureIsLoggedNotThrown) {
  LogCapture capture;
  test::Loopback loop;
  auto [client, server] = loop.connectPair();
  client->listen(5);
  EXPECT_EQ(levelOf(capture,
                    jformat("Could not listen on socket '%d' with backlog '5'", client->handle())),
            11);
}

TEST(SocketFailureLog, RefusedKeepAliveIsLoggedAndTheConnectionKept) {
  LogCapture capture;
  test::Loopback loop;
  loop.listener.traceMask()->store(kNetworkBit);
  // Idle times beyond what the system accepts before a first probe.
  for (int32_t time : {40000000, std::numeric_limits<int32_t>::max()}) {
    capture.clear();
    loop.listener.setKeepAlive(true, time, 3000);
    auto [client, server] = loop.connectPair();
    EXPECT_EQ(levelOf(capture, jformat("Couldn't set keepalive value on client socket '%d'!",
                                       server->handle())),
              11)
        << time;
    EXPECT_FALSE(capture.contains("Keepalive on client socket")) << time;
    // Reported by that line alone: nothing thrown and caught on the way.
    EXPECT_FALSE(capture.contains("setsockopt")) << time;
    client->writeAll("x", 1);
    server->setReadTimeout(5000);
    char byte = 0;
    EXPECT_EQ(server->read(&byte, 1), 1u);
  }
}

TEST(SocketFailureLog, AcceptFailureLogsTheErrorMessage) {
  LogCapture capture;
  JTCPSocket notListening;
  EXPECT_THROW(notListening.accept(), JSysError);
  EXPECT_EQ(levelOf(capture,
                    "Could not accept connection: system call error at function "
                    "'accept' : An invalid argument was supplied"),
            11);
}

TEST(SocketFailureLog, ApplyingQoSSaysNothingIsReserved) {
  LogCapture capture;
  JTraceMask mask{kNetworkBit};
  JTCPSocket socket(&mask);
  socket.setSendingFlowspec(JFlowSpec{});
  socket.applyQoS();
  EXPECT_EQ(
      levelOf(capture, jformat("QoS block kept on socket '%d', nothing reserved", socket.handle())),
      18);
}

TEST(MulticastLog, CreationAndJoinAtLevel18) {
  LogCapture capture;
  JTraceMask mask{kNetworkBit};
  JIPMulticastSocket receiver(JInetAddr("239.23.45.68", 0), false, true, JInetAddr("127.0.0.1", 0),
                              &mask);
  const int fd = receiver.handle();
  EXPECT_EQ(levelOf(capture, jformat("Created IP Multicast socket '%d'", fd)), 18);
  EXPECT_EQ(levelOf(capture, jformat("Joined IP multicast group '239.23.45.68:0' on socket '%d', "
                                     "leaf socket '%d'",
                                     fd, fd)),
            18);
}

TEST(MulticastLog, FailedJoinIsLoggedAtLevel11) {
  LogCapture capture;
  EXPECT_THROW(JIPMulticastSocket(JInetAddr("127.0.0.2", 0), false, true, JInetAddr()), JSysError);
  bool found = false;
  for (const LogCapture::Record& record : capture.records()) {
    if (record.text.find("Could not join IP multicast group '127.0.0.2:0' on socket '") == 0) {
      found = true;
      EXPECT_EQ(record.level, 11);
      EXPECT_NE(record.text.find("': system call error at function 'WSAJoinLeaf' : An invalid "
                                 "argument was supplied"),
                std::string::npos)
          << record.text;
    }
  }
  EXPECT_TRUE(found);
}

TEST(MulticastLog, RefusedTtlLogsBothAttemptsAtLevel3) {
  LogCapture capture;
  JIPMulticastSocket sender(JInetAddr("239.23.45.68", 5000), true, false,
                            JInetAddr("127.0.0.1", 0));
  sender.setTTL(16);
  EXPECT_FALSE(capture.contains("failed, Err"));
  sender.setTTL(1000);
  EXPECT_EQ(levelOf(capture, "WSAIoctl() failed, Err 10022 "), 3);
  EXPECT_EQ(levelOf(capture, "setsockopt() failed, Err 10022 "), 3);
}

TEST(SocketLayerLog, FirstStartAndLastStopAreLogged) {
  LogCapture capture;
  const int before = JSocketLayer::users();
  if (before != 0) {
    GTEST_SKIP() << "the layer is already in use in this process";
  }
  {
    JSocketLayer::Holder outer;
    JSocketLayer::Holder inner;
  }
  EXPECT_EQ(levelOf(capture, "Socket layer started"), 3);
  EXPECT_EQ(levelOf(capture, "Socket layer stopped"), 3);
}

}  // namespace
}  // namespace zq
