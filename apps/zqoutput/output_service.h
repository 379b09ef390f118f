// OutputService: zqoutput's RPC service, the requests an audio output
// controller sends to an output's access manager: the four source commands,
// the parameters and the statistics (PING is the framework's).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "rpc/rpc_service.h"
#include "zqoutput/allow_list.h"
#include "zqoutput/announcer.h"
#include "zqoutput/player.h"

namespace zq::zqoutput {

/// Who may command an output and what it may play.
struct OutputAccess {
  std::string listen = "0.0.0.0";  // the address the port is bound to
  AllowList controls;              // the peers served; empty: everyone
  AllowList sources;               // the AAMs streams come from; empty: any
  std::string mediaDir;            // setFileSource plays under it; "": nothing
};

class OutputService : public JRPCService {
 public:
  static constexpr const char* kVersion = "1.0";
  /// The file descriptions kept when the process made no cache itself.
  static constexpr size_t kFileInfoCacheSize = 32;
  /// A refused address is logged once in this long, and this many at most
  /// are remembered.
  static constexpr std::chrono::minutes kRefusedQuiet{1};
  static constexpr size_t kRefusedRemembered = 4096;

  using Access = OutputAccess;

  /// Listens on `port` (0: one the system picks) and plays into `sink`
  /// through a jitter buffer of `bufferMs`. A media folder that is not one
  /// throws JTextError.
  OutputService(uint16_t port, const std::string& id, AudioSink& sink,
                uint32_t bufferMs = Player::kDefaultBufferMs, Access access = {});
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

  // The accept filter: a peer of the allow list, or one refused, counted
  // and logged once a minute per address.
  bool admit(const JInetAddr& peer);
  // The real path of a file that setFileSource may play; "" for any other.
  std::string mediaPath(const std::string& file) const;

  const std::string id_;
  const Access access_;
  std::filesystem::path mediaDir_;  // resolved; empty: no file source
  std::atomic<uint64_t> refused_{0};
  std::mutex refusedMutex_;
  // When each refused address was last logged; guarded by refusedMutex_.
  std::unordered_map<uint32_t, std::chrono::steady_clock::time_point> refusedSaid_;
  AudioSink& sink_;
  Player player_;
  // Tells the access manager of a network source that this output listens.
  std::unique_ptr<Announcer> announcer_;
};

}  // namespace zq::zqoutput
