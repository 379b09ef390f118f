// The tests' audio access manager, built on the RPC service classes.
#include "helpers/aam/test_aam.h"

#include <chrono>

#include "base/error.h"
#include "rpc/params.h"
#include "rpc/rpc_service.h"

namespace zq::test {

class TestAAM::Service : public JRPCService {
 public:
  Service(TestAAM& owner, uint16_t port)
      : JRPCService(port, false, nullptr, "TestAAM"), owner_(owner) {
    registerFunctions();
    start();
  }
  ~Service() override { shutdown(); }

  void registerFunctions() override {
    static const JRPCFunction<Service> kFunctions[] = {
        {"setNetSource", &Service::command},  {"setHardSource", &Service::command},
        {"setFileSource", &Service::command}, {"resetSource", &Service::command},
        {"setParams", &Service::setParams},   {"getParams", &Service::getParams},
        {"getStat", &Service::getStat},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  std::unique_ptr<JParams> dispatch(std::string_view line, JSocket& socket) override {
    owner_.record(std::string(line));
    return JRPCService::dispatch(line, socket);
  }

 private:
  void answer() {
    owner_.stallIfAsked();
    if (owner_.failing_) {
      throw JTextError("test AAM told to fail");
    }
  }

  void command(const JParams&, JParams&) { answer(); }

  void setParams(const JParams& request, JParams&) {
    answer();
    std::lock_guard lock(mutex_);
    for (const JVariant& value : request) {
      params_.add(std::make_unique<JVariant>(value));
    }
  }

  void getParams(const JParams& request, JParams& result) {
    int32_t nop = 0;
    request.get("nop", nop, true);
    answer();
    result.set("Type", "Audio");
    result.set("ServerMode", "LIVE");
    std::lock_guard lock(mutex_);
    for (const JVariant& value : params_) {
      result.add(std::make_unique<JVariant>(value));
    }
  }

  void getStat(const JParams& request, JParams& result) {
    int32_t nop = 0;
    request.get("nop", nop, true);
    answer();
    result.set("requests", static_cast<int64_t>(owner_.requests().size()));
    result.set("playing", true);
  }

  TestAAM& owner_;
  std::mutex mutex_;
  JParams params_;  // guarded by mutex_
};

TestAAM::TestAAM(uint16_t port) : port_(port) {
  service_ = std::make_unique<Service>(*this, port);
  port_ = service_->port();
}

TestAAM::~TestAAM() {
  release();
  service_.reset();
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

bool TestAAM::running() const {
  return service_ != nullptr;
}

size_t TestAAM::connectionCount() const {
  return service_ ? service_->connectionCount() : 0;
}

void TestAAM::record(std::string line) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(line));
  changed_.notify_all();
}

std::vector<std::string> TestAAM::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> TestAAM::requests(const std::string& function) const {
  std::vector<std::string> out;
  for (std::string& line : requests()) {
    if (line.compare(0, function.size() + 1, function + "(") == 0) {
      out.push_back(std::move(line));
    }
  }
  return out;
}

bool TestAAM::waitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}

void TestAAM::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void TestAAM::stall(int maxStallMs) {
  std::lock_guard lock(mutex_);
  stalling_ = true;
  maxStallMs_ = maxStallMs;
}

void TestAAM::release() {
  std::lock_guard lock(mutex_);
  stalling_ = false;
  changed_.notify_all();
}

void TestAAM::stallIfAsked() {
  std::unique_lock lock(mutex_);
  if (!stalling_) {
    return;
  }
  ++stalled_;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::milliseconds(maxStallMs_), [&] { return !stalling_; });
  --stalled_;
}

}  // namespace zq::test
