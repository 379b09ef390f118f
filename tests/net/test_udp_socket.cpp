// UDP and broadcast sockets on loopback: datagrams with and without a default
// peer, their senders, scatter/gather datagram boundaries, truncation,
// interface-number binding, and a blocked receive ended from another thread.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>

#include "net/broadcast_socket.h"
#include "net/socket_test_support.h"
#include "net/udp_socket.h"

namespace zq {
namespace {

using test::BoundedThread;
using test::Clock;
using test::elapsedMs;
using test::socketNumber;
using test::sysErrorOf;

// A UDP socket bound to a loopback port the system picks, reads bounded.
std::unique_ptr<JUDPSocket> boundReceiver() {
  auto socket = std::make_unique<JUDPSocket>();
  socket->bind(JInetAddr("127.0.0.1", 0));
  socket->setReadTimeout(5000);
  return socket;
}

TEST(UdpDatagram, SendtoReachesTheAddressAndReceiveFromTellsTheSender) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.bind(JInetAddr("127.0.0.1", 0));
  EXPECT_EQ(sender.sendto("frame-1", 7, receiver->localAddress()), 7u);
  char buffer[32];
  JInetAddr from;
  ASSERT_EQ(receiver->receiveFrom(buffer, sizeof buffer, &from), 7u);
  EXPECT_EQ(std::string(buffer, 7), "frame-1");
  EXPECT_EQ(from.text(), sender.localAddress().text());
}

TEST(UdpDatagram, ConnectedSocketWritesToItsPeer) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.connect(receiver->localAddress());
  EXPECT_EQ(sender.write("peer", 4), 4u);
  char buffer[8];
  EXPECT_EQ(receiver->read(buffer, sizeof buffer), 4u);
  EXPECT_EQ(sender.peerAddress().text(), receiver->localAddress().text());
}

TEST(UdpDatagram, EachReadTakesOneDatagram) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.connect(receiver->localAddress());
  sender.write("one", 3);
  sender.write("three", 5);
  char buffer[32];
  EXPECT_EQ(receiver->read(buffer, sizeof buffer), 3u);
  EXPECT_EQ(receiver->read(buffer, sizeof buffer), 5u);
  EXPECT_EQ(std::string(buffer, 5), "three");
}

TEST(UdpDatagram, EmptyDatagramIsZeroBytes) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  EXPECT_EQ(sender.sendto("", 0, receiver->localAddress()), 0u);
  char buffer[4];
  EXPECT_EQ(receiver->read(buffer, sizeof buffer), 0u);
}

TEST(UdpDatagram, DatagramLargerThanTheBufferIsMessageSize) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  const std::string big(100, 'z');
  sender.sendto(big.data(), big.size(), receiver->localAddress());
  char buffer[10];
  const auto error = sysErrorOf([&] { receiver->read(buffer, sizeof buffer); });
  EXPECT_EQ(socketNumber(error), 10040);
  EXPECT_STREQ(error->function(), "recv");
  EXPECT_EQ(std::string(buffer, 10), std::string(10, 'z'));
}

TEST(UdpDatagram, ReceiveFromAndPeerFailuresNameTheirCalls) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.sendto("0123456789", 10, receiver->localAddress());
  char buffer[4];
  JInetAddr from;
  const auto truncated = sysErrorOf([&] { receiver->receiveFrom(buffer, sizeof buffer, &from); });
  EXPECT_EQ(socketNumber(truncated), 10040);
  EXPECT_STREQ(truncated->function(), "revfrom");
  const auto noPeer = sysErrorOf([&] { (void)receiver->peerAddress(); });
  EXPECT_EQ(socketNumber(noPeer), 10057);
  EXPECT_STREQ(noPeer->function(), "getpeername");
}

TEST(UdpDatagram, ReadWithoutADatagramTimesOut) {
  auto receiver = boundReceiver();
  receiver->setReadTimeout(0);
  char buffer[4];
  EXPECT_THROW(receiver->read(buffer, sizeof buffer), JTimeoutError);
  receiver->setReadTimeout(150);
  const Clock::time_point start = Clock::now();
  EXPECT_THROW(receiver->receiveFrom(buffer, sizeof buffer, nullptr), JTimeoutError);
  EXPECT_GE(elapsedMs(start), 140);
}

TEST(UdpDatagram, WriteWithoutAPeerIsDestinationRequired) {
  JUDPSocket socket;
  const auto error = sysErrorOf([&] { socket.write("x", 1); });
  EXPECT_EQ(socketNumber(error), 10039);
  EXPECT_STREQ(error->function(), "send");
}

TEST(UdpDatagram, SendtoFailureNamesTheCall) {
  JUDPSocket socket;
  const JSockAddr unspecified;
  const auto error = sysErrorOf([&] { socket.sendto("x", 1, unspecified); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->function(), "sendto");
}

TEST(UdpScatterGather, GatherMakesOneDatagramAndScatterSplitsIt) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.connect(receiver->localAddress());
  char header[] = "HDR:";
  char body[] = "payload";
  const JSocketPiece out[] = {{header, 4}, {body, 7}};
  EXPECT_EQ(sender.writev(out, 2), 11u);
  char first[6] = {};
  char second[16] = {};
  const JSocketPiece in[] = {{first, 6}, {second, 16}};
  ASSERT_EQ(receiver->readv(in, 2), 11u);
  EXPECT_EQ(std::string(first, 6), "HDR:pa");
  EXPECT_EQ(std::string(second, 5), "yload");
}

TEST(UdpScatterGather, ScatterTooSmallForTheDatagramIsMessageSize) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.sendto("0123456789", 10, receiver->localAddress());
  char a[3];
  char b[3];
  const JSocketPiece in[] = {{a, 3}, {b, 3}};
  const auto error = sysErrorOf([&] { receiver->readv(in, 2); });
  EXPECT_EQ(socketNumber(error), 10040);
  EXPECT_STREQ(error->function(), "WSARecv");
}

TEST(UdpBind, InterfaceZeroIsAnyAddressAndAPickedPort) {
  JUDPSocket socket;
  socket.bindEphemeral();
  const JInetAddr local = socket.localAddress();
  EXPECT_TRUE(local.isAny());
  EXPECT_NE(local.port(), 0);
}

TEST(UdpBind, InterfaceNumberBindsItsAddress) {
  const std::vector<in_addr> interfaces = JInetAddr::interfaceAddresses();
  ASSERT_FALSE(interfaces.empty());
  // The last entry is a loopback address, present in every namespace.
  const int number = static_cast<int>(interfaces.size());
  JUDPSocket socket;
  socket.bind(number, 0);
  EXPECT_EQ(socket.localAddress().address().s_addr, interfaces.back().s_addr);
}

TEST(UdpBind, InterfaceNumberBeyondTheListIsATextError) {
  JUDPSocket socket;
  const int count = static_cast<int>(JInetAddr::interfaceAddresses().size());
  EXPECT_THROW(socket.bind(count + 1, 0), JTextError);
}

TEST(UdpBind, PortInUseIsAddressInUse) {
  auto first = boundReceiver();
  JUDPSocket second;
  const auto error = sysErrorOf([&] { second.bind(first->localAddress()); });
  EXPECT_EQ(socketNumber(error), 10048);
  EXPECT_STREQ(error->function(), "bind");
}

TEST(UdpInterrupt, CloseEndsABlockedReceive) {
  auto receiver = boundReceiver();
  receiver->setReadTimeout(-1);
  std::optional<JSysError> error;
  BoundedThread reader([&] {
    char buffer[8];
    error = sysErrorOf([&] { receiver->read(buffer, sizeof buffer); });
  });
  std::this_thread::sleep_for(test::milliseconds(100));
  receiver->close();
  reader.join();
  EXPECT_EQ(socketNumber(error), 10004);
}

TEST(Broadcast, SocketIsAllowedToBroadcast) {
  JBroadcastSocket socket;
  EXPECT_NE(socket.intOption(SOL_SOCKET, SO_BROADCAST), 0);
  EXPECT_EQ(socket.intOption(SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
}

TEST(Broadcast, DestinationReceivesWrites) {
  auto receiver = boundReceiver();
  JBroadcastSocket socket;
  socket.setDestination(receiver->localAddress());
  EXPECT_EQ(socket.write("all", 3), 3u);
  char buffer[4];
  EXPECT_EQ(receiver->read(buffer, sizeof buffer), 3u);
}

TEST(Broadcast, OpeningAgainReplacesTheHandle) {
  JBroadcastSocket socket;
  const int first = socket.handle();
  socket.open();
  EXPECT_GE(socket.handle(), 0);
  EXPECT_NE(socket.handle(), first);
  EXPECT_NE(fcntl(socket.handle(), F_GETFD), -1);
  EXPECT_EQ(fcntl(first, F_GETFD), -1);
  EXPECT_NE(socket.intOption(SOL_SOCKET, SO_BROADCAST), 0);
}

}  // namespace
}  // namespace zq
