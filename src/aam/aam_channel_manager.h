// ZQAAMChannelManager: the local audio access manager. An RPC service that
// owns one local audio source (a live input, a file list or soft frames),
// turns it into a media object and serves its stream to remote outputs as
// their provider: they ask with "addUDPClient" or "addIPMClient", read its
// parameters and statistics, and announce themselves with "notifyAudioOut".
// While the source has no stream the provider serves a stand-by media of
// silence in the same format, so that receivers keep their channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "media/audio_media.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "media/provider.h"
#include "media/provider_config.h"
#include "rpc/msg_queue.h"
#include "rpc/rpc_service.h"

namespace zq {

/// What a local access manager is opened with.
struct AAMConfig {
  /// The transports; `provider.port` is the RPC port of the service.
  ProviderConfig provider;
  /// Reported as "Id".
  std::string id;
  /// The opening source: local (0), file (2) or soft (3).
  MikeDesc desc;
};

/// A remote output that announced it listens to this access manager. Two
/// entries are the same output when equipment name and output name match.
struct AudioOutputEntry {
  std::string equipmentName;
  std::string equipmentAddress;
  std::string audioOutputName;
  int32_t audioOutputChannel = 0;
  int32_t audioOutputTcpPort = 0;

  bool operator<(const AudioOutputEntry& other) const {
    return equipmentName != other.equipmentName ? equipmentName < other.equipmentName
                                                : audioOutputName < other.audioOutputName;
  }
};

// The trace mask comes first among the bases: the service and the provider
// are handed it while they are built.
struct AAMTraceMask {
  explicit AAMTraceMask(uint32_t value) : mask(value) {}
  JTraceMask mask;
};

/// Concurrency: the RPC handlers run on the service's connection threads;
/// the media's link events arrive on the sources' threads and are handled
/// on the queue's thread; the owner (the controller group) switches sources
/// from its own thread. The media mutex guards the media slots; the
/// provider mutex the hand-over of a media to the provider. Lock order:
/// media mutex, provider mutex, then the provider's own.
class ZQAAMChannelManager : private AAMTraceMask,
                            public JRPCService,
                            public IProvider,
                            public LinkNotifier,
                            public JMsgQueue<uint32_t> {
 public:
  /// How long a stopped media's source is given to say that its file list
  /// has ended before the stop is taken for a pause between two files.
  static constexpr int kFinishedWaitMs = 1000;
  /// The queue's capacity of link events.
  static constexpr int kQueueCapacity = 1000;
  /// The file descriptions kept for a process that made no cache itself.
  static constexpr size_t kFileInfoCacheSize = 32;
  /// The most outputs announced at once ("notifyAudioOut"): one more is
  /// answered FAILED until another withdraws.
  static constexpr size_t kMaxAudioOutputs = 1000;
  /// The longest equipment name, address or output name an announcement may
  /// carry, in bytes.
  static constexpr size_t kMaxAudioOutputText = 255;

  /// Captures (or plays) the opening source and listens on the configured
  /// port. Throws JTextError "invalid desc type" for a description that is
  /// neither local, file nor soft, and the errors of the source and of the
  /// service's socket (a port in use); nothing is left running then.
  ZQAAMChannelManager(const AAMConfig& config, uint32_t traceMask, std::string_view name);
  /// Stops the service and the queue, gives the provider no media, then
  /// stops and deletes the media.
  ~ZQAAMChannelManager() override;

  /// Makes a media of `desc` the current source (in the third slot, in
  /// place of the one there). False, with the opening source current again,
  /// when `desc` cannot be opened. The owner's thread.
  bool makeCurrent(const MikeDesc& desc);
  /// Back to the opening source, if another is current. The owner's thread.
  void backToOpeningSource();

  const AAMConfig& config() const { return config_; }
  /// The announced outputs, in order.
  std::vector<AudioOutputEntry> audioOutputs() const;
  /// Whether the opening source is the current one.
  bool openingSourceIsCurrent() const;

  /// The prepared frame of silence at `bitRate` (stockSilentFrame), for the
  /// 16 rates from 8 to 256 kbit/s the stand-by media knows; empty for any
  /// other rate. The table is made on first use.
  static const std::vector<uint8_t>& silentFrame(uint32_t bitRate);

  // LinkNotifier: a media's stream went or came (context: the media's tag).
  // A stop of either slot's media gives the provider the stand-by media; a
  // start matters for the current media only. Both answer true.
  bool linkDown(const JError* reason, uint32_t context) override;
  void linkUp(JStream* stream, uint32_t context) override;

 protected:
  void registerFunctions() override;
  void connectionClosed(JSocket& socket) override;
  std::unique_ptr<IProviderPacketizer> createPacketizer() override;
  const MessageMap* messageMap() const override;

 private:
  enum Message : int { kMediaStopped = 0, kMediaStarted = 1 };
  enum Slot : int { kPrimary = 0, kThird = 2 };

  // Message handlers, on the queue's thread.
  bool onMediaStopped(uint32_t tag);
  bool onMediaStarted(uint32_t tag);

  void getRawParams(JParams& request, JParams* result);
  void getParams(JParams& request, JParams* result);
  void getStat(JParams& request, JParams* result);
  void setParams(JParams& request, JParams* result);
  void notifyAudioOut(JParams& request, JParams* result);
  // getRawParams and getParams: the common keys, then the media's.
  void describe(JParams& result, bool raw);

  // A media of `desc`; "invalid desc type" for a type that has none.
  static std::unique_ptr<IAudio> createMedia(const MikeDesc& desc);
  // Under mediaMutex_: the current media object, or null.
  IAudio* currentLocked() const;
  // Under mediaMutex_: makes `slot` current and registers with its media.
  void makeCurrentLocked(Slot slot);
  // Under mediaMutex_: the opening media current again and served.
  void restorePrimaryLocked();
  // Under mediaMutex_: the provider serves the stand-by media, or none.
  void serveStandByLocked();
  // Under mediaMutex_: the third media stopped and deleted.
  void dropThirdLocked();
  // Under mediaMutex_: a new stand-by media in the format of `media`.
  void rebuildStandByLocked(IAudio& media);
  // Stops the queue and the service and deletes every media.
  void tearDown();

  const AAMConfig config_;
  std::set<AudioOutputEntry> outputs_;  // guarded by outputsMutex_
  mutable std::mutex outputsMutex_;
  std::unique_ptr<IAudio> primary_;  // guarded by mediaMutex_
  // Changed with mediaMutex_ and providerMutex_ held; read with either.
  std::unique_ptr<IAudio> standBy_;
  std::unique_ptr<IAudio> third_;    // guarded by mediaMutex_
  // The tags of the media in the two slots (0: none), which their link
  // events carry. Changed with mediaMutex_ and providerMutex_ held; read
  // with either (the link events hold the provider mutex alone).
  std::atomic<uint32_t> primaryTag_{0};
  std::atomic<uint32_t> thirdTag_{0};
  Slot current_ = kPrimary;          // guarded by mediaMutex_
  // The tag of the current media, for the link events (which must not wait
  // for the media mutex: they may come from inside a connect made under it).
  std::atomic<uint32_t> currentTag_{0};
  mutable std::mutex mediaMutex_;
  std::mutex providerMutex_;
  // Set when the current media's stream starts, so that the wait after a
  // stop ends at once when the next file of a list begins.
  JFlag started_{true, false};
};

}  // namespace zq
