// The console's state and what it does with the control: one thread of its
// own creates the control (through the shared host code) and is the only
// one that calls it; it also keeps the managed outputs (their list lives in
// the registry, so that a restarted console reconnects them), rehashes
// those whose link is down, polls their statistics, and hands every event
// to the pages that subscribed. Push-to-talk feeds the host-fed wave-input
// device of the control's library and switches the group to the local AAM
// on the first chunk, back to what the console had set on release.
//
// Concurrency: post() and sync() from any thread; the members marked
// "control thread" only from a task they run. subscribe/unsubscribe and the
// talk calls from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/apartment.h"
#include "host/control_host.h"
#include "zqweb/api.h"

namespace zq::zqweb {

struct ConsoleSettings {
  std::string library;
  /// Where the managed outputs are kept (under HKEY_LOCAL_MACHINE).
  std::string registryKey = "SOFTWARE\\Quorvanta\\WebConsole";
  /// Down outputs are rehashed this often; 0 for never.
  std::chrono::milliseconds rehashPeriod{10000};
  std::chrono::milliseconds statsPeriod{2000};
  /// The local AAM a talk opens, and how the outputs reach it.
  int32_t aamPort = 10001;
  std::string aamAddress = "127.0.0.1";
  std::string talkProtocol = "udp";
  int32_t bitRate = 128000;
  /// The wave-input device fed by the talks (from 1); 0: the first
  /// "host" device of the list, which is added when there is none.
  uint32_t hostDevice = 0;
};

/// One managed output as the console knows it.
struct OutputState {
  std::string name;
  std::string server;
  int32_t port = 0;
  std::string link = "connecting";  // "up", "down", "connecting"
  std::string error;                 // the last LinkDown's text
  json params;                       // the last GetParamsOf, as an object
  json stats;                        // the last GetStatOf, as an object
};

class Console {
 public:
  using Sender = std::function<void(std::string message)>;

  /// Starts the control thread and creates the control there; throws
  /// JTextError with the reason when it cannot.
  explicit Console(ConsoleSettings settings);
  /// Stops the thread, which releases the control.
  ~Console();
  /// The same before destruction: later tasks are dropped, no more events
  /// go out, and the talk calls, subscribe and unsubscribe stay harmless.
  void stop();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  /// Queues `task` for the control thread; dropped once it has stopped.
  void post(std::function<void()> task);
  /// Runs `task` on the control thread and waits for its result. Not on
  /// the control thread. Throws std::future_error when the console stopped
  /// before it ran.
  template <class F>
  auto sync(F&& task) -> decltype(task()) {
    using R = decltype(task());
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    post([promise, &task] {
      try {
        if constexpr (std::is_void_v<R>) {
          task();
          promise->set_value();
        } else {
          promise->set_value(task());
        }
      } catch (...) {
        promise->set_exception(std::current_exception());
      }
    });
    return future.get();
  }

  // Control thread.
  host::ControlHost& host() { return *host_; }
  /// POST /api/call: {"result": ...} or the refusal.
  std::variant<json, ApiError> call(const json& body);
  json outputs() const;
  /// POST /api/outputs {"server", "port"}: the new output's state.
  std::variant<json, ApiError> addOutput(const json& body);
  /// DELETE /api/outputs/NAME.
  std::optional<ApiError> removeOutput(const std::string& name);
  /// Rehash one output, or all with an empty name.
  std::optional<ApiError> rehash(const std::string& name);
  /// The local AAM and the talk: {"aam": {"port", "board", "hostDevice"},
  /// "talking": bool, "source": the source the console set, or null}.
  json state();
  /// Polls every output's link, parameters and statistics now and sends
  /// them to the pages.
  void pollOutputs();

  /// Any thread. `send` gets every event message as text until
  /// unsubscribed, on the control thread; the first is a snapshot.
  uint64_t subscribe(Sender send);
  void unsubscribe(uint64_t id);

  /// Any thread. A talker starts: nullopt, or why not (another talks, a
  /// format the console cannot take). `onLive` runs on the control thread
  /// once the group plays the talk.
  std::optional<std::string> beginTalk(uint64_t talker, uint32_t rate, uint32_t channels,
                                       std::function<void()> onLive);
  /// 16-bit little-endian PCM of the talker's; ignored from anyone else.
  void talkChunk(uint64_t talker, const uint8_t* bytes, size_t size);
  /// The talker stops (released, closed or dropped); nothing for anyone else.
  void endTalk(uint64_t talker);
  /// Any thread: whether someone talks.
  bool talking() const;

 private:
  struct Talk;

  void run(std::promise<void>& started);
  bool stopped() const;
  void setUp();
  void onEvent(const host::Event& event);
  void broadcast(const json& message);
  // Control thread: host calls with their result codes.
  int32_t callInt(const std::string& member, std::vector<host::Value> args);
  std::string callText(const std::string& member, std::vector<host::Value> args);
  void restoreOutputs();
  void saveOutput(const OutputState& output);
  void forgetOutput(const std::string& name);
  uint32_t findHostDevice();
  void goLive(uint64_t talker);
  void goBack();
  void rememberSource(const host::Call& call, const std::vector<host::Output>& outs);

  const ConsoleSettings settings_;
  std::unique_ptr<host::ControlHost> host_;  // control thread
  std::shared_ptr<com::JApartment> apartment_;
  std::thread thread_;

  mutable std::mutex postMutex_;
  bool accepting_ = false;  // guarded by postMutex_
  bool stopping_ = false;   // guarded by postMutex_

  // Control thread.
  std::map<std::string, OutputState> outputs_;
  std::optional<host::Call> source_;      // the last source the console set
  std::optional<host::Call> openedAAM_;   // the last OpenLocalAAM through the console
  uint32_t hostDevice_ = 0;
  bool live_ = false;                     // the group plays the talk
  bool pendingBack_ = false;              // a release waits for its grace
  std::chrono::steady_clock::time_point backAt_{};

  std::mutex subscribersMutex_;
  std::map<uint64_t, Sender> subscribers_;  // guarded by subscribersMutex_
  uint64_t nextSubscriber_ = 1;             // guarded by subscribersMutex_

  std::unique_ptr<Talk> talk_;
  int (*hostWrite_)(const int16_t*, uint32_t, uint32_t, uint32_t) = nullptr;
  uint32_t (*hostEnd_)() = nullptr;
};

}  // namespace zq::zqweb
