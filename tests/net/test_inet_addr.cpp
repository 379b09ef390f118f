// IPv4 addresses: dotted and resolved host texts, the two text forms, local
// interface numbers, and copies that keep their type.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "base/error.h"
#include "net/inet_addr.h"
#include "net/rtsp_addr.h"

namespace zq {
namespace {

// The IPv4 addresses of interfaces that are up, straight from the system.
std::multiset<uint32_t> systemAddresses(size_t* loopbackCount = nullptr) {
  std::multiset<uint32_t> found;
  size_t loopback = 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return found;
  }
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
        (entry->ifa_flags & IFF_UP) != 0) {
      found.insert(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
      if ((entry->ifa_flags & IFF_LOOPBACK) != 0) {
        ++loopback;
      }
    }
  }
  freeifaddrs(list);
  if (loopbackCount != nullptr) {
    *loopbackCount = loopback;
  }
  return found;
}

// The first name /etc/hosts gives 127.0.0.1, or "" when it gives none.
std::string hostsNameOfLoopback() {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string address, name;
    if (words >> address >> name && address == "127.0.0.1") {
      return name;
    }
  }
  return "";
}

TEST(InetAddrText, DottedHostGivesBytesAndPort) {
  const JInetAddr address("192.168.10.254", 8080);
  EXPECT_EQ(address.text(), "192.168.10.254:8080");
  EXPECT_EQ(address.hostText(), "192.168.10.254");
  EXPECT_EQ(address.port(), 8080);
  EXPECT_EQ(address.family(), AF_INET);
  EXPECT_EQ(address.length(), sizeof(sockaddr_in));
  EXPECT_EQ(ntohl(address.address().s_addr), 0xC0A80AFEu);
}

TEST(InetAddrText, DefaultIsTheAnyAddressWithPortZero) {
  const JInetAddr any;
  EXPECT_EQ(any.text(), "0.0.0.0:0");
  EXPECT_TRUE(any.isAny());
}

TEST(InetAddrText, HighBytesPrintAsUnsigned) {
  EXPECT_EQ(JInetAddr("255.255.255.255", 0).text(), "255.255.255.255:0");
}

TEST(InetAddrResolve, LocalhostResolvesToALoopbackAddress) {
  const JInetAddr address("localhost", 554);
  EXPECT_EQ(ntohl(address.address().s_addr) >> 24, 127u) << address.text();
  EXPECT_EQ(address.port(), 554);
}

TEST(InetAddrResolve, NameTextOfLoopbackUsesTheHostsFile) {
  const std::string name = hostsNameOfLoopback();
  if (name.empty()) {
    GTEST_SKIP() << "/etc/hosts names no 127.0.0.1; a reverse look-up would leave the host";
  }
  EXPECT_EQ(JInetAddr("127.0.0.1", 7000).nameText(), name + ":7000");
}

TEST(InetAddrCopy, CopyKeepsTheMostDerivedType) {
  const JRTSPAddr rtsp("10.1.2.3", 554, "cam/1.mp3");
  const JSockAddr& base = rtsp;
  const std::unique_ptr<JSockAddr> copy = base.copy();
  const auto* asRtsp = dynamic_cast<const JRTSPAddr*>(copy.get());
  ASSERT_NE(asRtsp, nullptr);
  EXPECT_EQ(asRtsp->mediaFile(), "cam/1.mp3");
  EXPECT_EQ(copy->text(), "10.1.2.3:554");

  const JInetAddr inet("10.1.2.4", 9);
  const std::unique_ptr<JSockAddr> inetCopy = static_cast<const JSockAddr&>(inet).copy();
  EXPECT_NE(dynamic_cast<const JInetAddr*>(inetCopy.get()), nullptr);
  EXPECT_EQ(inetCopy->text(), "10.1.2.4:9");
}

TEST(InterfaceNumber, BelowOneIsTheAnyAddress) {
  EXPECT_EQ(JInetAddr::fromInterface(0).text(), "0.0.0.0:0");
  EXPECT_EQ(JInetAddr::fromInterface(-5).text(), "0.0.0.0:0");
}

TEST(InterfaceNumber, ListHasEveryUpIPv4AddressOfTheSystem) {
  const std::vector<in_addr> listed = JInetAddr::interfaceAddresses();
  std::multiset<uint32_t> mine;
  for (const in_addr& address : listed) {
    mine.insert(address.s_addr);
  }
  EXPECT_EQ(mine, systemAddresses());
}

TEST(InterfaceNumber, LoopbackAddressesComeLast) {
  size_t loopbackCount = 0;
  const size_t total = systemAddresses(&loopbackCount).size();
  const std::vector<in_addr> listed = JInetAddr::interfaceAddresses();
  ASSERT_EQ(listed.size(), total);
  for (size_t i = 0; i < listed.size(); ++i) {
    const bool isLoopback = (ntohl(listed[i].s_addr) >> 24) == 127;
    EXPECT_EQ(isLoopback, i >= total - loopbackCount) << "entry " << i;
  }
}

TEST(InterfaceNumber, EachNumberInRangeGivesThatEntryWithPortZero) {
  const std::vector<in_addr> listed = JInetAddr::interfaceAddresses();
  ASSERT_FALSE(listed.empty()) << "no interface is up";
  for (size_t n = 1; n <= listed.size(); ++n) {
    const JInetAddr address = JInetAddr::fromInterface(static_cast<int>(n));
    EXPECT_EQ(address.address().s_addr, listed[n - 1].s_addr);
    EXPECT_EQ(address.port(), 0);
  }
}

TEST(InterfaceNumber, NumberBeyondTheListThrowsWithNumberAndCount) {
  const int count = static_cast<int>(systemAddresses().size());
  try {
    (void)JInetAddr::fromInterface(count + 1);
    FAIL() << "nothing thrown";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "invalid interface number : " + std::to_string(count + 1) + "/" +
                               std::to_string(count));
  }
}

}  // namespace
}  // namespace zq
