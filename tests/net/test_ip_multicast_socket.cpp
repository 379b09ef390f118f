// IP multicast sockets on the loopback interface: membership and reception,
// loop-back control of senders, the flag combinations, and the TTL.
#include <netinet/in.h>

#include <optional>
#include <string>

#include "net/ip_multicast_socket.h"
#include "net/socket_error.h"
#include "net/socket_test_support.h"

namespace zq {
namespace {

using test::socketNumber;
using test::sysErrorOf;

constexpr char kGroup[] = "239.23.45.67";

// A receiver of the group on a port the system picks; its port is the
// group's port for the senders of the test.
std::unique_ptr<JIPMulticastSocket> groupReceiver() {
  auto receiver = std::make_unique<JIPMulticastSocket>(JInetAddr(kGroup, 0), false, true,
                                                       JInetAddr("127.0.0.1", 0));
  receiver->setReadTimeout(3000);
  return receiver;
}

TEST(MulticastReceive, ReceiverIsBoundToTheGroup) {
  auto receiver = groupReceiver();
  const JInetAddr local = receiver->localAddress();
  EXPECT_EQ(local.hostText(), kGroup);
  EXPECT_NE(local.port(), 0);
  EXPECT_NE(receiver->intOption(SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_TRUE(receiver->isReceiver());
  EXPECT_FALSE(receiver->isSender());
}

TEST(MulticastReceive, SenderWithLoopbackOffStillReachesAReceiver) {
  auto receiver = groupReceiver();
  const uint16_t port = receiver->localAddress().port();
  JIPMulticastSocket sender(JInetAddr(kGroup, port), true, false, JInetAddr("127.0.0.1", 0));
  EXPECT_EQ(sender.intOption(IPPROTO_IP, IP_MULTICAST_LOOP), 0);
  EXPECT_EQ(sender.write("voice", 5), 5u);
  char buffer[16];
  JInetAddr from;
  ASSERT_EQ(receiver->receiveFrom(buffer, sizeof buffer, &from), 5u);
  EXPECT_EQ(std::string(buffer, 5), "voice");
  EXPECT_EQ(from.port(), sender.localAddress().port());
}

TEST(MulticastReceive, GatheredWriteGoesToTheGroup) {
  auto receiver = groupReceiver();
  JIPMulticastSocket sender(JInetAddr(kGroup, receiver->localAddress().port()), true, false,
                            JInetAddr("127.0.0.1", 0));
  char head[] = "ab";
  char tail[] = "cd";
  const JSocketPiece pieces[] = {{head, 2}, {tail, 2}};
  EXPECT_EQ(sender.writev(pieces, 2), 4u);
  char buffer[8];
  ASSERT_EQ(receiver->read(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST(MulticastReceive, SenderAndReceiverHearsItselfAndOthers) {
  auto other = groupReceiver();
  const uint16_t port = other->localAddress().port();
  JIPMulticastSocket both(JInetAddr(kGroup, port), true, true, JInetAddr("127.0.0.1", 0));
  both.setReadTimeout(3000);
  EXPECT_NE(both.intOption(IPPROTO_IP, IP_MULTICAST_LOOP), 0);
  EXPECT_EQ(both.localAddress().port(), port);
  both.write("echo", 4);
  char buffer[8];
  EXPECT_EQ(both.read(buffer, sizeof buffer), 4u);
  EXPECT_EQ(other->read(buffer, sizeof buffer), 4u);
}

TEST(MulticastReceive, ReceiverTakesTheGroupPortWhenItsOwnIsZero) {
  // A port picked through a plain socket and freed again for the group.
  uint16_t port;
  {
    JUDPSocket probe;
    probe.bind(JInetAddr(kGroup, 0));
    port = probe.localAddress().port();
  }
  JIPMulticastSocket receiver(JInetAddr(kGroup, port), false, true, JInetAddr());
  EXPECT_EQ(receiver.localAddress().port(), port);
}

TEST(MulticastSetup, NeitherFlagIsATextError) {
  try {
    JIPMulticastSocket socket(JInetAddr(kGroup, 0), false, false, JInetAddr());
    FAIL() << "created";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "specify sender or receiver or both for ip multicast socket");
  }
}

TEST(MulticastSetup, JoiningAUnicastAddressFailsWithTheMulticastTag) {
  const auto error = sysErrorOf([] {
    JIPMulticastSocket socket(JInetAddr("127.0.0.1", 0), false, true, JInetAddr("127.0.0.1", 0));
  });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->function(), "WSAJoinLeaf");
  EXPECT_EQ(error->tag(), kMulticastErrorTag);
  EXPECT_EQ(socketNumber(error), 10022);
}

TEST(MulticastSetup, SenderBindsTheLocalAddressAndItsInterface) {
  JIPMulticastSocket sender(JInetAddr(kGroup, 5000), true, false, JInetAddr("127.0.0.1", 0));
  EXPECT_EQ(sender.localAddress().hostText(), "127.0.0.1");
  in_addr interface {};
  socklen_t length = sizeof interface;
  sender.getsockopt(IPPROTO_IP, IP_MULTICAST_IF, &interface, &length);
  EXPECT_EQ(interface.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sender.group().text(), std::string(kGroup) + ":5000");
}

TEST(MulticastTtl, ValueIsApplied) {
  JIPMulticastSocket sender(JInetAddr(kGroup, 5000), true, false, JInetAddr("127.0.0.1", 0));
  sender.setTTL(7);
  EXPECT_EQ(sender.intOption(IPPROTO_IP, IP_MULTICAST_TTL), 7);
}

TEST(MulticastTtl, RefusedValueThrowsNothingAndKeepsTheOldOne) {
  JIPMulticastSocket sender(JInetAddr(kGroup, 5000), true, false, JInetAddr("127.0.0.1", 0));
  sender.setTTL(3);
  EXPECT_NO_THROW(sender.setTTL(300));
  EXPECT_NO_THROW(sender.setTTL(-7));
  EXPECT_EQ(sender.intOption(IPPROTO_IP, IP_MULTICAST_TTL), 3);
}

}  // namespace
}  // namespace zq
