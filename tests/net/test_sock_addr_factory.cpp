// The URL forms of configuration texts and the errors of malformed ones.
#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "net/inet_addr.h"
#include "net/rtsp_addr.h"
#include "net/sock_addr_factory.h"

namespace zq {
namespace {

std::string errorOf(const std::string& url) {
  try {
    (void)createSockAddr(url);
  } catch (const JTextError& e) {
    return e.message();
  }
  return "(no error)";
}

TEST(UrlForms, UdpAndTcpGiveHostAndPort) {
  const auto udp = createSockAddr("udp://10.20.30.40:5004");
  ASSERT_NE(dynamic_cast<JInetAddr*>(udp.get()), nullptr);
  EXPECT_EQ(udp->text(), "10.20.30.40:5004");
  const auto tcp = createSockAddr("tcp://127.0.0.1:80");
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->text(), "127.0.0.1:80");
}

TEST(UrlForms, HostNamesAreResolved) {
  const auto tcp = createSockAddr("tcp://localhost:8000");
  const auto* inet = dynamic_cast<JInetAddr*>(tcp.get());
  ASSERT_NE(inet, nullptr);
  EXPECT_EQ(ntohl(inet->address().s_addr) >> 24, 127u);
  EXPECT_EQ(inet->port(), 8000);
}

TEST(UrlForms, PortMayHaveLeadingZeros) {
  EXPECT_EQ(createSockAddr("udp://127.0.0.1:000080")->text(), "127.0.0.1:80");
  EXPECT_EQ(createSockAddr("rtsp://127.0.0.1:0000065535/a.mp3")->text(), "127.0.0.1:65535");
}

TEST(UrlForms, IpmqTakesTheRestAsHostWithPortZero) {
  const auto ipmq = createSockAddr("ipmq://239.1.1.1");
  ASSERT_NE(ipmq, nullptr);
  EXPECT_EQ(ipmq->text(), "239.1.1.1:0");
}

TEST(UrlForms, RtspWithPortGivesPortAndMediaFile) {
  const auto rtsp = createSockAddr("rtsp://10.0.0.7:8554/live/cam1.mp3");
  const auto* address = dynamic_cast<JRTSPAddr*>(rtsp.get());
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(address->text(), "10.0.0.7:8554");
  EXPECT_EQ(address->mediaFile(), "live/cam1.mp3");
}

TEST(UrlForms, RtspWithoutPortUses554) {
  const auto rtsp = createSockAddr("rtsp://10.0.0.7/cam1.mp3");
  const auto* address = dynamic_cast<JRTSPAddr*>(rtsp.get());
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(address->port(), 554);
  EXPECT_EQ(address->mediaFile(), "cam1.mp3");
}

TEST(UrlForms, SvcGivesNoAddress) {
  EXPECT_EQ(createSockAddr("svc://47.0005.80ffe1000000f21a26d8.0020481a26d8.00"), nullptr);
  EXPECT_EQ(createSockAddr("svc://"), nullptr);
}

TEST(UrlErrors, IpFormsNeedADecimalPort) {
  EXPECT_EQ(errorOf("tcp://127.0.0.1"), "bad ip url format");
  EXPECT_EQ(errorOf("udp://127.0.0.1:port"), "bad ip url format");
  EXPECT_EQ(errorOf("udp://127.0.0.1:"), "bad ip url format");
  EXPECT_EQ(errorOf("udp://127.0.0.1:12x"), "bad ip url format");
  EXPECT_EQ(errorOf("udp://127.0.0.1:-1"), "bad ip url format");
  EXPECT_EQ(errorOf("tcp://127.0.0.1:65536"), "bad ip url format");
  EXPECT_EQ(errorOf("tcp://127.0.0.1:99999999999999999999"), "bad ip url format");
}

TEST(UrlErrors, RtspNeedsASlashAndADecimalPort) {
  EXPECT_EQ(errorOf("rtsp://10.0.0.7:554"), "bad rtsp url format, missing mediafile");
  EXPECT_EQ(errorOf("rtsp://10.0.0.7:abc/file"), "bad ip url format");
}

TEST(UrlErrors, SchemeIsCaseSensitiveAndMustBeKnown) {
  EXPECT_EQ(errorOf("UDP://127.0.0.1:5"), "unknown url type");
  EXPECT_EQ(errorOf("http://127.0.0.1:80"), "unknown url type");
  EXPECT_EQ(errorOf("udp:/127.0.0.1:5"), "unknown url type");
  EXPECT_EQ(errorOf(""), "unknown url type");
}

}  // namespace
}  // namespace zq
