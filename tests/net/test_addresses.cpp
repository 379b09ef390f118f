// IPv4 address texts, interface numbers and URLs; error numbers and texts of
// failed calls; the socket layer's users and the descriptor limit it raises.
#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "helpers/descriptors.h"
#include "net/rtsp_addr.h"
#include "net/sock_addr_factory.h"
#include "net/socket_error.h"
#include "net/socket_layer.h"
#include "net/socket_test_support.h"

namespace zq {
namespace {

using namespace test;

TEST(InetAddr, TextFormsAndCopies) {
  const JInetAddr dotted("192.168.10.254", 8080), any;
  EXPECT_EQ(dotted.text(), "192.168.10.254:8080");
  EXPECT_EQ(dotted.hostText(), "192.168.10.254");
  EXPECT_EQ(dotted.address().s_addr, htonl(0xC0A80AFE));
  EXPECT_EQ(JInetAddr("255.255.255.255", 0).text(), "255.255.255.255:0");
  EXPECT_EQ(any.text(), "0.0.0.0:0");
  EXPECT_TRUE(any.isAny() && !dotted.isAny());
  EXPECT_EQ(ntohl(JInetAddr("localhost", 554).address().s_addr) >> 24, 127u);
  // A copy through the base keeps the most derived type.
  const JRTSPAddr rtsp("10.1.2.3", 554, "cam/1.mp3");
  const std::unique_ptr<JSockAddr> copy = static_cast<const JSockAddr&>(rtsp).copy();
  const auto* asRtsp = dynamic_cast<const JRTSPAddr*>(copy.get());
  ASSERT_NE(asRtsp, nullptr);
  EXPECT_EQ(asRtsp->text() + " " + asRtsp->mediaFile(), "10.1.2.3:554 cam/1.mp3");
}

TEST(InetAddr, InterfaceNumbersCountFromOneLoopbackLast) {
  const std::vector<in_addr> numbered = JInetAddr::interfaceAddresses();
  const size_t count = numbered.size();
  ASSERT_NE(count, 0u) << "no interface is up";
  EXPECT_TRUE(std::ranges::is_partitioned(
      numbered, [](const in_addr& address) { return ntohl(address.s_addr) >> 24 != 127; }));
  for (size_t n = 1; n <= count; ++n) {
    EXPECT_EQ(JInetAddr::fromInterface(static_cast<int>(n)).text(),
              JInetAddr(numbered[n - 1], 0).text());
  }
  EXPECT_EQ(JInetAddr::fromInterface(0).text(), "0.0.0.0:0");
  EXPECT_EQ(JInetAddr::fromInterface(-5).text(), "0.0.0.0:0");
  EXPECT_EQ(
      failureOf([&] { JInetAddr::fromInterface(static_cast<int>(count) + 1); }),
      "invalid interface number : " + std::to_string(count + 1) + "/" + std::to_string(count));
}

TEST(SockAddrFactory, UrlsGiveTheirAddressOrTheirErrorText) {
  const std::pair<const char*, const char*> cases[] = {
      {"udp://10.20.30.40:5004", "10.20.30.40:5004"},
      {"ipmq://239.1.1.1", "239.1.1.1:0"},
      {"tcp://127.0.0.1:000080", "127.0.0.1:80"},
      {"rtsp://10.0.0.7:8554/live/cam1.mp3", "10.0.0.7:8554 live/cam1.mp3"},
      {"rtsp://127.0.0.1:0000065535/a.mp3", "127.0.0.1:65535 a.mp3"},
      {"rtsp://10.0.0.7/cam1.mp3", "10.0.0.7:554 cam1.mp3"},
      {"svc://47.0005.80ffe1000000f21a26d8.0020481a26d8.00", "(none)"},
      {"svc://", "(none)"},
      {"tcp://127.0.0.1", "bad ip url format"},
      {"udp://127.0.0.1:", "bad ip url format"},
      {"udp://127.0.0.1:12x", "bad ip url format"},
      {"udp://127.0.0.1:-1", "bad ip url format"},
      {"tcp://127.0.0.1:65536", "bad ip url format"},
      {"tcp://127.0.0.1:99999999999999999999", "bad ip url format"},
      {"rtsp://10.0.0.7:abc/file", "bad ip url format"},
      {"rtsp://10.0.0.7:554", "bad rtsp url format, missing mediafile"},
      {"UDP://127.0.0.1:5", "unknown url type"},
      {"udp:/127.0.0.1:5", "unknown url type"},
      {"", "unknown url type"}};
  for (const auto& [url, result] : cases) {
    std::string got;
    const std::string error = failureOf([&] {
      const auto address = createSockAddr(url);
      const auto* rtsp = dynamic_cast<JRTSPAddr*>(address.get());
      got = !address ? "(none)" : address->text() + (rtsp ? " " + rtsp->mediaFile() : "");
    });
    EXPECT_EQ(error == "none" ? got : error, result) << url;
  }
}

TEST(SocketError, ErrnoAndResolverResultsGiveTheirSocketNumbers) {
  // EPIPE is a reset by the peer (a socket makes it 10058 after a local
  // shutdown itself); ENOMEM, ENFILE and EPERM take the nearest number.
  const std::pair<int, uint32_t> errnos[] = {
      {ECONNRESET, 10054},      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},
      {ECONNABORTED, 10053},    {ENOTCONN, 10057},     {EISCONN, 10056},
      {ENETUNREACH, 10051},     {EHOSTUNREACH, 10065}, {EHOSTDOWN, 10064},
      {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
      {EFAULT, 10014},          {EINVAL, 10022},       {EMFILE, 10024},
      {EAGAIN, 10035},          {EINPROGRESS, 10036},  {ENOTSOCK, 10038},
      {EMSGSIZE, 10040},        {ENOPROTOOPT, 10042},  {EOPNOTSUPP, 10045},
      {EPROTONOSUPPORT, 10043}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},   {ENOBUFS, 10055},      {ENAMETOOLONG, 10063},
      {ESHUTDOWN, 10058},       {EPIPE, 10054},        {ENOMEM, 10055},
      {ENFILE, 10024},          {EPERM, 10013},        {ENOENT, 0}};
  for (const auto& [err, number] : errnos) {
    EXPECT_EQ(socketErrorFromErrno(err), number) << std::strerror(err);
    EXPECT_EQ(socketErrorCode(err), number != 0 ? JSysError::kSocketTag | number : err);
    EXPECT_EQ(JSysError(socketErrorCode(err), "recv").message().find("Unknown"), std::string::npos);
  }
  EXPECT_EQ(socketErrorCode(0), JSysError::kSocketTag);
  const struct {
    int result, err;
    uint32_t number;
  } resolver[] = {{EAI_NONAME, 0, 11001},  {EAI_AGAIN, 0, 11002},      {EAI_FAIL, 0, 11003},
                  {EAI_NODATA, 0, 11004},  {EAI_ADDRFAMILY, 0, 11004}, {EAI_SYSTEM, EMFILE, 10024},
                  {EAI_SYSTEM, ENOENT, 0}, {EAI_MEMORY, 0, 10055},     {EAI_FAMILY, 0, 10047}};
  for (const auto& c : resolver) {
    EXPECT_EQ(socketErrorFromResolver(c.result, c.err), c.number) << gai_strerror(c.result);
  }
}

TEST(SocketError, ThrownErrorCarriesCallTagAndTheCallersFile) {
  try {
    throwSocketError(ECONNREFUSED, "WSAConnect", 17);
  } catch (const JSysError& e) {
    EXPECT_EQ(failureOf([&] { throw e; }), "10061 WSAConnect tag 17");
    EXPECT_TRUE(std::string_view(e.file()).ends_with("test_addresses.cpp")) << e.file();
  }
  EXPECT_EQ(makeSocketError(ECONNRESET, "recv").tag(), JSysError::kDefaultTag);
  EXPECT_EQ(JSysError(socketErrorCode(ENOENT), "bind").message(),
            std::string("system call error at function 'bind' : ") + std::strerror(ENOENT));
}

TEST(SocketLayer, UsersAreCountedAcrossThreadsAndTheFirstAndLastLogged) {
  while (JSocketLayer::users() > 0) {
    JSocketLayer::stop();
  }
  EXPECT_FALSE(JSocketLayer::stop());
  LogCapture log;
  {
    JSocketLayer::Holder outer, inner;
    EXPECT_EQ(JSocketLayer::users(), 2);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 2000; ++i) {
          JSocketLayer::start();
          JSocketLayer::stop();
        }
      });
    }
  }
  EXPECT_EQ(JSocketLayer::users(), 0);
  EXPECT_EQ(levelOf(log, "Socket layer started"), 3);
  EXPECT_EQ(levelOf(log, "Socket layer stopped"), 3);
}

TEST(SocketLayer, DescriptorLimitIsRaisedToTheHardLimitAndLogged) {
  LogCapture log;
  const DescriptorLimit lowered(32);
  ASSERT_TRUE(lowered.ok());
  JSocketLayer::raiseDescriptorLimit();
  rlimit now{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, now.rlim_max);
  const auto hard = static_cast<unsigned long long>(now.rlim_max);
  EXPECT_EQ(levelOf(log, "Descriptor limit raised from 32 to " + std::to_string(hard) + "."), 3);
}

}  // namespace
}  // namespace zq
