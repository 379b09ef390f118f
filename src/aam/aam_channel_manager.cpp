// The local audio access manager: its media slots and their hand-over to the
// provider, the prepared frames of silence, and its RPC functions.
#include "aam/aam_channel_manager.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "base/error.h"
#include "base/wait.h"
#include "base/waitable.h"
#include "files/file_info.h"
#include "media/packetizer.h"

namespace zq {
namespace {

std::atomic<uint32_t> nextTag{1};

uint32_t newTag() {
  return nextTag.fetch_add(1, std::memory_order_relaxed);
}

const char* serverMode(int32_t type) {
  return type == MikeDesc::kLocal ? "LIVE" : type == MikeDesc::kFile ? "STREAMING" : "NONE";
}

// The service's port as configured; a number no port can have is refused
// before anything opens (0 lets the system choose).
uint16_t servicePort(int32_t port) {
  if (port < 0 || port > 0xFFFF) {
    throw JTextError("invalid port " + std::to_string(port));
  }
  return static_cast<uint16_t>(port);
}

const char* audioClass(int32_t value) {
  static const char* const kNames[] = {"HIFI", "PC", "SEMIPRO", "PRO"};
  return value >= 0 && value <= 3 ? kNames[value] : nullptr;
}

// The stand-by media's prepared frames: one frame of silence per bit rate a
// description may name, as the encoder library writes it, at the sampling
// rate (and so the frame length) each rate is listed with. Below 24 kbit/s
// the frames are mono.
struct SilentFormat {
  uint32_t bitRate;
  uint32_t sampleRate;
  uint32_t channels;
};
constexpr std::array<SilentFormat, 16> kSilentFormats = {{
    {8000, 8000, 1},
    {16000, 12000, 1},
    {24000, 16000, 2},
    {32000, 16000, 2},
    {40000, 16000, 2},
    {48000, 24000, 2},
    {56000, 24000, 2},
    {64000, 24000, 2},
    {80000, 44100, 2},
    {96000, 44100, 2},
    {112000, 44100, 2},
    {128000, 44100, 2},
    {160000, 44100, 2},
    {192000, 44100, 2},
    {224000, 44100, 2},
    {256000, 44100, 2},
}};

// A frame of silence in the format of an MP3 stream that names no rate of
// the table (a file of a list): at its own sampling rate, channels and bit
// rate, or, when the library writes no frame at that rate (free format), at
// the lowest rate there is at that sampling rate. Made once per format.
std::vector<uint8_t> silenceLike(const StreamInfo& info) {
  static std::mutex mutex;
  static std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::vector<uint8_t>> made;
  const uint32_t rate = info.averageBytesPerSecond() * 8;
  const uint32_t sampleRate = info.samplesPerSecond();
  const uint32_t channels = info.channels();
  std::lock_guard lock(mutex);
  auto [at, isNew] = made.try_emplace({rate, sampleRate, channels});
  if (isNew) {
    for (const uint32_t r : {rate, sampleRate >= 32000 ? 32000u : 8000u}) {
      at->second = stockSilentFrame(r, sampleRate, channels);
      if (!at->second.empty()) {
        break;
      }
    }
  }
  return at->second;
}

// The replay period of a frame of silence: its duration, to the ms.
int32_t periodOf(const std::vector<uint8_t>& frame) {
  uint32_t bitRate = 0;
  uint32_t sampleRate = 0;
  int version = 0;
  uint32_t samples = 0;
  if (frame.size() < 4 ||
      !parseFrameHeader(frame.data(), &bitRate, &version, &sampleRate, nullptr, nullptr, nullptr)) {
    return 0;
  }
  frameGeometry(sampleRate, bitRate, version, &samples, nullptr);
  return static_cast<int32_t>((samples * 1000 + sampleRate / 2) / sampleRate);
}

}  // namespace

const std::vector<uint8_t>& ZQAAMChannelManager::silentFrame(uint32_t bitRate) {
  static const std::vector<uint8_t> kNone;
  static const std::array<std::vector<uint8_t>, kSilentFormats.size()> kFrames = [] {
    std::array<std::vector<uint8_t>, kSilentFormats.size()> frames;
    for (size_t i = 0; i < frames.size(); ++i) {
      const SilentFormat& f = kSilentFormats[i];
      frames[i] = stockSilentFrame(f.bitRate, f.sampleRate, f.channels);
    }
    return frames;
  }();
  const auto* found = std::ranges::find(kSilentFormats, bitRate, &SilentFormat::bitRate);
  return found == kSilentFormats.end() ? kNone : kFrames[found - kSilentFormats.begin()];
}

ZQAAMChannelManager::ZQAAMChannelManager(const AAMConfig& config, uint32_t traceMask,
                                         std::string_view name)
    : AAMTraceMask(traceMask),
      JRPCService(servicePort(config.provider.port), false, &mask, name),
      IProvider(config.provider, &mask, name),
      JMsgQueue<uint32_t>("ZQAAMChannelManager(JThreadedQueue)", &mask),
      config_(config) {
  JMsgQueue<uint32_t>::start(0, kQueueCapacity);
  // File lists read their files through the process's description cache.
  ensureFileInfoCache(kFileInfoCacheSize);
  try {
    JLog::logTraceable(kLevelTraceInfo, static_cast<IProvider*>(this),
                       "Initializing hardware audio input: Channel=%u, bandwidth=%u",
                       static_cast<unsigned>(config.desc.channel),
                       static_cast<unsigned>(config.desc.targetBitRate()));
    JParams settings;
    config.provider.write(settings);
    JLog::logTraceable(kLevelTraceInfo, static_cast<IProvider*>(this),
                       "Initializing hardware audio input: %s", settings.toString(',').c_str());
    {
      std::lock_guard lock(mediaMutex_);
      primary_ = createMedia(config.desc);
      {
        std::lock_guard provider(providerMutex_);
        primaryTag_.store(newTag());
      }
      makeCurrentLocked(kPrimary);
    }
    registerFunctions();
    JRPCService::start();
  } catch (...) {
    tearDown();
    throw;
  }
}

ZQAAMChannelManager::~ZQAAMChannelManager() {
  tearDown();
}

void ZQAAMChannelManager::tearDown() {
  JRPCService::shutdown();
  JMsgQueue<uint32_t>::stop(false);
  std::lock_guard lock(mediaMutex_);
  currentTag_.store(0);
  std::unique_ptr<IAudio> standBy;
  {
    // No link event hands the provider a media from here on.
    std::lock_guard provider(providerMutex_);
    primaryTag_.store(0);
    thirdTag_.store(0);
    setMedia(nullptr);
    standBy = std::move(standBy_);
  }
  // Disconnected without the provider mutex: a file source may be telling
  // us of its end, under its own lock, and wait for that mutex.
  for (std::unique_ptr<IAudio>* slot : {&third_, &primary_, &standBy}) {
    if (*slot) {
      (*slot)->disconnect();
      slot->reset();
    }
  }
}

std::unique_ptr<IAudio> ZQAAMChannelManager::createMedia(const MikeDesc& desc) {
  switch (desc.type) {
    case MikeDesc::kLocal:
      return std::make_unique<AudioLive>(desc);
    case MikeDesc::kFile:
      return std::make_unique<AudioFile>(desc);
    case MikeDesc::kSoft:
      return std::make_unique<AudioSoft>(desc);
    default:
      throw JTextError("invalid desc type");
  }
}

IAudio* ZQAAMChannelManager::currentLocked() const {
  return current_ == kThird ? third_.get() : primary_.get();
}

void ZQAAMChannelManager::makeCurrentLocked(Slot slot) {
  current_ = slot;
  const uint32_t tag = slot == kThird ? thirdTag_.load() : primaryTag_.load();
  currentTag_.store(tag);
  started_.reset();
  // Connecting registers this object with the media; a media already bound
  // keeps its registration (its tag does not change).
  currentLocked()->connect(this, tag, 0, false);
}

void ZQAAMChannelManager::restorePrimaryLocked() {
  makeCurrentLocked(kPrimary);
  // Already bound, the opening media tells nothing on being made current:
  // the provider is given it here when its stream runs.
  if (primary_->isConnected()) {
    std::lock_guard provider(providerMutex_);
    setMedia(primary_.get());
  }
}

void ZQAAMChannelManager::serveStandByLocked() {
  std::lock_guard provider(providerMutex_);
  setMedia(standBy_.get());
}

void ZQAAMChannelManager::dropThirdLocked() {
  if (third_) {
    {
      // Its link events say nothing from here on: a stop it tells while it
      // is being disconnected must not take the provider from the media
      // that follows.
      std::lock_guard provider(providerMutex_);
      thirdTag_.store(0);
      if (media() == third_.get()) {
        setMedia(standBy_.get());
      }
    }
    third_->disconnect();
    third_.reset();
  }
}

void ZQAAMChannelManager::rebuildStandByLocked(IAudio& media) {
  std::unique_ptr<IAudio> standBy;
  MikeDesc desc;
  media.getDesc(desc);
  const StreamInfo* info = desc.streamInfo();
  std::vector<uint8_t> frame;
  int32_t period = 0;
  if (info != nullptr && info->formatTag() == StreamInfo::kFormatPcm) {
    const uint32_t bytesPerSample = info->bitsPerSample() / 8u * info->channels();
    const uint32_t block = desc.samplesPerBlock() > 0 ? static_cast<uint32_t>(desc.samplesPerBlock())
                                                      : info->samplesPerSecond() / 10;
    frame.assign(size_t{block} * bytesPerSample, info->bitsPerSample() == 8 ? 0x80 : 0);
    period = static_cast<int32_t>(block * 1000 / std::max(info->samplesPerSecond(), 1u));
  } else if (info != nullptr && info->formatTag() == StreamInfo::kFormatMp3) {
    if (desc.targetBitRate() > 0) {
      // A live source: only a rate of the table has a stand-by.
      const auto rate = static_cast<uint32_t>(desc.targetBitRate());
      frame = silentFrame(rate);
      period = frame.empty() ? 0 : static_cast<int32_t>(frame.size() * 8000 / rate);
    } else {
      // A file of a list names no rate: silence in the file's own format, so
      // that the receivers keep their channels from one file to the next.
      frame = silenceLike(*info);
      period = periodOf(frame);
    }
  }
  if (!frame.empty() && period > 0) {
    try {
      standBy = std::make_unique<AudioSoft>(*info, frame.data(), frame.size(), period);
      standBy->connect(nullptr, 0, 0, true);
    } catch (const JError& e) {
      logCaught(e);
      standBy.reset();
    }
  }
  std::unique_ptr<IAudio> old;
  {
    // linkDown reads the stand-by media under the provider mutex alone.
    std::lock_guard provider(providerMutex_);
    if (IProvider::media() == standBy_.get() && standBy_) {
      setMedia(standBy.get());
    }
    old = std::move(standBy_);
    standBy_ = std::move(standBy);
  }
  if (old) {
    old->disconnect();
  }
}

// ---- link events ----------------------------------------------------------------

bool ZQAAMChannelManager::linkDown(const JError*, uint32_t context) {
  if (context == 0) {
    return true;
  }
  {
    // The opening source stopping while a list plays takes the provider to
    // the stand-by media as the current media's stop does; the current
    // media's next start gives it back.
    std::lock_guard provider(providerMutex_);
    if (context != primaryTag_.load() && context != thirdTag_.load()) {
      return true;  // a media no longer in its slot
    }
    if (context == currentTag_.load()) {
      started_.reset();
    }
    setMedia(standBy_.get());
  }
  try {
    postMsg(kMediaStopped, context);
  } catch (const JError& e) {
    logCaught(e);
  }
  return true;
}

void ZQAAMChannelManager::linkUp(JStream*, uint32_t context) {
  if (context == 0 || context != currentTag_.load()) {
    return;
  }
  started_.set();
  try {
    postMsg(kMediaStarted, context);
  } catch (const JError& e) {
    logCaught(e);
  }
}

const ZQAAMChannelManager::MessageMap* ZQAAMChannelManager::messageMap() const {
  static const MessageMap map(nullptr, {
                                           {kMediaStopped, &handler<&ZQAAMChannelManager::onMediaStopped>},
                                           {kMediaStarted, &handler<&ZQAAMChannelManager::onMediaStarted>},
                                       });
  return &map;
}

bool ZQAAMChannelManager::onMediaStopped(uint32_t tag) {
  std::lock_guard lock(mediaMutex_);
  IAudio* media = currentLocked();
  if (media == nullptr || tag != currentTag_.load()) {
    return true;
  }
  MikeDesc desc;
  media->getDesc(desc);
  if (desc.looping || desc.finishedEvent == nullptr) {
    return true;
  }
  // A list that does not loop says it has ended shortly after the stop of
  // its last file; the next file's start ends the wait as well.
  JWaitableTimer timer;
  timer.set(kFinishedWaitMs);
  JWaitForMultipleObjects waiter(desc.finishedEvent, &started_, &timer);
  if (waiter.wait() != 0) {
    return true;
  }
  serveStandByLocked();
  dropThirdLocked();
  restorePrimaryLocked();
  return true;
}

bool ZQAAMChannelManager::onMediaStarted(uint32_t tag) {
  std::lock_guard lock(mediaMutex_);
  IAudio* media = currentLocked();
  if (media == nullptr || tag != currentTag_.load()) {
    return true;
  }
  if (!media->isConnected()) {
    return true;  // stopped again since: its stop is on its way
  }
  {
    std::lock_guard provider(providerMutex_);
    setMedia(media);
  }
  rebuildStandByLocked(*media);
  return true;
}

// ---- source switching -----------------------------------------------------------

bool ZQAAMChannelManager::makeCurrent(const MikeDesc& desc) {
  std::lock_guard lock(mediaMutex_);
  if (current_ == kThird) {
    serveStandByLocked();
  }
  dropThirdLocked();
  try {
    third_ = createMedia(desc);
    {
      std::lock_guard provider(providerMutex_);
      thirdTag_.store(newTag());
    }
    makeCurrentLocked(kThird);
    return true;
  } catch (const JError& e) {
    logCaught(e);
  }
  dropThirdLocked();
  restorePrimaryLocked();
  return false;
}

void ZQAAMChannelManager::backToOpeningSource() {
  std::lock_guard lock(mediaMutex_);
  if (current_ == kPrimary) {
    return;
  }
  serveStandByLocked();
  dropThirdLocked();
  restorePrimaryLocked();
}

bool ZQAAMChannelManager::openingSourceIsCurrent() const {
  std::lock_guard lock(mediaMutex_);
  return current_ == kPrimary;
}

std::vector<AudioOutputEntry> ZQAAMChannelManager::audioOutputs() const {
  std::lock_guard lock(outputsMutex_);
  return {outputs_.begin(), outputs_.end()};
}

// ---- RPC ------------------------------------------------------------------------

void ZQAAMChannelManager::registerFunctions() {
  using Self = ZQAAMChannelManager;
  auto method = [this](void (Self::*m)(JParams&, JParams*)) {
    return [this, m](JParams& q, JParams* r, JSocket&) { (this->*m)(q, r); };
  };
  JRPCServer::registerFunctions({
      // A refused channel is answered FAILED with the reason, never OK.
      {"addUDPClient", JRPCKind::kAnswerWithSocket,
       [this](JParams& q, JParams* r, JSocket& s) { serveUDPClient(q, *r, &s); }},
      {"addIPMClient", JRPCKind::kAnswerWithSocket,
       [this](JParams& q, JParams* r, JSocket& s) { serveIPMClient(q, *r, &s); }},
      {"addSVCClient", JRPCKind::kOneWay,
       [this](JParams& q, JParams*, JSocket& s) { addSVCClient(q, &s); }},
      {"getRawParams", JRPCKind::kAnswer, method(&Self::getRawParams)},
      {"getParams", JRPCKind::kAnswer, method(&Self::getParams)},
      {"getStat", JRPCKind::kAnswer, method(&Self::getStat)},
      {"setParams", JRPCKind::kAnswer, method(&Self::setParams)},
      {"tearDownSVCClient", JRPCKind::kAnswerWithSocket,
       [this](JParams& q, JParams* r, JSocket& s) { tearDownSVCClient(q, *r, &s); }},
      {"notifyAudioOut", JRPCKind::kAnswer, method(&Self::notifyAudioOut)},
  });
}

void ZQAAMChannelManager::connectionClosed(JSocket& socket) {
  removeClient(&socket);
}

std::unique_ptr<IProviderPacketizer> ZQAAMChannelManager::createPacketizer() {
  return std::make_unique<IPacketizer>();
}

void ZQAAMChannelManager::describe(JParams& result, bool raw) {
  result.set("Type", "Audio");
  result.set("Id", config_.id);
  config_.provider.write(result);
  std::lock_guard lock(mediaMutex_);
  IAudio* media = currentLocked();
  if (media == nullptr) {
    return;
  }
  MikeDesc desc;
  media->getDesc(desc);
  if (raw) {
    media->getStreamInfoParams(result);
  } else {
    media->getParams(result);
  }
  result.set("ServerMode", serverMode(desc.type));
  if (!raw && desc.type == MikeDesc::kLocal) {
    if (const char* name = audioClass(desc.audioClass)) {
      result.set("AudioClass", name);
    }
  }
}

void ZQAAMChannelManager::getRawParams(JParams&, JParams* result) {
  describe(*result, true);
}

void ZQAAMChannelManager::getParams(JParams&, JParams* result) {
  describe(*result, false);
}

void ZQAAMChannelManager::getStat(JParams&, JParams* result) {
  {
    std::lock_guard lock(mediaMutex_);
    if (IAudio* media = currentLocked()) {
      media->getStat(*result);
    }
  }
  std::lock_guard lock(outputsMutex_);
  result->set("AudioOutputCount", static_cast<int64_t>(outputs_.size()));
  size_t i = 0;
  for (const AudioOutputEntry& e : outputs_) {
    const std::string n = "[" + std::to_string(i++) + "]";
    result->set("AudioOutputEquipmentName" + n, e.equipmentName);
    result->set("AudioOutputEquipmentAddress" + n, e.equipmentAddress);
    result->set("AudioOutputName" + n, e.audioOutputName);
    result->set("AudioOutputChannel" + n, e.audioOutputChannel);
    result->set("AudioOutputTcpPort" + n, e.audioOutputTcpPort);
  }
}

void ZQAAMChannelManager::setParams(JParams& request, JParams*) {
  std::lock_guard lock(mediaMutex_);
  if (IAudio* media = currentLocked()) {
    media->setParams(request);
  }
}

void ZQAAMChannelManager::notifyAudioOut(JParams& request, JParams*) {
  std::lock_guard provider(static_cast<IProvider&>(*this));
  int32_t notification = 0;
  AudioOutputEntry entry;
  try {
    request.get("notification", notification, true);
    request.get("equipmentName", entry.equipmentName, true);
    request.get("equipmentAddress", entry.equipmentAddress, true);
    request.get("audioOutputName", entry.audioOutputName, true);
    request.get("audioOutputChannel", entry.audioOutputChannel, true);
    request.get("audioOutputTcpPort", entry.audioOutputTcpPort, true);
  } catch (const JError& e) {
    logCaught(e);
    JLog::logf(kLevelWarning, "Missing parameter in ZQAAMChannelManager::notifyAudioOut: %s",
               e.message().c_str());
    return;
  }
  if (notification != 0) {
    if (notification == 1) {
      std::lock_guard lock(outputsMutex_);
      outputs_.erase(entry);
    }
    return;
  }
  // An output stays announced until it withdraws, whatever becomes of the
  // connection it came over: the set is bounded instead, so that no peer can
  // make every "getStat" answer grow without end.
  for (const std::string* text :
       {&entry.equipmentName, &entry.equipmentAddress, &entry.audioOutputName}) {
    if (text->size() > kMaxAudioOutputText) {
      throw JTextError("audio output not kept: a name or address is longer than " +
                       std::to_string(kMaxAudioOutputText) + " bytes");
    }
  }
  std::lock_guard lock(outputsMutex_);
  if (outputs_.size() >= kMaxAudioOutputs && !outputs_.contains(entry)) {
    throw JTextError("audio output not kept: " + std::to_string(kMaxAudioOutputs) +
                     " outputs are announced already");
  }
  outputs_.insert(entry);  // an output already there stays as it was
}

}  // namespace zq
