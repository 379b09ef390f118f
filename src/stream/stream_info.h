// StreamInfo: what a stream carries (audio or video, codec, format), kept as
// the raw bytes that are copied, stored and sent over RPC, with the
// compatibility test that decides whether two streams are interchangeable
// and the two text dumps.
//
// Layout, little-endian: Type, SubType, Content, InfoSize (u32 each), then
// for audio Chunk (u32) and a wave format at offset 20 (wFormatTag u16,
// nChannels u16, nSamplesPerSec u32, nAvgBytesPerSec u32, nBlockAlign u16,
// wBitsPerSample u16, cbSize u16) with cbSize extra bytes at 38; for video
// Vidx, Vidy (u32), 20 bytes of rate, scale and format fields, and a 40-byte
// bitmap-info header at 44 with biSize - 40 extra bytes after it.
//
// Concurrency: none; a StreamInfo is used by one thread at a time (JStream
// guards the one it owns).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zq {

class StreamInfo {
 public:
  enum Type : uint32_t { kVideo = 1, kAudio = 2, kMetaData = 4 };
  enum SubType : uint32_t { kRaw = 1, kTransformed = 2, kCompressed = 3, kJParams = 4 };
  enum Content : uint32_t {
    kYuy2 = 1,
    kRgbt = 2,
    kRgbq = 3,
    k565 = 4,
    kWavelet97 = 5,
    kAdv601 = 6,
    kDwt3d = 7,
    kPcm = 1001,
    kMp3 = 1002,
    kGpsCoords = 2001,
  };
  static constexpr uint16_t kFormatPcm = 1;
  static constexpr uint16_t kFormatMp3 = 85;
  /// The size of a PCM description (the fixed part of every description).
  static constexpr uint32_t kPcmInfoSize = 84;
  /// The size of an MP3 description: the PCM part with the 12 bytes of the
  /// MP3 wave format (wID, fdwFlags, nBlockSize, nFramesPerBlock,
  /// nCodecDelay) at offset 38, padded.
  static constexpr uint32_t kMp3InfoSize = 96;
  /// The samples per block that an MP3 description states, whatever the
  /// frame geometry: room for the longest frame of any supported bit rate.
  static constexpr uint32_t kMp3Chunk = 1952;

  /// A description of `bytes` (its InfoSize is taken from the bytes, and
  /// bytes beyond it are dropped). Throws JTextError when the bytes are
  /// fewer than 16 or than the InfoSize they state.
  static std::unique_ptr<StreamInfo> fromBytes(std::span<const uint8_t> bytes);

  /// The 84-byte PCM description: Type 2, SubType 1, Content 1001.
  static std::unique_ptr<StreamInfo> makePcmStreamInfo(uint32_t samplesPerSecond,
                                                       uint16_t bitsPerSample, uint16_t channels,
                                                       uint32_t samplesPerBlock);
  /// The 96-byte MP3 description of a coded stream: Type 2, SubType 3,
  /// Content 1002, Chunk 1952, format tag 85, nAvgBytesPerSec bit rate / 8,
  /// nBlockAlign 1, no bits per sample, MPEG-1 layer III id, padding off,
  /// one frame of `frameSize` bytes per block, no codec delay.
  static std::unique_ptr<StreamInfo> makeMp3StreamInfo(uint32_t bitRate, uint32_t samplesPerSecond,
                                                       uint16_t channels, uint16_t frameSize);

  uint32_t type() const { return u32(0); }
  uint32_t subType() const { return u32(4); }
  uint32_t content() const { return u32(8); }
  uint32_t infoSize() const { return static_cast<uint32_t>(bytes_.size()); }
  /// The InfoSize raw bytes: what is copied and sent.
  std::span<const uint8_t> bytes() const { return bytes_; }

  // Audio fields (0 where the description is too short to hold them).
  uint32_t chunk() const { return u32(16); }
  uint16_t formatTag() const { return u16(20); }
  uint16_t channels() const { return u16(22); }
  uint32_t samplesPerSecond() const { return u32(24); }
  uint32_t averageBytesPerSecond() const { return u32(28); }
  uint16_t blockAlign() const { return u16(32); }
  uint16_t bitsPerSample() const { return u16(34); }
  uint16_t extraSize() const { return u16(36); }
  // MP3 wave format fields (0 unless the description holds them).
  uint16_t mp3Id() const { return u16(38); }
  uint32_t mp3Flags() const { return u32(40); }
  uint16_t mp3BlockSize() const { return u16(44); }

  /// The buffer size a stream of this description needs: 131072 for video,
  /// 1984 for MP3 audio, nBlockAlign x Chunk + 32 for other audio (96032
  /// when Chunk is 0), 32 for any other type.
  uint32_t streamBufferSize() const;

  /// Returns when `other` describes an interchangeable stream; otherwise
  /// logs the error and both descriptions and throws JTextError
  /// ("Incompatible stream: ...").
  void checkCompatible(const StreamInfo& other) const;

  /// The long form (Type="Audio", ...) and the short form (type=Audio, ...),
  /// each item followed by `separator`, appended to `out`.
  void dump(std::string& out, std::string_view separator) const;
  void dumpShort(std::string& out, std::string_view separator) const;

  static const char* typeName(uint32_t type);
  static const char* subTypeName(uint32_t subType);
  static const char* contentName(uint32_t content);

 private:
  explicit StreamInfo(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  void compareWith(const StreamInfo& other) const;
  uint32_t u32(size_t offset) const;
  uint16_t u16(size_t offset) const;

  std::vector<uint8_t> bytes_;
};

}  // namespace zq
