// The audio media objects and their sucker threads.
#include "media/audio_media.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "audio/mixer.h"
#include "audio/mp3.h"
#include "base/error.h"
#include "stream/media_packet.h"
#include "stream/stream_frame_header.h"

namespace zq {
namespace {

// The mixer of the wave-input device a description captures from (its
// channel, counting from 1), not always the first card's.
std::unique_ptr<JMixer> mixerOf(int32_t channel) {
  return JMixer::open(channel - 1);
}

// The mixer line a sound-card connector records from.
int lineOf(int32_t connector) {
  return connector == MikeDesc::kWaveInLineIn ? JMixer::kLineIn : JMixer::kMicrophone;
}

// A board's reply to a "?" command: a decimal integer; anything else reads
// as 0.
int32_t boardNumber(const std::string& reply) {
  char* end = nullptr;
  const long value = std::strtol(reply.c_str(), &end, 10);
  return end == reply.c_str() ? 0 : static_cast<int32_t>(value);
}

MikeDesc checkedDesc(const MikeDesc& desc, int32_t type, const char* error) {
  if (desc.type != type) {
    throw JTextError(error);
  }
  return desc;
}

MikeDesc liveDesc(int32_t channel, int32_t connector, bool boardFlag1, bool boardFlag2) {
  MikeDesc d;
  d.type = MikeDesc::kLocal;
  d.channel = channel;
  d.inputConnector = connector;
  d.boardFlag1 = boardFlag1;
  d.boardFlag2 = boardFlag2;
  return d;
}

MikeDesc fileDesc(const std::string& files) {
  MikeDesc d;
  d.type = MikeDesc::kFile;
  d.fileName = files;
  return d;
}

// A soft description of one frame; the coding figures follow the stream
// description so that the frame rate and size can be worked out.
MikeDesc softDesc(const StreamInfo& info, const uint8_t* frame, size_t length, int32_t period) {
  MikeDesc d;
  d.type = MikeDesc::kSoft;
  d.setStreamInfo(&info);
  if (info.formatTag() == StreamInfo::kFormatPcm) {
    d.setSamplesPerSec(static_cast<int32_t>(info.samplesPerSecond()));
    d.setBitsPerSample(info.bitsPerSample());
    d.setChannels(info.channels());
    if (info.bitsPerSample() != 0 && info.channels() != 0) {
      d.setSamplesPerBlock(
          static_cast<int32_t>(length * 8 / info.bitsPerSample() / info.channels()));
    }
  } else {
    d.setTargetBitRate(static_cast<int32_t>(info.averageBytesPerSecond() * 8));
  }
  if (frame != nullptr) {
    d.frames.emplace_back(frame, frame + length);
  }
  d.period = period;
  return d;
}

// A frame as a channel gets it: `header` filled (flags 0, the time stamp
// without its flag bit, low word first, then the key word, little-endian),
// then the frame's bytes.
void framePieces(const StreamFrameHeader& h, uint8_t* header, GatherPiece* pieces) {
  const uint64_t stamp = h.timeStamp() & ~StreamFrameHeader::kTimeStampFlag;
  storeLittle32(header, 0);
  storeLittle32(header + 4, static_cast<uint32_t>(stamp));
  storeLittle32(header + 8, static_cast<uint32_t>(stamp >> 32));
  storeLittle32(header + 12, h.keyWord);
  pieces[0] = {header, IAudioSucker::kHeaderSize};
  pieces[1] = {h.payload(), h.size};
}

}  // namespace

// ---- IAudioSucker ---------------------------------------------------------------

IAudioSucker::IAudioSucker(const SuckerParams& params, IAudio* media, IMediaSuckerNotify* channel)
    : media_(media), reader_(0), channel_(channel), params_(params) {
  // Publications and the stop wake the reader; the poll is only a backstop,
  // so an idle stream costs its suckers next to nothing.
  reader_.setPollInterval(kIdlePollMs);
}

IAudioSucker::~IAudioSucker() {
  stopSucker();
}

int IAudioSucker::setSuckerParams(const SuckerParams& params) {
  params_ = params;
  return SuckerParams::kSize;
}

int IAudioSucker::getSuckerParams(SuckerParams& params) const {
  if (params.recordSize == 0) {
    return SuckerParams::kSize;
  }
  if (params.recordSize < static_cast<uint32_t>(SuckerParams::kSize)) {
    return -1;
  }
  params.flags = params_.flags;
  params.skip = params_.skip;
  return SuckerParams::kSize;
}

void IAudioSucker::startSucker() {
  media_->attachReader(reader_);
  start(JThread::kTimeCritical);
}

void IAudioSucker::stopSucker() {
  stop();  // the thread unlocked the reader as it ended (after)
  media_->detachReader(reader_);
}

void IAudioSucker::before() {}

void IAudioSucker::after() {
  reader_.unlock();
}

void IAudioSucker::iterate() {
  try {
    uint8_t* frame = reader_.stream() != nullptr ? reader_.readNext(&stopping_) : nullptr;
    if (frame == nullptr) {
      idle(kNoFrameSleepMs);
      return;
    }
    framePieces(*frameHeaderOf(frame), header_, pieces_);
    channel_->onFrame(pieces_, 2);
    framesSent_.fetch_add(1, std::memory_order_relaxed);
    // The frame is sent: leave the reader's mutex (the frame itself stays
    // held until the next read), so that no lock is held between two
    // iterations.
    reader_.unlock();
  } catch (const JError& e) {
    logCaught(e);
  }
}

void IAudioSucker::wakeForStop() {
  // The reader's stream stays put while the sucker runs: only startSucker
  // and stopSucker, on the owner's thread, attach and detach it.
  if (JStream* stream = reader_.stream()) {
    stream->wakeReaders();
  }
}

// ---- IAudioTap ------------------------------------------------------------------

IAudioTap::IAudioTap(JStream* stream, IMediaSuckerNotify* channel)
    : stream_(stream), channel_(channel) {
  if (stream_ != nullptr) {
    stream_->addListener(this);
  }
}

IAudioTap::~IAudioTap() {
  if (stream_ != nullptr) {
    stream_->removeListener(this);
  }
}

void IAudioTap::onPublication(const uint8_t* frame) {
  GatherPiece pieces[2];
  framePieces(*reinterpret_cast<const StreamFrameHeader*>(frame), header_, pieces);
  // The publishing thread must go on whatever the channel makes of it.
  try {
    channel_->onFrame(pieces, 2);
  } catch (const JError& e) {
    logCaught(e);
  }
}

// ---- IAudio ---------------------------------------------------------------------

IAudio::IAudio(const MikeDesc& desc, std::string_view traceName)
    : JTraceableObject(traceName), desc_(desc) {}

IAudio::~IAudio() {
  disconnect();
}

SharedMike* IAudio::source() const {
  std::lock_guard lock(mutex_);
  return mike_;
}

void IAudio::refreshLocked() {
  if (mike_ != nullptr && mike_->getStreamInfo() != nullptr) {
    desc_ = mike_->getDesc();
  }
}

int IAudio::frameSizeLocked() const {
  switch (desc_.compression) {
    case MikeDesc::kPcm:
      return (desc_.samplesPerBlock() * desc_.channels() * desc_.bitsPerSample() + 7) / 8;
    case MikeDesc::kMp3: {
      uint32_t sampleRate = 0;
      int version = 0;
      const uint32_t rate = static_cast<uint32_t>(desc_.targetBitRate());
      if (desc_.targetBitRate() <= 0 || !lookupBitRate(rate, &sampleRate, nullptr, &version)) {
        throw JTextError("bit rate not supported");
      }
      uint32_t size = 0;
      frameGeometry(sampleRate, rate, version, nullptr, &size);
      return static_cast<int>(size);
    }
    default:
      throw JTextError("invalid compression mode");
  }
}

int IAudio::getMediaInfo(MediaInfo& info) {
  if (info.recordSize == 0) {
    return MediaInfo::kFullSize;
  }
  if (info.recordSize < static_cast<uint32_t>(MediaInfo::kBaseSize)) {
    return -1;
  }
  std::lock_guard lock(mutex_);
  info.type = MediaInfo::kAudio;
  info.streamInfo = mike_ != nullptr ? mike_->getStreamInfo() : nullptr;
  if (info.streamInfo == nullptr && desc_.streamInfo() != nullptr) {
    info.streamInfo = std::make_unique<StreamInfo>(*desc_.streamInfo());
  }
  // The answer is what the whole record needs; the size says what was filled.
  if (info.recordSize >= static_cast<uint32_t>(MediaInfo::kFullSize)) {
    info.desc = std::make_unique<MikeDesc>(desc_);
    info.recordSize = MediaInfo::kFullSize;
  } else {
    info.recordSize = MediaInfo::kBaseSize;
  }
  return MediaInfo::kFullSize;
}

std::unique_ptr<IMediaSucker> IAudio::createSucker(IMediaSuckerNotify* channel,
                                                   const SuckerParams& params) {
  return std::make_unique<IAudioSucker>(params, this, channel);
}

std::unique_ptr<IMediaTap> IAudio::createTap(IMediaSuckerNotify* channel) {
  return std::make_unique<IAudioTap>(getStream(), channel);
}

int IAudio::getMaxFrameSize() {
  std::lock_guard lock(mutex_);
  return frameSizeLocked();
}

int IAudio::getFrameRate() {
  std::lock_guard lock(mutex_);
  const int size = frameSizeLocked();
  if (desc_.compression == MikeDesc::kPcm) {
    const double block = desc_.samplesPerBlock();
    return block > 0 ? static_cast<int>(std::lround(desc_.samplesPerSec() / block)) : 0;
  }
  return static_cast<int>(std::lround(desc_.targetBitRate() / 8.0 / size));
}

int IAudio::getFrameDuration() {
  std::lock_guard lock(mutex_);
  const int size = frameSizeLocked();
  if (desc_.compression == MikeDesc::kPcm) {
    const double rate = desc_.samplesPerSec();
    return rate > 0 ? static_cast<int>(std::lround(desc_.samplesPerBlock() * 1000.0 / rate)) : 0;
  }
  return static_cast<int>(std::lround(size * 8000.0 / desc_.targetBitRate()));
}

void IAudio::connect(LinkNotifier* notifier, uint32_t context, uint32_t word, bool noCallback) {
  MikeDesc desc;
  {
    std::lock_guard lock(mutex_);
    if (mike_ != nullptr) {
      return;
    }
    desc = desc_;
  }
  // The source is opened without this media's mutex: its open tells the
  // notifier at once, and a notifier may reach back into this media (a
  // provider binding its channels to it).
  SharedMike* mike = SharedMike::acquire(desc);
  if (mike == nullptr) {
    throw JTextError("cannot create mike");
  }
  int32_t user = -1;
  try {
    mike->open(user, notifier, context, word, 0, noCallback);
    if (noCallback && mike->getStreamInfo() == nullptr) {
      throw JTextError("cannot connect mike");
    }
  } catch (...) {
    if (user != -1) {
      mike->close(user);
    }
    SharedMike::release(mike);
    throw;
  }
  {
    std::lock_guard lock(mutex_);
    if (mike_ == nullptr) {
      if (noCallback) {
        desc_ = mike->getDesc();
      }
      mike_ = mike;
      userId_ = user;
      return;
    }
  }
  // Another connect bound the media meanwhile: this user is one too many.
  mike->close(user);
  SharedMike::release(mike);
}

void IAudio::disconnect() {
  SharedMike* mike = nullptr;
  int32_t user = -1;
  {
    std::lock_guard lock(mutex_);
    std::swap(mike, mike_);
    std::swap(user, userId_);
  }
  // Closed without this media's mutex, as connect opens.
  if (mike != nullptr) {
    mike->close(user);
    SharedMike::release(mike);
  }
}

bool IAudio::isConnected() {
  std::lock_guard lock(mutex_);
  return mike_ != nullptr && mike_->isOpen();
}

void IAudio::getDesc(MikeDesc& out) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  out = desc_;
}

void IAudio::attachReader(StreamClient& reader) {
  fanOut_.attach(reader, getStream());
}

void IAudio::detachReader(StreamClient& reader) {
  fanOut_.detach(reader);
}

JStream* IAudio::getStream() {
  std::lock_guard lock(mutex_);
  return mike_ != nullptr ? mike_->stream() : nullptr;
}

void IAudio::getParams(JParams& out) {
  std::lock_guard lock(mutex_);
  std::unique_ptr<StreamInfo> info = mike_ != nullptr ? mike_->getStreamInfo() : nullptr;
  if (info == nullptr && desc_.streamInfo() != nullptr) {
    info = std::make_unique<StreamInfo>(*desc_.streamInfo());
  }
  if (info == nullptr) {
    return;
  }
  if (info->formatTag() == StreamInfo::kFormatPcm) {
    out.set("Compression", "PCM");
    out.set("Channels", static_cast<int32_t>(info->channels()));
    out.set("BitsPerSamples", static_cast<int32_t>(info->bitsPerSample()));
    out.set("SamplesPerSec", static_cast<int32_t>(info->samplesPerSecond()));
  } else {
    out.set("Compression", "MP3");
    out.set("TargetBitRate", desc_.targetBitRate() > 0
                                 ? desc_.targetBitRate()
                                 : static_cast<int32_t>(info->averageBytesPerSecond() * 8));
  }
}

void IAudio::getStreamInfoParams(JParams& out) {
  std::lock_guard lock(mutex_);
  std::unique_ptr<StreamInfo> info = mike_ != nullptr ? mike_->getStreamInfo() : nullptr;
  const StreamInfo* shown = info != nullptr ? info.get() : desc_.streamInfo();
  if (shown != nullptr) {
    out.set("StreamInfo", shown->bytes().data(), shown->bytes().size());
  }
}

// ---- AudioLive ------------------------------------------------------------------

AudioLive::AudioLive(const MikeDesc& desc)
    : IAudio(checkedDesc(desc, MikeDesc::kLocal, "invalid camera desc type"), "AudioLive"),
      initial_(desc) {}

AudioLive::AudioLive(int32_t channel, int32_t connector, bool boardFlag1, bool boardFlag2,
                     int32_t samplesPerSec, int32_t bitsPerSample, int32_t channels,
                     int32_t samplesPerBlock)
    : AudioLive([&] {
        MikeDesc d = liveDesc(channel, connector, boardFlag1, boardFlag2);
        d.setSamplesPerSec(samplesPerSec);
        d.setBitsPerSample(bitsPerSample);
        d.setChannels(channels);
        d.setSamplesPerBlock(samplesPerBlock);
        return d;
      }()) {}

AudioLive::AudioLive(int32_t channel, int32_t connector, bool boardFlag1, bool boardFlag2,
                     int32_t targetBitRate)
    : AudioLive([&] {
        MikeDesc d = liveDesc(channel, connector, boardFlag1, boardFlag2);
        d.setTargetBitRate(targetBitRate);
        return d;
      }()) {}

void AudioLive::connect(LinkNotifier* notifier, uint32_t context, uint32_t word, bool noCallback) {
  int32_t connector;
  int32_t volume;
  int32_t channel;
  {
    std::lock_guard lock(mutex_);
    connector = desc_.inputConnector;
    volume = desc_.volume();
    channel = desc_.channel;
  }
  if (MikeDesc::isSoundCardConnector(connector)) {
    // A mixer that cannot be opened does not keep the input from recording
    // at the level it has.
    try {
      std::unique_ptr<JMixer> mixer = mixerOf(channel);
      mixer->selectRecordingSource(lineOf(connector));
      mixer->setLineVolume(lineOf(connector), volume);
    } catch (const JError& e) {
      logCaught(e);
    }
  }
  IAudio::connect(notifier, context, word, noCallback);
}

int32_t AudioLive::quasiPeakDb(uint32_t level) {
  const double l = level == 0 ? 1.0 : static_cast<double>(level);
  return static_cast<int32_t>(20.0 * std::log10(l) - 20.0 * std::log10(32767.0));
}

void AudioLive::getParams(JParams& out) {
  IAudio::getParams(out);
  std::lock_guard lock(mutex_);
  out.set("InputConnector", MikeDesc::connectorText(desc_.inputConnector));
  out.set("Channel", desc_.channel);
  out.set("PreAmplificationGain", desc_.preAmplificationGain);
}

std::string AudioLive::boardCommand(const std::string& command) {
  SharedMike* mike = source();
  return mike != nullptr ? mike->control(command) : std::string();
}

int AudioLive::setParams(const JParams& in) {
  std::string connectorName;
  if (in.get("InputConnector", connectorName, false)) {
    const int32_t wanted = connectorName == "WAVEIN_LINEIN"  ? MikeDesc::kWaveInLineIn
                           : connectorName == "WAVEIN_MICIN" ? MikeDesc::kWaveInMicIn
                                                             : MikeDesc::kNoConnector;
    int32_t current;
    int32_t channel;
    {
      std::lock_guard lock(mutex_);
      current = desc_.inputConnector;
      channel = desc_.channel;
    }
    if (wanted != MikeDesc::kNoConnector && wanted != current) {
      try {
        std::unique_ptr<JMixer> mixer = mixerOf(channel);
        mixer->selectRecordingSource(lineOf(wanted));
        if (mixer->isSelected(lineOf(wanted))) {
          std::lock_guard lock(mutex_);
          desc_.inputConnector = wanted;
          desc_.setVolume(mixer->lineVolume(lineOf(wanted)));
        }
      } catch (const JError& e) {
        logCaught(e);
      }
    }
  }
  int32_t connector;
  int32_t channel;
  {
    std::lock_guard lock(mutex_);
    connector = desc_.inputConnector;
    channel = desc_.channel;
  }
  if (MikeDesc::isSoundCardConnector(connector)) {
    int32_t volume = 0;
    if (in.get("InputVolume", volume, false)) {
      volume = std::clamp(volume, 0, 100);
      try {
        mixerOf(channel)->setLineVolume(lineOf(connector), volume);
      } catch (const JError& e) {
        logCaught(e);
      }
      std::lock_guard lock(mutex_);
      desc_.setVolume(volume);
    }
  } else if (MikeDesc::isBoardConnector(connector)) {
    int32_t gain = 0;
    if (in.get("PreAmplificationGain", gain, false) && gain >= 0 && gain <= 15) {
      const std::string value = std::to_string(gain);
      if (connector == MikeDesc::kPci2LineIn) {
        boardCommand("Quorvanta2.MAS3587.Left Amplifier Gain=" + value);
        boardCommand("Quorvanta2.MAS3587.Right Amplifier Gain=" + value);
      } else if (connector == MikeDesc::kPci2MicIn) {
        boardCommand("Quorvanta2.MAS3587.Micro Amplifier Gain=" + value);
      }
      std::lock_guard lock(mutex_);
      desc_.preAmplificationGain = gain;
    }
    int32_t volume = 0;
    if (in.get("Volume", volume, false) && volume >= -115 && volume <= 12) {
      boardCommand("Quorvanta2.MAS3587.Volume=" + std::to_string(volume));
    }
  }
  return 0;
}

void AudioLive::getStat(JParams& out) {
  int32_t connector;
  int32_t gain;
  int32_t channel;
  {
    std::lock_guard lock(mutex_);
    channel = desc_.channel;
    const int32_t kbits =
        desc_.compression == MikeDesc::kPcm
            ? desc_.channels() * desc_.bitsPerSample() * desc_.samplesPerSec() / 1000
            : desc_.targetBitRate() / 1000;
    out.set("Bandwidth", kbits);
    connector = desc_.inputConnector;
    gain = desc_.preAmplificationGain;
  }
  if (MikeDesc::isSoundCardConnector(connector)) {
    try {
      const int volume = mixerOf(channel)->lineVolume(lineOf(connector));
      if (volume >= 0) {
        out.set("InputVolume", static_cast<int32_t>(volume));
        std::lock_guard lock(mutex_);
        desc_.setVolume(volume);
      }
    } catch (const JError& e) {
      logCaught(e);
    }
  } else if (MikeDesc::isBoardConnector(connector)) {
    out.set("Volume", boardNumber(boardCommand("Quorvanta2.MAS3587.Volume?")));
    out.set("PreAmplificationGain", gain);
    const auto peaks = static_cast<uint32_t>(
        boardNumber(boardCommand("Quorvanta2.MAS3587.Input Quasi-Peak Left-Right?")));
    out.set("QuasiPeakLeft", quasiPeakDb(peaks & 0x7FFF));
    out.set("QuasiPeakRight", quasiPeakDb((peaks >> 16) & 0x7FFF));
  }
}

// ---- AudioFile ------------------------------------------------------------------

AudioFile::AudioFile(const MikeDesc& desc)
    : IAudio(checkedDesc(desc, MikeDesc::kFile, "invalid Mike desc type"), "AudioFile"),
      files_(desc.fileName) {}

AudioFile::AudioFile(const std::string& files) : AudioFile(fileDesc(files)) {}

void AudioFile::getParams(JParams& out) {
  IAudio::getParams(out);
  out.set("Files", files_);
}

void AudioFile::getStreamInfoParams(JParams& out) {
  IAudio::getStreamInfoParams(out);
  out.set("Files", files_);
}

void AudioFile::getStat(JParams& out) {
  std::lock_guard lock(mutex_);
  // The source's description lists its files from the one playing now.
  const MikeDesc now = mike_ != nullptr ? mike_->getDesc() : desc_;
  out.set("CurrentFile", now.fileName.substr(0, now.fileName.find(',')));
  const StreamInfo* info = now.streamInfo();
  out.set("BitRate", static_cast<int32_t>(info != nullptr ? info->averageBytesPerSecond() * 8 : 0));
}

// ---- AudioSoft ------------------------------------------------------------------

AudioSoft::AudioSoft(const MikeDesc& desc)
    : IAudio(checkedDesc(desc, MikeDesc::kSoft, "invalid mike desc type"), "AudioSoft") {}

AudioSoft::AudioSoft(const StreamInfo& info, const uint8_t* frame, size_t length, int32_t period)
    : AudioSoft(softDesc(info, frame, length, period)) {}

int AudioSoft::getMaxFrameSize() {
  std::lock_guard lock(mutex_);
  int largest = -1;
  for (const std::vector<uint8_t>& f : desc_.frames) {
    largest = std::max(largest, static_cast<int>(f.size()));
  }
  return largest;
}

}  // namespace zq
