// The requests of an audio output controller, played through the player.
#include "zqoutput/output_service.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "control/audio_output_controller_group.h"
#include "files/file_info.h"
#include "media/server_controller.h"
#include "net/host_name.h"
#include "rpc/rpc_error.h"

namespace zq::zqoutput {
namespace {

// How long a network source waits for its provider's answers.
constexpr int32_t kNetTimeoutMs = 5000;

// A TCP port, 1 to 65535. Read at full width, so that no value wraps into
// the range; anything else is not a port, and is refused as a value of the
// wrong kind is.
int32_t portParameter(JParams& request, const char* name) {
  int64_t port = 0;
  request.get(name, port, true);
  if (port < 1 || port > 65535) {
    throw JRPCTypeMismatchError(name, JVariant::kInteger, request.find(name, true)->type());
  }
  return static_cast<int32_t>(port);
}

}  // namespace

OutputService::OutputService(uint16_t port, const std::string& id, AudioSink& sink,
                             uint32_t bufferMs, Access access)
    : JRPCService(JInetAddr(access.listen, port), false, nullptr, "zqoutput"),
      id_(id),
      access_(std::move(access)),
      sink_(sink),
      player_(sink, bufferMs) {
  if (!access_.mediaDir.empty()) {
    std::error_code error;
    mediaDir_ = std::filesystem::canonical(access_.mediaDir, error);
    if (error || !std::filesystem::is_directory(mediaDir_)) {
      throw JTextError("media folder '" + access_.mediaDir + "': " +
                       (error ? error.message() : std::string("not a folder")));
    }
  }
  // Files play through the process's description cache.
  ensureFileInfoCache(kFileInfoCacheSize);
  registerFunctions();
  if (!access_.controls.everyone()) {
    setAcceptFilter([this](const sockaddr& peer) {
      return peer.sa_family == AF_INET &&
             admit(JInetAddr(reinterpret_cast<const sockaddr_in&>(peer)));
    });
  }
  start();
  announcer_ = std::make_unique<Announcer>(
      Announcer::Output{.equipmentName = localHostName(), .name = id_, .tcpPort = this->port()});
}

OutputService::~OutputService() {
  shutdown();
}

bool OutputService::admit(const JInetAddr& peer) {
  if (access_.controls.allows(peer.address())) {
    return true;
  }
  refused_.fetch_add(1, std::memory_order_relaxed);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(refusedMutex_);
  if (refusedSaid_.size() >= kRefusedRemembered) {
    // Many addresses at once: the ones said a minute ago may be said again.
    std::erase_if(refusedSaid_, [&](const auto& e) { return now - e.second >= kRefusedQuiet; });
    if (refusedSaid_.size() >= kRefusedRemembered) {
      refusedSaid_.clear();
    }
  }
  const auto [said, first] = refusedSaid_.try_emplace(peer.address().s_addr, now);
  if (first || now - said->second >= kRefusedQuiet) {
    said->second = now;
    JLog::logf(kLevelWarning,
               "zqoutput: refused a connection from %s: not in --allow (said once a minute)",
               peer.hostText().c_str());
  }
  return false;
}

std::string OutputService::mediaPath(const std::string& file) const {
  namespace fs = std::filesystem;
  if (mediaDir_.empty() || file.empty()) {
    return {};
  }
  // Links and ".." resolved first: what counts is where the file really is.
  std::error_code error;
  fs::path path(file);
  const fs::path real = fs::weakly_canonical(path.is_relative() ? mediaDir_ / path : path, error);
  if (error) {
    return {};
  }
  const auto [dirEnd, rest] = std::mismatch(mediaDir_.begin(), mediaDir_.end(), real.begin(), real.end());
  if (dirEnd != mediaDir_.end() || rest == real.end()) {
    return {};
  }
  return real.string();
}

void OutputService::registerFunctions() {
  using Self = OutputService;
  auto method = [this](void (Self::*m)(JParams&, JParams*)) {
    return [this, m](JParams& q, JParams* r, JSocket&) { (this->*m)(q, r); };
  };
  JRPCServer::registerFunctions({
      {"setNetSource", JRPCKind::kAnswer, method(&Self::setNetSource)},
      {"setHardSource", JRPCKind::kAnswer, method(&Self::setHardSource)},
      {"setFileSource", JRPCKind::kAnswer, method(&Self::setFileSource)},
      {"resetSource", JRPCKind::kAnswer, method(&Self::resetSource)},
      {"setParams", JRPCKind::kAnswer, method(&Self::setParams)},
      {"getParams", JRPCKind::kAnswer, method(&Self::getParams)},
      {"getStat", JRPCKind::kAnswer, method(&Self::getStat)},
  });
}

void OutputService::setNetSource(JParams& request, JParams*) {
  std::string proto;
  std::string host;
  request.get("proto", proto, true);
  request.get("host", host, true);
  const int32_t port = portParameter(request, "port");
  MikeDesc desc;
  desc.type = MikeDesc::kNetwork;
  desc.proto = ServerController::parseProto(proto);
  if (desc.proto != ServerController::kUdp && desc.proto != ServerController::kIpm) {
    throw JTextError("unsupported protocol '" + proto + "': use udp or ipm");
  }
  desc.host = host;
  if (!access_.sources.everyone()) {
    // The address checked is the address fetched from.
    in_addr address{};
    try {
      address = JInetAddr(host, static_cast<uint16_t>(port)).address();
    } catch (const JError&) {
      throw JTextError("source '" + host + "' is not allowed: not in --allow-sources");
    }
    if (!access_.sources.allows(address)) {
      throw JTextError("source '" + host + "' is not allowed: not in --allow-sources");
    }
    desc.host = JInetAddr(address, 0).hostText();
  }
  desc.port = port;
  desc.timeout = kNetTimeoutMs;
  player_.play(desc, proto + "://" + host + ":" + std::to_string(port));
  announcer_->listenTo(host, port);
}

void OutputService::setHardSource(JParams& request, JParams*) {
  int32_t card = 0;
  std::string connector;
  request.get("cardNumber", card, true);
  request.get("connector", connector, true);
  MikeDesc desc;
  desc.type = MikeDesc::kLocal;
  desc.channel = card;
  desc.inputConnector = connectorNumber(connector);
  if (desc.inputConnector < 0) {
    throw JTextError("unknown connector '" + connector + "'");
  }
  if (MikeDesc::isSoundCardConnector(desc.inputConnector)) {
    // A sound card plays as it is captured: 44 100 Hz stereo PCM.
    desc.setSamplesPerSec(44100);
    desc.setBitsPerSample(16);
    desc.setChannels(2);
    desc.setSamplesPerBlock(1152);
  } else {
    desc.setTargetBitRate(128000);
  }
  player_.play(desc, connector + "://" + std::to_string(card));
  announcer_->stop();
}

void OutputService::setFileSource(JParams& request, JParams*) {
  std::string file;
  request.get("fileSource", file, true);
  // One answer for every file outside the media folder, there or not, so
  // that it tells nobody which files the machine holds.
  const std::string path = mediaPath(file);
  if (path.empty()) {
    throw JTextError(mediaDir_.empty() ? "file source refused: this output has no media folder"
                                       : "file source refused: '" + file +
                                             "' is not a file of the media folder");
  }
  MikeDesc desc;
  desc.type = MikeDesc::kFile;
  desc.fileName = path;
  desc.looping = false;
  player_.play(desc, "file://" + file);
  announcer_->stop();
}

void OutputService::resetSource(JParams&, JParams*) {
  player_.stop();
  announcer_->stop();
}

void OutputService::setParams(JParams& request, JParams*) {
  int32_t volume = 0;
  if (request.get("volume", volume, false)) {
    player_.setVolume(volume);
  }
}

void OutputService::getParams(JParams&, JParams* result) {
  result->set("Type", "Audio");
  result->set("Id", id_);
  result->set("Source", player_.stats().source);
  result->set("Volume", player_.volume());
  result->set("Output", sink_.describe());
  result->set("Version", kVersion);
}

void OutputService::getStat(JParams&, JParams* result) {
  const Player::Stats s = player_.stats();
  result->set("FramesReceived", static_cast<int64_t>(s.received));
  result->set("FramesLost", static_cast<int64_t>(s.lost));
  result->set("FramesLate", static_cast<int64_t>(s.late));
  result->set("DuplicatePackets", static_cast<int64_t>(s.duplicates));
  result->set("StrayPackets", static_cast<int64_t>(s.strays));
  result->set("FramesDecoded", static_cast<int64_t>(s.decoded));
  result->set("DecodeErrors", static_cast<int64_t>(s.errors));
  result->set("Underruns", static_cast<int64_t>(s.underruns));
  result->set("BlocksConcealed", static_cast<int64_t>(s.concealed));
  result->set("BlocksDropped", static_cast<int64_t>(s.dropped));
  result->set("BlocksRepeated", static_cast<int64_t>(s.repeated));
  result->set("BufferedMs", static_cast<int64_t>(s.bufferedMs));
  result->set("OutputErrors", static_cast<int64_t>(s.outputErrors));
  result->set("LevelDb", s.levelDb);
  result->set("RefusedConnections", static_cast<int64_t>(refused_.load(std::memory_order_relaxed)));
}

}  // namespace zq::zqoutput
