#include "helpers/aam/test_aam.h"

#include <chrono>
#include <functional>

#include "rpc/params.h"
#include "rpc/rpc_service.h"

namespace zq::test {

class TestAAM::Service : public JRPCService {
 public:
  Service(TestAAM& aam, uint16_t port) : JRPCService(port, false, nullptr, "TestAAM"), aam_(aam) {
    registerFunctions();
    start();
  }
  ~Service() override { shutdown(); }

  void registerFunctions() override {
    std::vector<Function> table;
    for (std::string name : {"setNetSource", "setHardSource", "setFileSource", "resetSource",
                             "setParams", "getParams", "getStat"}) {
      table.push_back({name, JRPCKind::kAnswer, std::bind_front(&Service::answer, this, name)});
    }
    JRPCServer::registerFunctions(std::move(table));
  }

  std::unique_ptr<JParams> dispatch(std::string_view line, JSocket& socket) override {
    std::unique_lock lock(aam_.mutex_);
    aam_.requests_.emplace_back(line);
    lock.unlock();
    return JRPCService::dispatch(line, socket);
  }

 private:
  // The getters need their "nop"; setParams keeps its values for getParams.
  void answer(const std::string& function, JParams& request, JParams* result, JSocket&) {
    int32_t nop = 0;
    if (function.starts_with("get")) {
      request.get("nop", nop, true);
    }
    std::unique_lock lock(aam_.mutex_);
    if (aam_.stalling_) {
      ++aam_.stalled_;
      aam_.released_.wait_for(lock, std::chrono::seconds(30), [&] { return !aam_.stalling_; });
      --aam_.stalled_;
    }
    if (function == "setParams") {
      for (const JVariant& value : request) {
        params_.add(std::make_unique<JVariant>(value));
      }
    } else if (function == "getParams") {
      result->set("Type", "Audio");
      result->set("ServerMode", "LIVE");
      for (const JVariant& value : params_) {
        result->add(std::make_unique<JVariant>(value));
      }
    } else if (function == "getStat") {
      result->set("requests", static_cast<int64_t>(aam_.requests_.size()));
      result->set("playing", true);
    }
  }

  TestAAM& aam_;
  JParams params_;  // guarded by aam_.mutex_
};

TestAAM::TestAAM(uint16_t port) : service_(std::make_unique<Service>(*this, port)) {
  port_ = service_->port();
}

TestAAM::~TestAAM() {
  stop();
}

void TestAAM::stop() {
  release();
  service_.reset();
}

void TestAAM::restart() {
  if (!service_) {
    service_ = std::make_unique<Service>(*this, port_);
  }
}

size_t TestAAM::connectionCount() const {
  return service_ ? service_->connectionCount() : 0;
}

std::vector<std::string> TestAAM::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> TestAAM::requests(const std::string& function) const {
  std::vector<std::string> lines = requests();
  std::erase_if(lines, [&](const std::string& line) { return !line.starts_with(function + "("); });
  return lines;
}

void TestAAM::stall() {
  std::lock_guard lock(mutex_);
  stalling_ = true;
}

void TestAAM::release() {
  std::lock_guard lock(mutex_);
  stalling_ = false;
  released_.notify_all();
}

}  // namespace zq::test
