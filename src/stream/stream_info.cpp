// StreamInfo: building, comparing and printing stream descriptions. Every
// field is read through bounds-checked accessors: a description received from
// a peer may be shorter than its type suggests.
#include "stream/stream_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/log.h"

namespace zq {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kAudioBlock = 16;    // Chunk, then the wave format
constexpr size_t kExtraBytes = 38;    // after cbSize
constexpr size_t kBitmapInfo = 44;    // video: the bitmap-info header
constexpr size_t kBitmapExtra = 84;   // video: biSize - 40 bytes after it
constexpr size_t kMp3ExtraSize = 12;  // wId, fdwFlags, nBlockSize, nFramesPerBlock, nCodecDelay

void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// One dump item: name, value, separator.
void item(std::string& out, std::string_view separator, std::string_view name,
          std::string_view value) {
  out += name;
  out += value;
  out += separator;
}

void item(std::string& out, std::string_view separator, std::string_view name, uint64_t value) {
  item(out, separator, name, std::to_string(value));
}

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// The same `length` bytes from `offset` in both, both long enough.
bool sameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t offset,
               size_t length) {
  if (a.size() < offset + length || b.size() < offset + length) {
    return false;
  }
  return std::memcmp(a.data() + offset, b.data() + offset, length) == 0;
}

}  // namespace

std::unique_ptr<StreamInfo> StreamInfo::fromBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    throw JTextError("StreamInfo: description shorter than its header");
  }
  const uint32_t size = static_cast<uint32_t>(bytes[12]) | static_cast<uint32_t>(bytes[13]) << 8 |
                        static_cast<uint32_t>(bytes[14]) << 16 |
                        static_cast<uint32_t>(bytes[15]) << 24;
  if (size < kHeaderSize || size > bytes.size()) {
    throw JTextError("StreamInfo: InfoSize does not match the description");
  }
  return std::unique_ptr<StreamInfo>(
      new StreamInfo(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size)));
}

std::unique_ptr<StreamInfo> StreamInfo::makePcmStreamInfo(uint32_t samplesPerSecond,
                                                          uint16_t bitsPerSample, uint16_t channels,
                                                          uint32_t samplesPerBlock) {
  std::vector<uint8_t> bytes(kPcmInfoSize, 0);
  put32(bytes, 0, kAudio);
  put32(bytes, 4, kRaw);
  put32(bytes, 8, kPcm);
  put32(bytes, 12, kPcmInfoSize);
  put32(bytes, 16, samplesPerBlock);
  put16(bytes, 20, kFormatPcm);
  put16(bytes, 22, channels);
  put32(bytes, 24, samplesPerSecond);
  put32(bytes, 28, samplesPerSecond * bitsPerSample * channels / 8);
  put16(bytes, 32, static_cast<uint16_t>(bitsPerSample * channels / 8));
  put16(bytes, 34, bitsPerSample);
  put16(bytes, 36, 0);
  return std::unique_ptr<StreamInfo>(new StreamInfo(std::move(bytes)));
}

std::unique_ptr<StreamInfo> StreamInfo::makeMp3StreamInfo(uint32_t bitRate,
                                                          uint32_t samplesPerSecond,
                                                          uint16_t channels, uint16_t frameSize) {
  constexpr uint16_t kIdMpeg = 1;
  constexpr uint32_t kPaddingOff = 2;
  std::vector<uint8_t> bytes(kMp3InfoSize, 0);
  put32(bytes, 0, kAudio);
  put32(bytes, 4, kCompressed);
  put32(bytes, 8, kMp3);
  put32(bytes, 12, kMp3InfoSize);
  put32(bytes, 16, kMp3Chunk);
  put16(bytes, 20, kFormatMp3);
  put16(bytes, 22, channels);
  put32(bytes, 24, samplesPerSecond);
  put32(bytes, 28, bitRate / 8);
  put16(bytes, 32, 1);
  put16(bytes, 34, 0);
  put16(bytes, 36, 12);
  put16(bytes, 38, kIdMpeg);
  put32(bytes, 40, kPaddingOff);
  put16(bytes, 44, frameSize);
  put16(bytes, 46, 1);
  put16(bytes, 48, 0);
  return std::unique_ptr<StreamInfo>(new StreamInfo(std::move(bytes)));
}

uint32_t StreamInfo::u32(size_t offset) const {
  if (bytes_.size() < offset + 4) {
    return 0;
  }
  return static_cast<uint32_t>(bytes_[offset]) | static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes_[offset + 3]) << 24;
}

uint16_t StreamInfo::u16(size_t offset) const {
  if (bytes_.size() < offset + 2) {
    return 0;
  }
  return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
}

const char* StreamInfo::typeName(uint32_t type) {
  switch (type) {
    case kVideo:
      return "Video";
    case kAudio:
      return "Audio";
    case kMetaData:
      return "MetaData";
    default:
      return "Unknown";
  }
}

const char* StreamInfo::subTypeName(uint32_t subType) {
  switch (subType) {
    case kRaw:
      return "Raw";
    case kTransformed:
      return "Transformed";
    case kCompressed:
      return "Compressed bitstream";
    case kJParams:
      return "JParams";
    default:
      return "Unknown";
  }
}

const char* StreamInfo::contentName(uint32_t content) {
  switch (content) {
    case kYuy2:
      return "YUY2";
    case kRgbt:
      return "RGBT";
    case kRgbq:
      return "RGBQ";
    case k565:
      return "565";
    case kWavelet97:
      return "WAVELET97";
    case kAdv601:
      return "ADV601";
    case kDwt3d:
      return "DWT3D";
    case kPcm:
      return "PCM";
    case kMp3:
      return "MP3";
    case kGpsCoords:
      return "GPS Coords";
    default:
      return "Unknown";
  }
}

uint32_t StreamInfo::streamBufferSize() const {
  if (type() == kVideo) {
    return 131072;
  }
  if (type() != kAudio) {
    return 32;
  }
  if (content() == kMp3) {
    return 1984;
  }
  if (chunk() == 0) {
    return 96032;
  }
  return blockAlign() * chunk() + 32;
}

void StreamInfo::compareWith(const StreamInfo& other) const {
  if (type() != other.type()) {
    throw JTextError("Incompatible stream: differing type");
  }
  if (subType() != other.subType()) {
    throw JTextError("Incompatible stream: differing subtype");
  }
  if (content() != other.content()) {
    throw JTextError("Incompatible stream: differing content");
  }
  if (type() == kAudio && content() != kMp3) {
    // Chunk, the whole wave format and its extra bytes.
    if (extraSize() != other.extraSize() ||
        !sameBytes(bytes_, other.bytes_, kAudioBlock, extraSize() + 24u)) {
      throw JTextError("Incompatible stream: differing audio info");
    }
    return;
  }
  if (type() != kVideo) {
    return;
  }
  if (u32(16) != other.u32(16) || u32(20) != other.u32(20)) {
    throw JTextError("Incompatible stream: differing image size");
  }
  if (u32(kBitmapInfo + 16) != other.u32(kBitmapInfo + 16)) {
    throw JTextError("Incompatible stream: differing compression algorithm");
  }
  if (content() == kAdv601 || content() == kDwt3d) {
    return;
  }
  const uint32_t biSize = u32(kBitmapInfo);
  const bool same = u16(kBitmapInfo + 14) == other.u16(kBitmapInfo + 14) &&  // biBitCount
                    u16(kBitmapInfo + 12) == other.u16(kBitmapInfo + 12) &&  // biPlanes
                    u32(kBitmapInfo + 8) == other.u32(kBitmapInfo + 8) &&    // biHeight
                    u32(kBitmapInfo + 4) == other.u32(kBitmapInfo + 4) &&    // biWidth
                    biSize == other.u32(kBitmapInfo) &&
                    (biSize <= 40 || sameBytes(bytes_, other.bytes_, kBitmapExtra, biSize - 40));
  if (!same) {
    throw JTextError("Incompatible stream: differing video info");
  }
}

void StreamInfo::checkCompatible(const StreamInfo& other) const {
  try {
    compareWith(other);
  } catch (const JError& e) {
    logCaught(e);
    std::string text = "Current stream:\r\n";
    dumpShort(text, ", ");
    text += "\r\nOther stream:\r\n";
    other.dumpShort(text, ", ");
    JLog::logf(11, "%s\r\n", text.c_str());
    throw;
  }
}

void StreamInfo::dumpShort(std::string& out, std::string_view separator) const {
  item(out, separator, "type=", typeName(type()));
  item(out, separator, "subtype=", subTypeName(subType()));
  item(out, separator, "content=", contentName(content()));
  item(out, separator, "infoSize=", infoSize());
  if (type() != kAudio) {
    return;
  }
  item(out, separator, "chunk=", chunk());
  out += "si={";
  switch (formatTag()) {
    case kFormatPcm:
      item(out, separator, "wFormatTag=", "PCM");
      break;
    case kFormatMp3:
      item(out, separator, "wFormatTag=", "MP3");
      break;
    default:
      item(out, separator, "wFormatTag=", formatTag());
      break;
  }
  item(out, separator, "nChannels=", channels());
  item(out, separator, "nSamplesPerSec=", samplesPerSecond());
  item(out, separator, "nAvgBytesPerSec=", averageBytesPerSecond());
  item(out, separator, "nBlockAlign=", blockAlign());
  item(out, separator, "wBitsPerSample=", bitsPerSample());
  item(out, separator, "cbSize=", extraSize());
  if (formatTag() == kFormatMp3 && extraSize() >= kMp3ExtraSize) {
    item(out, separator, "wId=", u16(kExtraBytes));
    item(out, separator, "fdwFlags=", u32(kExtraBytes + 2));
    item(out, separator, "nBlockSize=", u16(kExtraBytes + 6));
    item(out, separator, "nFramesPerBlock=", u16(kExtraBytes + 8));
    item(out, separator, "nCodecDelay=", u16(kExtraBytes + 10));
  } else {
    out += "Extra bytes={";
    const size_t end = std::min(bytes_.size(), kExtraBytes + extraSize());
    for (size_t i = kExtraBytes; i < end; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", bytes_[i]);
      item(out, separator, "", hex);
    }
    out += "}";
    out += separator;
  }
  out += "}";
}

void StreamInfo::dump(std::string& out, std::string_view separator) const {
  item(out, separator, "Type=", quoted(typeName(type())));
  item(out, separator, "SubType=", quoted(subTypeName(subType())));
  item(out, separator, "Content=", quoted(contentName(content())));
  item(out, separator, "InfoSize=", infoSize());
  if (type() == kAudio) {
    item(out, separator, "Chunk=", chunk());
    if (formatTag() == kFormatPcm || formatTag() == kFormatMp3) {
      item(out, separator, "Compression=", quoted(formatTag() == kFormatPcm ? "PCM" : "MP3"));
    } else {
      item(out, separator, "Compression=", formatTag());
    }
    item(out, separator, "Channels=", channels());
    item(out, separator, "BitsPerSamples=", bitsPerSample());
    item(out, separator, "SamplesPerSec=", samplesPerSecond());
  } else if (type() == kVideo) {
    // The rate, scale and format words are opaque to this system: their
    // numbers are printed as they are.
    const uint32_t numerator = u32(28);
    const uint32_t denominator = u32(32);
    item(out, separator, "Vidx=", u32(16));
    item(out, separator, "Vidy=", u32(20));
    item(out, separator, "VideoFormat=", quoted(std::to_string(u32(24))));
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.3f",
                  denominator == 0 ? 0.0 : static_cast<double>(numerator) / denominator);
    item(out, separator, "Fps=", fps);
    item(out, separator, "FpsNumerator=", numerator);
    item(out, separator, "FpsDenominator=", denominator);
    item(out, separator, "Scale=", quoted(std::to_string(u32(36))));
    item(out, separator, "Compression=", quoted(contentName(content())));
    item(out, separator, "TemporalLevel=", u32(40));
  }
}

}  // namespace zq
