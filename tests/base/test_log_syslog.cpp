// The syslog output against a real UDP socket on loopback: the datagram
// text, priorities, the 1 024-byte cut, ports and precedence, and the outputs
// that cannot start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <ctime>
#include <iterator>
#include <regex>
#include <vector>

#include "base/error.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/log_syslog.h"
#include "test_log_support.h"

namespace zq {
namespace {

using test::Collector;

// A UDP socket on 127.0.0.1 with an OS-chosen port that reports the source
// and the TOS byte of what it receives.
class SyslogServer {
 public:
  struct Datagram {
    std::string text;
    uint16_t sourcePort = 0;
    std::string sourceAddress;
    int tos = -1;
  };

  SyslogServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
  }
  ~SyslogServer() { ::close(fd_); }
  uint16_t port() const { return port_; }

  /// The next datagram, or nothing within `timeoutMs`.
  std::optional<Datagram> receive(int timeoutMs = 5000) {
    struct pollfd p {
      fd_, POLLIN, 0
    };
    if (::poll(&p, 1, timeoutMs) != 1) {
      return std::nullopt;
    }
    char buf[4096];
    char control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_, &msg, 0);
    if (n < 0) {
      return std::nullopt;
    }
    Datagram d;
    d.text.assign(buf, static_cast<size_t>(n));
    d.sourcePort = ntohs(from.sin_port);
    char addr[INET_ADDRSTRLEN];
    d.sourceAddress = ::inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) {
        d.tos = *reinterpret_cast<unsigned char*>(CMSG_DATA(c));
      }
    }
    return d;
  }

 private:
  int fd_;
  uint16_t port_;
};

class LogSyslog : public test::LogFixture {
 protected:
  JSystemRegistryKey syslogOutput(const std::string& name = "Syslog") {
    JSystemRegistryKey key = output(name);
    key.setString("Type", "SysLog");
    key.setString("Server", "127.0.0.1");
    key.setDword("ServerPort", server_.port());
    key.setDword("LocalPort", 0);
    key.setDword("WarnLevel", 0xFFFFFFFFu);
    key.setString("Format", "%m");
    key.setString("HostName", "camera");
    return key;
  }

  SyslogServer server_;
};

std::string monthAndDay(time_t t) {
  struct tm tm;
  ::localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%b %e", &tm);
  return buf;
}

TEST_F(LogSyslog, DatagramCarriesPriorityDateHostAndRecord) {
  syslogOutput().setString("HostName", "cam host#1.example");
  JLog::reinitialise(0);
  const time_t before = ::time(nullptr);
  JLog::logf(kLevelInfo, "door opened");
  const time_t after = ::time(nullptr);
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      d->text, m,
      std::regex(
          R"(<134>([A-Z][a-z]{2} [ 1-3]\d) \d\d:\d\d:\d\d cam_host_1\.example door opened)")))
      << d->text;
  EXPECT_TRUE(m[1] == monthAndDay(before) || m[1] == monthAndDay(after)) << m[1];
}

TEST_F(LogSyslog, PriorityIsSeverityPlusEightTimesFacility) {
  syslogOutput().setDword("Facility", 3);
  JLog::reinitialise(0);
  const int severities[13] = {5, 7, 5, 7, 7, 5, 5, 5, 6, 4, 5, 3, 2};
  for (int level = 0; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
    auto d = server_.receive();
    ASSERT_TRUE(d.has_value()) << "level " << level;
    const std::string prefix = "<" + std::to_string(severities[level] + 24) + ">";
    EXPECT_TRUE(d->text.starts_with(prefix)) << d->text;
    EXPECT_TRUE(d->text.ends_with(" camera level " + std::to_string(level))) << d->text;
  }
}

TEST_F(LogSyslog, DatagramsAreCutAt1024Bytes) {
  syslogOutput();
  JLog::reinitialise(0);
  JLog::log(kLevelInfo, std::string(3000, 'a'), nullptr, 0, nullptr, nullptr);
  JLog::logf(kLevelInfo, "short");
  auto longOne = server_.receive();
  auto shortOne = server_.receive();
  ASSERT_TRUE(longOne.has_value() && shortOne.has_value());
  EXPECT_EQ(longOne->text.size(), 1024u);
  EXPECT_TRUE(longOne->text.ends_with("aaaa"));
  EXPECT_TRUE(shortOne->text.ends_with(" camera short"));
}

TEST_F(LogSyslog, RecordsAreOneLine) {
  syslogOutput().setString("Format", "%w|%m");
  JLog::reinitialise(0);
  JLog::logf(kLevelWarning, "two\r\nlines\n");
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  EXPECT_TRUE(d->text.ends_with(" camera WARNING       |two  lines ")) << d->text;
}

TEST_F(LogSyslog, LocalPortDefaultsTo514AndPrecedenceSetsTheTos) {
  JSystemRegistryKey key = syslogOutput();
  key.deleteValue("LocalPort");
  key.setDword("Precedence", 5);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->sourcePort, 514);
  EXPECT_EQ(d->tos, 5 << 5);
}

TEST_F(LogSyslog, WithoutPrecedenceTheTosIsLeftAlone) {
  syslogOutput();
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->tos, 0);
  EXPECT_NE(d->sourcePort, 514);
}

TEST_F(LogSyslog, InterfaceNumberChoosesTheSourceAddress) {
  struct ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  const std::vector<uint32_t> numbered = JSysLog::interfaceAddresses(list);
  ::freeifaddrs(list);
  ASSERT_FALSE(numbered.empty());
  in_addr firstAddress{};
  firstAddress.s_addr = numbered[0];
  char buf[INET_ADDRSTRLEN];
  const std::string first = ::inet_ntop(AF_INET, &firstAddress, buf, sizeof buf);
  if (!first.starts_with("127.")) {
    GTEST_SKIP() << "interface 1 is not a loopback one: " << first;
  }
  syslogOutput().setDword("IpInterfaceNumber", 1);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->sourceAddress, first);
}

TEST(SyslogInterfaceNumbers, CountUpInterfacesWithTheLoopbackOnesLast) {
  // A made-up interface list, never used on a socket: the loopback interface
  // listed first, as the system lists it, a card that is down, an IPv6
  // address and two cards that are up.
  struct Entry {
    const char* name;
    unsigned flags;
    int family;
    const char* address;
  };
  const Entry entries[] = {
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
      {"eth0", IFF_UP, AF_INET, "127.1.0.1"},
      {"eth1", 0, AF_INET, "127.2.0.1"},
      {"eth0", IFF_UP, AF_INET6, nullptr},
      {"eth2", IFF_UP, AF_INET, "127.3.0.1"},
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.2"},
  };
  constexpr size_t kCount = std::size(entries);
  std::vector<sockaddr_storage> addresses(kCount);
  std::vector<ifaddrs> list(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    addresses[i].ss_family = static_cast<sa_family_t>(entries[i].family);
    if (entries[i].address != nullptr) {
      auto* in = reinterpret_cast<sockaddr_in*>(&addresses[i]);
      ASSERT_EQ(::inet_pton(AF_INET, entries[i].address, &in->sin_addr), 1);
    }
    list[i].ifa_next = i + 1 < kCount ? &list[i + 1] : nullptr;
    list[i].ifa_name = const_cast<char*>(entries[i].name);
    list[i].ifa_flags = entries[i].flags;
    list[i].ifa_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
  }
  std::vector<std::string> numbered;
  for (uint32_t a : JSysLog::interfaceAddresses(list.data())) {
    in_addr in{};
    in.s_addr = a;
    char text[INET_ADDRSTRLEN];
    numbered.emplace_back(::inet_ntop(AF_INET, &in, text, sizeof text));
  }
  EXPECT_EQ(numbered,
            (std::vector<std::string>{"127.1.0.1", "127.3.0.1", "127.0.0.1", "127.0.0.2"}));
  EXPECT_TRUE(JSysLog::interfaceAddresses(nullptr).empty());
}

TEST_F(LogSyslog, DefaultHostNameIsTheComputersWithBadCharactersReplaced) {
  syslogOutput().deleteValue("HostName");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  auto d = server_.receive();
  ASSERT_TRUE(d.has_value());
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  EXPECT_TRUE(d->text.ends_with(" " + JSysLog::sanitiseHostName(name) + " x")) << d->text;
}

TEST(SyslogHostName, OnlyLettersDigitsDashesAndDotsAreKept) {
  EXPECT_EQ(JSysLog::sanitiseHostName("Cam-01.site_b host/é"), "Cam-01.site_b_host___");
  EXPECT_EQ(JSysLog::sanitiseHostName(""), "");
}

// ---- outputs that cannot start --------------------------------------------------

class LogSyslogInert : public LogSyslog {
 protected:
  // An in-process output listed first sees what the syslog output says.
  void SetUp() override { inProcess("A", "first", 1u << kLevelError, "%w|%m"); }
  // The syslog output stays inert: nothing reaches the server.
  void expectNothingSent() {
    JLog::logf(kLevelInfo, "dropped");
    EXPECT_FALSE(server_.receive(200).has_value());
  }
  Collector first_{"first"};
};

TEST_F(LogSyslogInert, MissingServer) {
  syslogOutput().deleteValue("Server");
  JLog::reinitialise(0);
  EXPECT_EQ(first_.texts(),
            std::vector<std::string>{"ERROR         |SysLog network logging not started: missing "
                                     "\"Server\" key in registry"});
  expectNothingSent();
}

TEST_F(LogSyslogInert, UnknownInterfaceNumber) {
  syslogOutput().setDword("IpInterfaceNumber", 1000);
  JLog::reinitialise(0);
  auto texts = first_.texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(
      texts[0].starts_with("ERROR         |SysLog network logging not started: could not "
                           "find IP interface #1000: invalid interface number : 1000/"))
      << texts[0];
  expectNothingSent();
}

TEST_F(LogSyslogInert, ServerNameThatCannotBeResolved) {
  syslogOutput().setString("Server", "no such host!");
  JLog::reinitialise(0);
  EXPECT_EQ(first_.texts(),
            std::vector<std::string>{
                "ERROR         |SysLog network logging not started: could not resolve syslog "
                "server DNS name(no such host!): system call error at function 'gethostbyname' : "
                "No such host is known"});
  expectNothingSent();
}

TEST_F(LogSyslogInert, LocalPortTakenWithoutAddressReuse) {
  int taken = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  syslogOutput().setDword("LocalPort", static_cast<uint32_t>(port));
  JLog::reinitialise(0);
  ::close(taken);
  EXPECT_EQ(
      first_.texts(),
      std::vector<std::string>{
          "ERROR         |SysLog network logging not started: could not bind on local port (" +
          std::to_string(port) + "): system call error at function 'bind' : " +
          std::string(socketErrorText(JSysError::kSocketTag | 10048))});
  expectNothingSent();
}

}  // namespace
}  // namespace zq
