// The RPC client and controller against the system's own RPC service: calls
// and their answers, the service's failures, the keep-alive, and a service
// that goes away and comes back on the same port.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "helpers/log_capture.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_controller.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_server.h"
#include "rpc/rpc_service.h"

namespace zq {
namespace {

using test::RecordingNotify;

// A parameter service: getParams answers its twenty parameters, setParams
// stores what it gets, tell is one-way.
class ParamService : public JRPCService {
 public:
  explicit ParamService(uint16_t port = 0) : JRPCService(port, false, nullptr, "ParamService") {
    for (int i = 0; i < 20; ++i) {
      params_.set("param" + std::to_string(i), "value " + std::to_string(i));
    }
    registerFunctions();
    start();
  }
  ~ParamService() override { shutdown(); }

  void registerFunctions() override {
    static const JRPCFunction<ParamService> kFunctions[] = {
        {"getParams", &ParamService::getParams},
        {"setParams", &ParamService::setParams},
        {"tell", &ParamService::tell},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  std::string paramsText() {
    std::lock_guard lock(mutex_);
    return params_.toString();
  }
  std::vector<std::string> told() {
    std::lock_guard lock(mutex_);
    return told_;
  }

 private:
  void getParams(const JParams& request, JParams& result) {
    int32_t nop = -1;
    request.get("nop", nop, true);
    std::lock_guard lock(mutex_);
    for (const JVariant& value : params_) {
      result.add(std::make_unique<JVariant>(value));
    }
  }
  void setParams(const JParams& request, JParams&) {
    std::lock_guard lock(mutex_);
    for (const JVariant& value : request) {
      params_.add(std::make_unique<JVariant>(value));
    }
  }
  void tell(const JParams& request, JSocket&) {
    std::lock_guard lock(mutex_);
    told_.push_back(request.toString());
  }

  std::mutex mutex_;
  JParams params_;
  std::vector<std::string> told_;
};

std::unique_ptr<JRPCClientNotify> clientTo(uint16_t port, JRPCNotify* listener = nullptr,
                                           int32_t pingPeriod = 0) {
  return std::make_unique<JRPCClientNotify>(listener, "127.0.0.1", port, 2000, 2000, true, true, 0,
                                            pingPeriod, true, true, nullptr, "service client");
}

TEST(RpcClientWithService, CallsGetTheServicesAnswers) {
  ParamService service;
  auto client = clientTo(service.port());
  const JVariant nop("nop", int32_t{0});
  JParams params = client->call("getParams", &nop, 2000);
  EXPECT_EQ(params.size(), 20u);
  std::string value;
  EXPECT_TRUE(params.get("param7", value, true));
  EXPECT_EQ(value, "value 7");
  EXPECT_EQ(client->callForText("getParams", &nop, 2000), service.paramsText());

  EXPECT_TRUE(client->call("setParams", "param7=\"seven\", extra=3", 2000).empty());
  const JVariant tell("what", "news");
  client->notify("tell", &tell);
  params = client->call("getParams", std::vector<JVariant>{JVariant("nop", int32_t{0})}, 2000);
  EXPECT_TRUE(params.get("param7", value, true));
  EXPECT_EQ(value, "seven");
  EXPECT_EQ(params.size(), 21u);
  EXPECT_EQ(service.told(), std::vector<std::string>{"what=\"news\""});
}

TEST(RpcClientWithService, TheServicesFailuresAreTextErrorsAndTheLinkStays) {
  ParamService service;
  auto client = clientTo(service.port());
  try {
    client->call("getParamz", std::string_view(), 2000);
    FAIL() << "an unknown function answered";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "FAILED ProtocolError: unknown function 'getParamz'");
  }
  try {
    client->call("getParams", std::string_view(), 2000);
    FAIL() << "a missing parameter passed";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "FAILED RPCMissingParameter: 'nop'");
  }
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(client->call("getParams", "nop=0", 2000).size(), 20u);
}

TEST(RpcClientWithService, TheKeepAliveHoldsAndALostServiceIsFoundAndRegained) {
  auto service = std::make_unique<ParamService>();
  const uint16_t port = service->port();
  RecordingNotify listener;
  auto client = clientTo(port, &listener, 300);
  // Two PING rounds without a loss.
  std::this_thread::sleep_for(std::chrono::milliseconds(2300));
  EXPECT_TRUE(client->isConnected());
  EXPECT_TRUE(listener.events().empty());

  service.reset();
  ASSERT_TRUE(listener.waitFor("down", 1));
  EXPECT_EQ(listener.events()[0], "down:Connection Lost");
  EXPECT_FALSE(client->isConnected());

  service = std::make_unique<ParamService>(port);
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(client->call("getParams", "nop=0", 2000).size(), 20u);
  EXPECT_EQ(listener.countOf("down"), 1u);
}

TEST(RpcControllerWithService, GetParamsAndSetParams) {
  ParamService service;
  JRPCController controller(nullptr, service.port(), "127.0.0.1", 2000, true);
  ASSERT_EQ(controller.connect(), 0);
  std::string text;
  ASSERT_EQ(controller.getParams(text), 0);
  EXPECT_EQ(text, service.paramsText());
  ASSERT_EQ(controller.setParams("param0=\"zero\""), 0);
  ASSERT_EQ(controller.getParams(text), 0);
  EXPECT_NE(text.find("param0=\"zero\""), std::string::npos);
}

}  // namespace
}  // namespace zq
