// What the controller and group tests share: a listener that records link
// events by controller name, with the RPC client tests' loopback helpers.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/error.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_notify.h"

namespace zq::test {

/// Records "up <context>" and "down <context>: <message>" for each event.
template <typename Context>
class RecordingListener : public JRPCNotifyWithContext<Context> {
 public:
  void linkUp(Context context) override { add("up " + label(context)); }
  void linkDown(Context context, JError* error) override {
    add("down " + label(context) + ": " + (error ? error->message() : std::string("(none)")));
  }

  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  size_t count(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const std::string& e : events_) {
      n += e.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }
  bool waitFor(const std::string& prefix, size_t n, int limitMs = 10000) const {
    return eventually([&] { return count(prefix) >= n; }, limitMs);
  }

 private:
  static std::string label(const std::string& name) { return name; }
  template <typename T>
  static std::string label(T*) {
    return "controller";
  }
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace zq::test
