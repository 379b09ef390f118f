// OutputService: zqoutput's RPC service, the requests an audio output
// controller sends to an output's access manager: the four source commands,
// the parameters and the statistics (PING is the framework's).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rpc/rpc_service.h"
#include "zqoutput/announcer.h"
#include "zqoutput/player.h"

namespace zq::zqoutput {

class OutputService : public JRPCService {
 public:
  static constexpr const char* kVersion = "1.0";
  /// The file descriptions kept when the process made no cache itself.
  static constexpr size_t kFileInfoCacheSize = 32;

  /// Listens on `port` (0: one the system picks) and plays into `sink`
  /// through a jitter buffer of `bufferMs`.
  OutputService(uint16_t port, const std::string& id, AudioSink& sink,
                uint32_t bufferMs = Player::kDefaultBufferMs);
  ~OutputService() override;

  Player& player() { return player_; }
  /// What the announcements to the access managers of network sources came to.
  Announcer::Counts announcements() const { return announcer_->counts(); }

 protected:
  void registerFunctions() override;

 private:
  void setNetSource(JParams& request, JParams* result);
  void setHardSource(JParams& request, JParams* result);
  void setFileSource(JParams& request, JParams* result);
  void resetSource(JParams& request, JParams* result);
  void setParams(JParams& request, JParams* result);
  void getParams(JParams& request, JParams* result);
  void getStat(JParams& request, JParams* result);

  const std::string id_;
  AudioSink& sink_;
  Player player_;
  // Tells the access manager of a network source that this output listens.
  std::unique_ptr<Announcer> announcer_;
};

}  // namespace zq::zqoutput
