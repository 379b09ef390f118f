// Datagram sockets on loopback: UDP datagrams, failures, interface binding and
// a receive ended by close; broadcast; IP multicast members, loop-back,
// ports, roles, the TTL, and the log lines of multicast sockets.
#include <fcntl.h>

#include "net/broadcast_socket.h"
#include "net/ip_multicast_socket.h"
#include "net/socket_test_support.h"

namespace zq {
namespace {

using namespace test;

constexpr char kGroup[] = "239.23.45.67";

std::unique_ptr<JUDPSocket> boundReceiver() {
  auto socket = std::make_unique<JUDPSocket>();
  socket->bind(JInetAddr("127.0.0.1", 0));
  socket->setReadTimeout(5000);
  return socket;
}

// One datagram, as text.
std::string receive(JSocket& socket, JInetAddr* from = nullptr) {
  char buffer[64];
  return std::string(buffer, socket.receiveFrom(buffer, sizeof buffer, from));
}

TEST(Udp, DatagramsKeepTheirBoundariesAndTellTheirSenderAndBroadcastsArrive) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.bind(JInetAddr("127.0.0.1", 0));
  EXPECT_EQ(sender.sendto("frame-1", 7, receiver->localAddress()), 7u);
  JInetAddr from;
  EXPECT_EQ(receive(*receiver, &from), "frame-1");
  EXPECT_EQ(from.text(), sender.localAddress().text());
  EXPECT_EQ(sender.sendto("", 0, receiver->localAddress()), 0u);
  EXPECT_EQ(receive(*receiver), "");
  sender.connect(receiver->localAddress());
  EXPECT_EQ(sender.write("one", 3), 3u);
  char header[] = "HDR:", body[] = "payload", first[6], second[16];
  const JSocketPiece out[] = {{header, 4}, {body, 7}}, in[] = {{first, 6}, {second, 16}};
  EXPECT_EQ(sender.writev(out, 2), 11u);
  EXPECT_EQ(receiver->read(second, sizeof second), 3u);
  ASSERT_EQ(receiver->readv(in, 2), 11u);
  EXPECT_EQ(std::string(first, 6) + "|" + std::string(second, 5), "HDR:pa|yload");
  JBroadcastSocket broadcast;
  broadcast.setDestination(receiver->localAddress());
  EXPECT_EQ(broadcast.write("all", 3), 3u);
  EXPECT_EQ(receive(*receiver), "all");
  const int old = broadcast.handle();
  broadcast.open();  // a new handle, the old one closed
  EXPECT_NE(broadcast.handle(), old);
  EXPECT_EQ(fcntl(old, F_GETFD), -1);
  EXPECT_NE(broadcast.intOption(SOL_SOCKET, SO_BROADCAST), 0);
}

TEST(Udp, FailuresGiveTheirNumberAndCallAndCloseEndsABlockedReceive) {
  auto receiver = boundReceiver();
  JUDPSocket sender, other, unbound, any;
  char buffer[10];
  const JSocketPiece pieces[] = {{buffer, 3}, {buffer + 3, 3}};
  const std::string big(100, 'z');
  const auto tooBig = [&] { sender.sendto(big.data(), big.size(), receiver->localAddress()); };
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { tooBig(), receiver->read(buffer, sizeof buffer); }, "10040 recv"},
      {[&] { tooBig(), receiver->receiveFrom(buffer, 4, nullptr); }, "10040 revfrom"},
      {[&] { tooBig(), receiver->readv(pieces, 2); }, "10040 WSARecv"},
      {[&] { (void)receiver->peerAddress(); }, "10057 getpeername"},
      {[&] { other.write("x", 1); }, "10039 send"},
      {[&] { other.sendto("x", 1, JSockAddr()); }, "10039 sendto"},
      {[&] { unbound.bind(receiver->localAddress()); }, "10048 bind"}};
  for (const auto& [call, failure] : cases) {
    EXPECT_EQ(failureOf(call), failure);
  }
  EXPECT_EQ(std::string(buffer, 10), std::string(10, 'z'));
  // Interface 0 is any address; the last one is loopback, in every namespace.
  const std::vector<in_addr> interfaces = JInetAddr::interfaceAddresses();
  EXPECT_THROW(unbound.bind(static_cast<int>(interfaces.size()) + 1, 0), JTextError);
  unbound.bind(static_cast<int>(interfaces.size()), 0);
  EXPECT_EQ(unbound.localAddress().address().s_addr, interfaces.back().s_addr);
  any.bindEphemeral();
  EXPECT_TRUE(any.localAddress().isAny());
  EXPECT_NE(any.localAddress().port(), 0);
  receiver->setReadTimeout(-1);
  EXPECT_EQ(endBlocked([&] { receive(*receiver); }, {SYS_recvmsg}, [&] { receiver->close(); }),
            "10004 revfrom");
}

std::unique_ptr<JIPMulticastSocket> member(uint16_t port, bool sender, bool receiver,
                                           JTraceMask* mask = nullptr) {
  auto socket = std::make_unique<JIPMulticastSocket>(JInetAddr(kGroup, port), sender, receiver,
                                                     JInetAddr("127.0.0.1", 0), mask);
  socket->setReadTimeout(3000);
  return socket;
}

TEST(Multicast, MembersHearTheGroupAndSendersOnlyWhenTheyReceive) {
  LogCapture log;
  JTraceMask mask{1u << kLevelTraceNetwork};
  auto receiver = member(0, false, true, &mask);
  const JInetAddr local = receiver->localAddress();
  EXPECT_EQ(local.hostText(), kGroup);
  const int fd = receiver->handle();
  EXPECT_EQ(levelOf(log, jformat("Created IP Multicast socket '%d'", fd)), 18);
  EXPECT_EQ(
      levelOf(log, jformat("Joined IP multicast group '%s:0' on socket '%d', leaf socket '%d'",
                           kGroup, fd, fd)),
      18);
  auto sender = member(local.port(), true, false);
  EXPECT_EQ(sender->intOption(IPPROTO_IP, IP_MULTICAST_LOOP), 0);
  EXPECT_EQ(sender->localAddress().hostText(), "127.0.0.1");
  EXPECT_EQ(static_cast<in_addr_t>(sender->intOption(IPPROTO_IP, IP_MULTICAST_IF)),
            htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sender->write("voice", 5), 5u);
  JInetAddr from;
  EXPECT_EQ(receive(*receiver, &from), "voice");
  EXPECT_EQ(from.port(), sender->localAddress().port());
  char head[] = "ab", tail[] = "cd";
  const JSocketPiece pieces[] = {{head, 2}, {tail, 2}};
  EXPECT_EQ(sender->writev(pieces, 2), 4u);
  EXPECT_EQ(receive(*receiver), "abcd");
  auto both = member(local.port(), true, true);
  EXPECT_EQ(both->write("echo", 4), 4u);
  EXPECT_EQ(receive(*both), "echo");
  EXPECT_EQ(receive(*receiver), "echo");
}

TEST(Multicast, ReceiverBindsItsOwnPortElseTheGroups) {
  JUDPSocket probes[2];
  for (JUDPSocket& probe : probes) {
    probe.bind(JInetAddr(kGroup, 0));  // distinct ports, then shared
    probe.setIntOption(SOL_SOCKET, SO_REUSEADDR, 1);
  }
  const uint16_t own = probes[0].localAddress().port(), group = probes[1].localAddress().port();
  JIPMulticastSocket withOwn(JInetAddr(kGroup, group), false, true, JInetAddr("127.0.0.1", own));
  EXPECT_EQ(withOwn.localAddress().port(), own);
  JIPMulticastSocket withGroups(JInetAddr(kGroup, group), false, true, JInetAddr());
  EXPECT_EQ(withGroups.localAddress().port(), group);
}

TEST(Multicast, SetupFailuresAndRefusedTtlsAreReportedAndLogged) {
  LogCapture log;
  EXPECT_EQ(
      failureOf([] { JIPMulticastSocket s(JInetAddr(kGroup, 0), false, false, JInetAddr()); }),
      "specify sender or receiver or both for ip multicast socket");
  EXPECT_EQ(failureOf([] { JIPMulticastSocket s(JInetAddr("127.0.0.2", 0), false, true, {}); }),
            "10022 WSAJoinLeaf tag 17");
  int fd = -1;
  for (const LogCapture::Record& record : log.records()) {
    sscanf(record.text.c_str(), "Could not join IP multicast group '127.0.0.2:0' on socket '%d'",
           &fd);
  }
  EXPECT_EQ(levelOf(log, jformat("Could not join IP multicast group '127.0.0.2:0' on socket '%d': "
                                 "system call error at function 'WSAJoinLeaf' : An invalid "
                                 "argument was supplied",
                                 fd)),
            11);
  auto sender = member(5000, true, false);
  sender->setTTL(7);
  EXPECT_EQ(sender->intOption(IPPROTO_IP, IP_MULTICAST_TTL), 7);
  EXPECT_FALSE(log.contains("failed, Err"));
  sender->setTTL(300);
  sender->setTTL(-7);
  EXPECT_EQ(sender->intOption(IPPROTO_IP, IP_MULTICAST_TTL), 7);
  EXPECT_EQ(levelOf(log, "WSAIoctl() failed, Err 10022 ", 2), 3);
  EXPECT_EQ(levelOf(log, "setsockopt() failed, Err 10022 ", 2), 3);
}

}  // namespace
}  // namespace zq
