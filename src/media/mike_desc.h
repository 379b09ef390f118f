// MikeDesc: the description of an audio source (what kind, where it is, how
// its audio is coded). The local AAM opens sources by it, it travels inside
// JParams, and it is the key under which SharedMike shares open sources.
//
// Concurrency: a plain value; one thread uses an instance at a time. Copies
// share the finished-event pointer (owned by the file source) and clone the
// stream description.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/waitable.h"
#include "rpc/serialisation.h"
#include "stream/mike.h"
#include "stream/stream_info.h"

namespace zq {

class MikeDesc : public JRPCObject {
 public:
  /// Source types; kNone is "no source".
  enum Type : int32_t { kNone = -1, kLocal = 0, kNetwork = 1, kFile = 2, kSoft = 3 };
  enum Compression : int32_t { kPcm = 0, kMp3 = 1 };
  /// Input connectors: 0 and 1 are sound-card inputs, 2 to 4 board inputs.
  enum Connector : int32_t {
    kNoConnector = -1,
    kWaveInLineIn = 0,
    kWaveInMicIn = 1,
    kPci2LineIn = 2,
    kPci2MicIn = 3,
    kPci2SpdifIn = 4,
  };
  static constexpr int32_t kMinSamplesPerBlock = 512;
  static constexpr int32_t kMaxSamplesPerBlock = 4096;
  /// The key the network port travels under: "p", 0xF4, "rt".
  static constexpr std::string_view kPortKey{"p\xF4rt", 4};

  MikeDesc();
  MikeDesc(const MikeDesc& other);
  MikeDesc& operator=(const MikeDesc& other);
  ~MikeDesc() override;

  /// Back to the defaults of construction.
  void reset();

  /// The type of a lower-case text ("local", "network", "file", "soft"); -1
  /// for anything else.
  static int32_t parseType(std::string_view text);
  /// The text of a type in either case; "" for a type that has none.
  static const char* typeText(int32_t type, bool upperCase);
  /// Connector names ("WAVEIN_LINEIN" ...); "" outside 0 ... 4.
  static const char* connectorText(int32_t connector);
  static bool isSoundCardConnector(int32_t connector) { return connector == 0 || connector == 1; }
  static bool isBoardConnector(int32_t connector) { return connector >= 2 && connector <= 4; }

  /// The sharing rule. `this` is the registered source's description and
  /// `requested` the one asked for: a local request without a connector
  /// joins a registered source of the same channel, not the other way.
  bool equals(const MikeDesc& requested) const;

  /// "Audio Source[...]" naming the source of this description.
  std::string traceName() const;

  // JRPCObject: only the type and the keys of its kind travel. Throws
  // JTextError "cannot serialise, invalid type" / "cannot deserialise,
  // invalid type" for a kind that cannot travel.
  void serialise(JRPCSerialisation& out) const override;
  void deserialise(JRPCDeserialisation& in) override;

  /// The stream description, or null.
  const StreamInfo* streamInfo() const { return streamInfo_.get(); }
  /// Takes `info` over; null throws JTextError "stream info null pointer".
  void setStreamInfo(std::unique_ptr<StreamInfo> info);
  /// A copy of `info`; null throws as above.
  void setStreamInfo(const StreamInfo* info);
  /// The PCM figures of the stream description; throws JTextError "invalid
  /// stream info pointer" without one.
  AudioFormat getAudioFormat() const;

  // Coding fields with side effects: setting an MP3 bit rate selects MP3,
  // setting a PCM figure selects PCM.
  int32_t targetBitRate() const { return targetBitRate_; }
  void setTargetBitRate(int32_t bitRate);
  int32_t samplesPerSec() const { return samplesPerSec_; }
  void setSamplesPerSec(int32_t value);
  int32_t bitsPerSample() const { return bitsPerSample_; }
  void setBitsPerSample(int32_t value);
  int32_t channels() const { return channels_; }
  void setChannels(int32_t value);
  int32_t samplesPerBlock() const { return samplesPerBlock_; }
  /// Clamped to 512 ... 4096.
  void setSamplesPerBlock(int32_t value);
  int32_t volume() const { return volume_; }
  /// Clamped to 0 ... 100.
  void setVolume(int32_t value);

  int32_t type = kNone;
  std::string host;
  int32_t proto = -1;
  int32_t port = -1;
  int32_t timeout = -1;
  int32_t accessMode = -1;
  int32_t compression = -1;
  int32_t inputConnector = kNoConnector;
  int32_t audioClass = -1;
  int32_t channel = -1;
  // Carried and compared with the description; the capture code does not
  // use them.
  bool boardFlag1 = false;
  bool boardFlag2 = true;
  int32_t preAmplificationGain = 0;
  std::string fileName;
  // File playing state: seconds played, the current frame and the frame
  // count of the current file.
  double playPosition = 0;
  int64_t playOffset = 0;
  int64_t playLength = 0;
  bool looping = true;
  /// Owned by the file source; set when a list without looping has ended.
  JFlag* finishedEvent = nullptr;
  std::vector<std::vector<uint8_t>> frames;
  int32_t period = 0;

 private:
  std::unique_ptr<StreamInfo> streamInfo_;
  int32_t targetBitRate_ = -1;
  int32_t samplesPerSec_ = -1;
  int32_t bitsPerSample_ = -1;
  int32_t channels_ = -1;
  int32_t samplesPerBlock_ = kMinSamplesPerBlock;
  int32_t volume_ = 25;
};

}  // namespace zq
