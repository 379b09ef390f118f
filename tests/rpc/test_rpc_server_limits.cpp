// The RPC service against peers and conditions that would wear it down: a
// request line past the cap (and the cap read from the registry), and the
// process running out of descriptors while connections arrive.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/registry_key.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "test_rpc_server_fixture.h"

namespace zq::test {
namespace {

constexpr uint32_t kErrorLevel = 1u << kLevelError;
constexpr size_t kMiB = size_t{1} << 20;
constexpr uint32_t kConnectionReset = JSysError::kSocketTag | 10054;

// A request the service answers "OK " whatever its length (at least 11).
std::string requestOfLength(size_t length) {
  return "empty(s=\"" + std::string(length - 11, 'a') + "\")";
}

// The answer to `bytes`, or "<closed>" when the server closed the connection
// instead (an orderly close or a reset: it closes with the rest unread).
std::string answerOrClosed(LineClient& client, const std::string& bytes) {
  try {
    client.socket().writeAll(bytes.data(), bytes.size());
  } catch (const JSysError&) {
    // Closed before all was sent; the read below tells how.
  }
  try {
    return client.receive().value_or("<closed>");
  } catch (const JSysError& e) {
    if (e.code() == kConnectionReset) {
      return "<closed>";
    }
    throw;
  }
}

void setRegistryCap(std::optional<uint32_t> value) {
  if (value) {
    JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC")
        .setDword("MaxRequestLineSize", *value);
  }
}

// ---- request line cap -------------------------------------------------------------

struct CapCase {
  const char* what;
  std::optional<uint32_t> registryValue;  // none: the value is absent
  size_t expectedCap;
  size_t lineLength;
  bool served;
};

void PrintTo(const CapCase& c, std::ostream* os) {
  *os << c.what;
}

class RpcRequestLineCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(RpcRequestLineCap, LineUpToTheCapIsServedALongerOneClosesTheConnection) {
  const CapCase& c = GetParam();
  LogCapture log(kErrorLevel);  // also the registry of this case
  setRegistryCap(c.registryValue);
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  EXPECT_EQ(service.maxRequestLineSize(), c.expectedCap);

  LineClient client(service.port());
  const std::string answer = answerOrClosed(client, requestOfLength(c.lineLength) + "\r\n");
  if (c.served) {
    EXPECT_EQ(answer, "OK ");
    EXPECT_EQ(client.call("echo(a=1)"), "OK a=1");
    EXPECT_EQ(log.count("longer than"), 0u);
  } else {
    EXPECT_EQ(answer, "<closed>");
    ASSERT_TRUE(service.closed_.waitFor(1));
    EXPECT_TRUE(eventually([&] { return service.connectionCount() == 0; }));
    EXPECT_EQ(log.count("Request line from 127.0.0.1:" + std::to_string(client.localPort()) +
                        " longer than " + std::to_string(c.expectedCap) + " bytes"),
              1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RpcRequestLineCap,
    ::testing::Values(CapCase{"DefaultCapExactly", std::nullopt, kMiB, kMiB, true},
                      CapCase{"DefaultCapExceeded", std::nullopt, kMiB, kMiB + 1, false},
                      CapCase{"ZeroMeansNoCap", 0u, 0, 3 * kMiB, true},
                      CapCase{"RegistryCapExactly", 4096u, 4096, 4096, true},
                      CapCase{"RegistryCapExceeded", 4096u, 4096, 4097, false}),
    [](const ::testing::TestParamInfo<CapCase>& param) { return std::string(param.param.what); });

TEST(RpcRequestLineCapFlood, OnlyTheFloodingConnectionIsClosed) {
  LogCapture log(kErrorLevel);
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;
  LineClient good(service.port());
  LineClient flooder(service.port());
  EXPECT_EQ(good.call("echo(a=1)"), "OK a=1");

  // Far more than the cap, never a line feed.
  EXPECT_EQ(answerOrClosed(flooder, std::string(8 * kMiB, 'x')), "<closed>");
  ASSERT_TRUE(service.closed_.waitFor(1));
  EXPECT_EQ(good.call("echo(a=2)"), "OK a=2");
  EXPECT_EQ(service.connectionCount(), 1u);
  EXPECT_EQ(service.closedSockets().size(), 1u);
  EXPECT_EQ(log.count("longer than"), 1u);
  EXPECT_EQ(log.count(std::to_string(flooder.localPort())), 1u);
}

// ---- descriptor exhaustion --------------------------------------------------------

// The parameter: descriptors left free when the clients connect. Neighbouring
// values make the last one run out at different points of the accept loop
// (the accepted socket, the spare descriptor taken back).
class RpcDescriptorExhaustion : public ::testing::TestWithParam<int> {};

TEST_P(RpcDescriptorExhaustion, AcceptingGoesOnOnceDescriptorsAreBack) {
  LogCapture log(kErrorLevel);
  const auto serviceOwner = std::make_unique<TestService>();
  TestService& service = *serviceOwner;

  // The clients' sockets exist before the limit: only the server's side of
  // each connection needs a descriptor from now on.
  constexpr int kClients = 40;
  std::vector<std::unique_ptr<JLineIO>> clients;
  std::vector<JTCPSocket*> sockets;
  for (int i = 0; i < kClients; ++i) {
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(kWaitMs);
    socket->setReadTimeout(kWaitMs);
    socket->setWriteTimeout(kWaitMs);
    sockets.push_back(socket.get());
    clients.push_back(std::make_unique<JLineIO>(std::move(socket)));
  }
  {
    DescriptorLimit limit(limitLeaving(GetParam()));
    ASSERT_TRUE(limit.ok());
    for (JTCPSocket* socket : sockets) {
      socket->connect(JInetAddr("127.0.0.1", service.port()));
    }
    // Each connection is served or refused (closed at once); none is left
    // waiting.
    int served = 0;
    int refused = 0;
    for (auto& client : clients) {
      std::string_view line;
      try {
        client->writeLine("echo(a=1)");
        if (client->readLine(line) && line == "OK a=1") {
          ++served;
          continue;
        }
      } catch (const JSysError& e) {
        ASSERT_EQ(e.code(), kConnectionReset) << e.message();
      }
      ++refused;
    }
    EXPECT_GE(served, 1);
    EXPECT_GE(refused, 2);
    EXPECT_EQ(log.count("Not accepting connections on port"), 1u);
    EXPECT_EQ(log.count("Could not accept connection"), 0u);

    clients.clear();
    ASSERT_TRUE(eventually([&] { return service.connectionCount() == 0; }));
    LineClient late(service.port());
    try {
      EXPECT_EQ(late.call("echo(a=2)"), "OK a=2");
    } catch (const JError& e) {
      FAIL() << "a new client is not served: " << e.message();
    }
  }
  ASSERT_TRUE(log.waitFor("Accepting connections on port"));
  EXPECT_EQ(log.count("Not accepting connections on port"), 1u);
  unsigned long long attempts = 0;
  unsigned long long refusedLogged = 0;
  for (const LogCapture::Record& r : log.records()) {
    const size_t at = r.text.find(" again after ");
    if (at != std::string::npos) {
      ASSERT_EQ(std::sscanf(r.text.c_str() + at, " again after %llu failed attempts; %llu",
                            &attempts, &refusedLogged),
                2);
    }
  }
  EXPECT_GE(attempts, 2u);
  EXPECT_GE(refusedLogged, 2u);
}

INSTANTIATE_TEST_SUITE_P(FreeDescriptors, RpcDescriptorExhaustion, ::testing::Values(12, 13, 14));

}  // namespace
}  // namespace zq::test
