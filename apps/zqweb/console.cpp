// The console's control thread, its outputs, events and talks (console.h).
#include "zqweb/console.h"

#include <strings.h>

#include <algorithm>

#include "audio/wavein_host.h"
#include "base/error.h"
#include "base/log.h"
#include "base/registry_key.h"

namespace zq::zqweb {

using Clock = std::chrono::steady_clock;

namespace {

// After a release the talk's tail is still in the pipeline (the device's
// queue, the encoder, the outputs' jitter buffers): the group goes back
// once it has played out.
constexpr std::chrono::milliseconds kReleaseGrace{600};
// What a talk buffers before the group plays it (a first chunk waits for
// the switch): at most this much, the oldest dropped beyond.
constexpr size_t kMaxPendingMs = 1000;

const char* linkName(int32_t status) {
  return status == 2 ? "up" : status == 1 ? "connecting" : "down";
}

bool isSourceMember(const std::string& name) {
  for (const char* m : {"SetNetSource", "SetFileSource", "SetHardSource", "ResetSource"}) {
    if (::strcasecmp(name.c_str(), m) == 0) {
      return true;
    }
  }
  return false;
}

bool named(const std::string& name, const char* member) {
  return ::strcasecmp(name.c_str(), member) == 0;
}

json outputJson(const OutputState& o) {
  return {{"name", o.name},   {"server", o.server}, {"port", o.port},  {"link", o.link},
          {"error", o.error}, {"params", o.params}, {"stats", o.stats}};
}

}  // namespace

struct Console::Talk {
  std::mutex mutex;
  uint64_t talker = 0;  // 0: nobody talks
  uint64_t generation = 0;
  uint32_t rate = 0;
  uint32_t channels = 0;
  bool switching = false;  // the first chunk came: the switch is queued
  bool ready = false;      // chunks go straight to the device
  std::vector<int16_t> pending;
  std::function<void()> onLive;
};

Console::Console(ConsoleSettings settings)
    : settings_(std::move(settings)), talk_(std::make_unique<Talk>()) {
  std::promise<void> started;
  auto done = started.get_future();
  thread_ = std::thread([this, &started] { run(started); });
  try {
    done.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

Console::~Console() {
  stop();
}

void Console::stop() {
  {
    std::lock_guard lock(postMutex_);
    stopping_ = true;
    if (accepting_) {
      apartment_->post([] {});  // wakes the thread's wait
    }
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard lock(subscribersMutex_);
  subscribers_.clear();
}

void Console::post(std::function<void()> task) {
  std::lock_guard lock(postMutex_);
  if (accepting_) {
    apartment_->post(std::move(task));
  }
}

void Console::run(std::promise<void>& started) {
  try {
    host_ = std::make_unique<host::ControlHost>(
        settings_.library, [this](const host::Event& event) { onEvent(event); });
    apartment_ = com::JApartment::current();
    setUp();
  } catch (const JError& e) {
    host_.reset();
    started.set_exception(std::make_exception_ptr(JTextError(e.message())));
    return;
  }
  {
    std::lock_guard lock(postMutex_);
    accepting_ = true;
  }
  started.set_value();

  auto nextStats = Clock::now() + settings_.statsPeriod;
  auto nextRehash = Clock::now() + settings_.rehashPeriod;
  for (;;) {
    {
      std::lock_guard lock(postMutex_);
      if (stopping_) {
        accepting_ = false;
        break;
      }
    }
    auto now = Clock::now();
    if (now >= nextStats) {
      pollOutputs();
      nextStats = now + settings_.statsPeriod;
    }
    if (settings_.rehashPeriod.count() > 0 && now >= nextRehash) {
      for (const auto& [name, output] : outputs_) {
        if (output.link == "down") {
          callInt("Rehash", {name});
        }
      }
      nextRehash = now + settings_.rehashPeriod;
    }
    if (pendingBack_ && now >= backAt_) {
      pendingBack_ = false;
      goBack();
    }
    auto wake = nextStats;
    if (settings_.rehashPeriod.count() > 0) {
      wake = std::min(wake, nextRehash);
    }
    if (pendingBack_) {
      wake = std::min(wake, backAt_);
    }
    now = Clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    com::waitApartmentMessages(static_cast<int>(std::clamp<int64_t>(ms, 0, 1000)));
  }
  // Tasks queued before the stop run here; any later are dropped by post().
  com::pumpApartmentMessages();
  {
    std::lock_guard lock(talk_->mutex);
    if (talk_->talker != 0 && hostEnd_ != nullptr) {
      hostEnd_();
    }
    talk_->talker = 0;
  }
  host_.reset();
}

void Console::setUp() {
  hostWrite_ = reinterpret_cast<ZQWaveInHostWriteFn>(host_->entryPoint(kWaveInHostWriteName));
  hostEnd_ = reinterpret_cast<ZQWaveInHostEndFn>(host_->entryPoint(kWaveInHostEndName));
  hostDevice_ = settings_.hostDevice != 0 ? settings_.hostDevice : findHostDevice();
  restoreOutputs();
}

// The first "host" device of the list; one is added at its end when there
// is none (with the list's defaults written out first when it was empty,
// so that their numbers stay).
uint32_t Console::findHostDevice() {
  JSystemRegistryKey root(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn");
  const std::vector<std::string> names = root.enumSubKeys();
  auto present = [&names](const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&name](const std::string& n) {
      return ::strcasecmp(n.c_str(), name.c_str()) == 0;
    });
  };
  uint32_t number = 1;
  for (; present("Device" + std::to_string(number)); ++number) {
    JSystemRegistryKey device;
    device.openSubKey(root, "Device" + std::to_string(number));
    std::string type;
    if (device.getString("Type", type) && ::strcasecmp(type.c_str(), "host") == 0) {
      return number;
    }
  }
  if (number == 1) {
    JSystemRegistryKey tone;
    tone.openSubKey(root, "Device1");
    tone.setString("Type", "tone");
    JSystemRegistryKey alsa;
    alsa.openSubKey(root, "Device2");
    alsa.setString("Type", "alsa");
    number = 3;
  }
  JSystemRegistryKey device;
  device.openSubKey(root, "Device" + std::to_string(number));
  device.setString("Type", "host");
  JLog::logf(kLevelInfo, "zqweb: wave-input device %u added, fed by the console's talks", number);
  return number;
}

void Console::restoreOutputs() {
  JSystemRegistryKey list(HKEY_LOCAL_MACHINE, settings_.registryKey + "\\Outputs");
  for (const std::string& name : list.enumSubKeys()) {
    JSystemRegistryKey key;
    key.openSubKey(list, name);
    std::string server;
    uint32_t port = 0;
    if (!key.getString("Server", server) || !key.getDword("Port", port)) {
      continue;
    }
    addOutput({{"server", server}, {"port", port}});
  }
}

void Console::saveOutput(const OutputState& output) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, settings_.registryKey + "\\Outputs\\" + output.name);
  key.setString("Server", output.server);
  key.setDword("Port", static_cast<uint32_t>(output.port));
}

void Console::forgetOutput(const std::string& name) {
  JSystemRegistryKey list(HKEY_LOCAL_MACHINE, settings_.registryKey + "\\Outputs");
  list.deleteKey(name);
}

int32_t Console::callInt(const std::string& member, std::vector<host::Value> args) {
  std::vector<host::Output> outs;
  std::string error;
  if (host_->invoke({member, std::move(args)}, outs, error) != host::ControlHost::Outcome::kDone) {
    JLog::logf(kLevelError, "zqweb: %s", error.c_str());
    return -1;
  }
  return outs.empty() ? 0 : static_cast<int32_t>(jsonFromVariant(outs[0].value).get<int64_t>());
}

std::string Console::callText(const std::string& member, std::vector<host::Value> args) {
  std::vector<host::Output> outs;
  std::string error;
  if (host_->invoke({member, std::move(args)}, outs, error) != host::ControlHost::Outcome::kDone ||
      outs.empty()) {
    return {};
  }
  const json text = jsonFromVariant(outs[0].value);
  return text.is_string() ? text.get<std::string>() : std::string();
}

std::variant<json, ApiError> Console::call(const json& body) {
  auto parsed = callFromJson(body, host_->members());
  if (auto* refusal = std::get_if<ApiError>(&parsed)) {
    return *refusal;
  }
  const host::Call& c = std::get<host::Call>(parsed);
  std::string error;
  const host::MemberInfo* member = host_->resolve(c, error);
  if (member == nullptr) {
    return ApiError{400, error};
  }
  if (auto wrong = checkArguments(c, *member)) {
    return *wrong;
  }
  std::vector<host::Output> outs;
  if (host_->invoke(c, outs, error) != host::ControlHost::Outcome::kDone) {
    return ApiError{400, error};
  }
  rememberSource(c, outs);
  return resultJson(outs);
}

// Keeps what the console must know of the calls made through it: the
// source it set (put back after a talk), the local AAM it opened, and the
// outputs added or removed by name.
void Console::rememberSource(const host::Call& c, const std::vector<host::Output>& outs) {
  const bool ok = outs.empty() || jsonFromVariant(outs[0].value) == json(0);
  if (!ok || c.put) {
    return;
  }
  if (isSourceMember(c.member)) {
    source_ = c;
  } else if (named(c.member, "OpenLocalAAM")) {
    openedAAM_ = c;
  } else if (named(c.member, "AddToGroupAndConnect")) {
    OutputState o;
    o.server = callText("Server", {});
    o.port = callInt("Port", {});
    o.name = o.server + ":" + std::to_string(o.port);
    saveOutput(o);
    outputs_[o.name] = o;
  } else if (named(c.member, "DeleteFromGroup") && !c.args.empty()) {
    const std::string name = std::get<std::string>(c.args[0]);
    outputs_.erase(name);
    forgetOutput(name);
  } else if (named(c.member, "ResetGroup")) {
    for (const auto& [name, o] : outputs_) {
      forgetOutput(name);
    }
    outputs_.clear();
  } else {
    return;
  }
  broadcast({{"event", "outputs"}, {"outputs", outputs()}, {"state", state()}});
}

json Console::outputs() const {
  json list = json::array();
  for (const auto& [name, o] : outputs_) {
    list.push_back(outputJson(o));
  }
  return list;
}

std::variant<json, ApiError> Console::addOutput(const json& body) {
  if (!body.is_object() || !body.contains("server") || !body.at("server").is_string() ||
      body.at("server").get<std::string>().empty()) {
    return ApiError{400, "\"server\" must be a host name or address"};
  }
  if (!body.contains("port") || !body.at("port").is_number_integer() ||
      body.at("port").get<int64_t>() < 1 || body.at("port").get<int64_t>() > 65535) {
    return ApiError{400, "\"port\" must be an integer from 1 to 65535"};
  }
  OutputState o;
  o.server = body.at("server").get<std::string>();
  o.port = static_cast<int32_t>(body.at("port").get<int64_t>());
  o.name = o.server + ":" + std::to_string(o.port);
  if (o.server.find_first_of("\\\r\n") != std::string::npos) {
    return ApiError{400, "\"server\" holds a character a host name cannot"};
  }
  const std::string server = callText("Server", {});
  const int32_t port = callInt("Port", {});
  std::vector<host::Output> outs;
  std::string error;
  host_->invoke({"Server", {o.server}, true}, outs, error);
  host_->invoke({"Port", {o.port}, true}, outs, error);
  const int32_t result = callInt("AddToGroupAndConnect", {});
  // The properties are the page's too: put back what it had set.
  host_->invoke({"Server", {server}, true}, outs, error);
  host_->invoke({"Port", {port}, true}, outs, error);
  if (result != 0) {
    return ApiError{502, "the output " + o.name + " could not be added (" +
                             std::to_string(result) + ")"};
  }
  outputs_[o.name] = o;
  saveOutput(o);
  broadcast({{"event", "outputs"}, {"outputs", outputs()}, {"state", state()}});
  return outputJson(o);
}

std::optional<ApiError> Console::removeOutput(const std::string& name) {
  if (outputs_.count(name) == 0) {
    return ApiError{404, "no output " + name};
  }
  callInt("DeleteFromGroup", {name});
  outputs_.erase(name);
  forgetOutput(name);
  broadcast({{"event", "outputs"}, {"outputs", outputs()}, {"state", state()}});
  return std::nullopt;
}

std::optional<ApiError> Console::rehash(const std::string& name) {
  if (name.empty()) {
    callInt("RehashGroup", {});
    return std::nullopt;
  }
  if (outputs_.count(name) == 0) {
    return ApiError{404, "no output " + name};
  }
  callInt("Rehash", {name});
  return std::nullopt;
}

json Console::state() {
  json source = nullptr;
  if (source_) {
    json args = json::array();
    for (const host::Value& v : source_->args) {
      std::visit([&args](const auto& x) { args.push_back(x); }, v);
    }
    source = {{"member", source_->member}, {"args", args}};
  }
  const int32_t port = callInt("LocalAAMPort", {});
  const int32_t board = callInt("LocalAAMBoard", {});
  return {{"aam", {{"port", port}, {"board", board}, {"hostDevice", hostDevice_}}},
          {"talking", talking()},
          {"live", live_},
          {"source", source}};
}

void Console::pollOutputs() {
  for (auto& [name, o] : outputs_) {
    const int32_t status = callInt("GetStatusOf", {name});
    if (status < 0) {
      continue;
    }
    o.link = linkName(status);
    if (status == 2) {
      o.params = paramsJson(callText("GetParamsOf", {name}));
      o.stats = paramsJson(callText("GetStatOf", {name}));
    }
  }
  broadcast({{"event", "outputs"}, {"outputs", outputs()}, {"state", state()}});
}

void Console::onEvent(const host::Event& event) {
  if (event.args.empty()) {
    return;
  }
  const std::string& name = event.args[0];
  json message = {{"event", event.name}, {"name", name}};
  auto it = outputs_.find(name);
  if (event.name == "LinkUp") {
    if (it != outputs_.end()) {
      const bool wasDown = it->second.link == "down";
      it->second.link = "up";
      it->second.error.clear();
      // An output that came back plays what the group plays.
      if (wasDown && (live_ || source_)) {
        if (live_) {
          callInt("SetNetSource", {settings_.talkProtocol, settings_.aamAddress, settings_.aamPort});
        } else {
          std::vector<host::Output> outs;
          std::string error;
          host_->invoke(*source_, outs, error);
        }
      }
    }
  } else if (event.name == "LinkDown") {
    const std::string error = event.args.size() > 1 ? event.args[1] : std::string();
    message["error"] = error;
    if (it != outputs_.end()) {
      it->second.link = "down";
      it->second.error = error;
    }
  }
  broadcast(message);
}

uint64_t Console::subscribe(Sender send) {
  uint64_t id = 0;
  {
    std::lock_guard lock(subscribersMutex_);
    if (stopped()) {
      return 0;
    }
    id = nextSubscriber_++;
    subscribers_.emplace(id, send);
  }
  // The snapshot goes out from the control thread, before any later event.
  post([this, id] {
    const std::string snapshot =
        json{{"event", "snapshot"}, {"outputs", outputs()}, {"state", state()}}.dump();
    std::lock_guard lock(subscribersMutex_);
    if (auto it = subscribers_.find(id); it != subscribers_.end()) {
      it->second(snapshot);
    }
  });
  return id;
}

void Console::unsubscribe(uint64_t id) {
  std::lock_guard lock(subscribersMutex_);
  subscribers_.erase(id);
}

void Console::broadcast(const json& message) {
  const std::string text = message.dump();
  std::lock_guard lock(subscribersMutex_);
  for (auto& [id, send] : subscribers_) {
    send(text);
  }
}

bool Console::stopped() const {
  std::lock_guard lock(postMutex_);
  return stopping_;
}

bool Console::talking() const {
  std::lock_guard lock(talk_->mutex);
  return talk_->talker != 0;
}

std::optional<std::string> Console::beginTalk(uint64_t talker, uint32_t rate, uint32_t channels,
                                              std::function<void()> onLive) {
  if (hostWrite_ == nullptr || hostEnd_ == nullptr) {
    return "the control's library has no host-fed wave-input device";
  }
  if (channels != 1 && channels != 2) {
    return "channels must be 1 or 2";
  }
  if (rate < 8000 || rate > 96000) {
    return "sampleRate must be from 8000 to 96000";
  }
  {
    std::lock_guard lock(talk_->mutex);
    if (talk_->talker != 0) {
      return "another operator is talking";
    }
    talk_->talker = talker;
    ++talk_->generation;
    talk_->rate = rate;
    talk_->channels = channels;
    talk_->switching = false;
    talk_->ready = false;
    talk_->pending.clear();
    talk_->onLive = std::move(onLive);
  }
  post([this] { broadcast({{"event", "state"}, {"state", state()}}); });
  return std::nullopt;
}

void Console::talkChunk(uint64_t talker, const uint8_t* bytes, size_t size) {
  std::lock_guard lock(talk_->mutex);
  Talk& t = *talk_;
  if (t.talker != talker || t.talker == 0) {
    return;
  }
  const size_t frames = size / (2 * t.channels);
  std::vector<int16_t> samples(frames * t.channels);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  if (t.ready) {
    hostWrite_(samples.data(), static_cast<uint32_t>(frames), t.rate, t.channels);
    return;
  }
  t.pending.insert(t.pending.end(), samples.begin(), samples.end());
  const size_t most = t.rate * t.channels * kMaxPendingMs / 1000;
  if (t.pending.size() > most) {
    t.pending.erase(t.pending.begin(),
                    t.pending.begin() + static_cast<ptrdiff_t>(t.pending.size() - most));
  }
  if (!t.switching) {
    t.switching = true;
    const uint64_t generation = t.generation;
    post([this, generation] { goLive(generation); });
  }
}

void Console::endTalk(uint64_t talker) {
  uint64_t generation = 0;
  std::chrono::milliseconds queued{0};
  {
    std::lock_guard lock(talk_->mutex);
    if (talk_->talker != talker || talker == 0) {
      return;
    }
    talk_->talker = 0;
    talk_->ready = false;
    talk_->pending.clear();
    talk_->onLive = nullptr;
    generation = talk_->generation;
    if (hostEnd_ != nullptr) {
      queued = std::chrono::milliseconds(hostEnd_());
    }
  }
  post([this, generation, queued] {
    std::lock_guard lock(talk_->mutex);
    if (talk_->generation == generation) {
      // No later talk: back once what is queued and the grace have
      // passed, unless one goes live first.
      pendingBack_ = true;
      backAt_ = Clock::now() + queued + kReleaseGrace;
    }
  });
  post([this] { broadcast({{"event", "state"}, {"state", state()}}); });
}

// The first chunk of talk `generation` came: the local AAM runs on the
// host-fed device and the group plays it, then the chunks flow.
void Console::goLive(uint64_t generation) {
  {
    std::lock_guard lock(talk_->mutex);
    if (talk_->generation != generation || talk_->talker == 0) {
      return;
    }
  }
  pendingBack_ = false;
  std::string failure;
  if (callInt("LocalAAMPort", {}) < 0 ||
      callInt("LocalAAMBoard", {}) != static_cast<int32_t>(hostDevice_)) {
    if (callInt("OpenLocalAAM", {settings_.aamPort, std::string("wavein_mic_in"),
                                 static_cast<int32_t>(hostDevice_), settings_.bitRate,
                                 std::string("zqweb")}) != 0) {
      failure = "the local AAM cannot be opened on port " + std::to_string(settings_.aamPort);
    }
  } else {
    callInt("StreamMic", {});
  }
  if (failure.empty() && !live_) {
    callInt("SetNetSource", {settings_.talkProtocol, settings_.aamAddress, settings_.aamPort});
    // Every output has its command before the first words go in.
    callInt("FlushGroup", {});
    live_ = true;
  }
  std::function<void()> onLive;
  {
    std::lock_guard lock(talk_->mutex);
    Talk& t = *talk_;
    if (t.generation != generation || t.talker == 0) {
      return;  // released meanwhile: the release's own task goes back
    }
    if (!failure.empty()) {
      JLog::logf(kLevelError, "zqweb: %s", failure.c_str());
      t.pending.clear();
      return;
    }
    if (!t.pending.empty()) {
      hostWrite_(t.pending.data(), static_cast<uint32_t>(t.pending.size() / t.channels), t.rate,
                 t.channels);
      t.pending.clear();
    }
    t.ready = true;
    onLive = t.onLive;
  }
  if (onLive) {
    onLive();
  }
  broadcast({{"event", "state"}, {"state", state()}});
}

// The talk is over: the group plays again what the console had set, or
// nothing; a local AAM the console moved to the host-fed device goes back
// to the input it had.
void Console::goBack() {
  if (!live_ || talking()) {
    return;
  }
  live_ = false;
  std::vector<host::Output> outs;
  std::string error;
  if (source_) {
    host_->invoke(*source_, outs, error);
  } else {
    callInt("ResetSource", {});
  }
  if (openedAAM_ && openedAAM_->args.size() > 2 &&
      std::get_if<int32_t>(&openedAAM_->args[2]) != nullptr &&
      std::get<int32_t>(openedAAM_->args[2]) != static_cast<int32_t>(hostDevice_)) {
    host_->invoke(*openedAAM_, outs, error);
  }
  broadcast({{"event", "state"}, {"state", state()}});
}

}  // namespace zq::zqweb
