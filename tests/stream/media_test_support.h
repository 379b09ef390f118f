// What the media packet tests share: frames with a video or an audio frame
// header and a numbered payload, and the packets a sender cuts them into.
#pragma once

#include <cstdint>
#include <vector>

#include "stream/media_frame_cutter.h"
#include "stream/media_packet.h"

namespace zq::test {

/// A frame as a sender has it: its 40-byte video frame header and its data.
struct MediaFrame {
  VideoFrameHeader header;
  std::vector<uint8_t> data;

  /// `size` data bytes that differ from frame to frame and from byte to byte.
  static MediaFrame make(uint32_t number, size_t size, uint32_t flags = 0) {
    MediaFrame f;
    for (size_t i = 0; i < sizeof f.header.bytes; ++i) {
      f.header.bytes[i] = static_cast<uint8_t>(0xC0 + i);
    }
    f.header.setFrameNumber(number);
    f.header.setTail({flags, 0x123456789ABCull + number, 0x51u + number});
    f.data.resize(size);
    for (size_t i = 0; i < size; ++i) {
      f.data[i] = static_cast<uint8_t>(number * 7 + i * 13 + i / 251);
    }
    return f;
  }

  /// The packets of this frame as frame `sequence` of a channel of `mtu`.
  std::vector<std::vector<uint8_t>> packets(uint32_t sequence, size_t mtu) const {
    return MediaFrameCutter(sequence, header.bytes, data, mtu).allPackets();
  }
};

/// A frame as an audio provider sends it: the 16-byte audio frame header
/// (flags, time stamp, key word) and its data.
struct AudioFrame {
  MediaFrameTail tail;
  std::vector<uint8_t> data;

  /// `size` data bytes that differ from frame to frame and from byte to byte;
  /// the time stamp and key word follow the number.
  static AudioFrame make(uint32_t number, size_t size, uint32_t flags = 0) {
    AudioFrame f;
    f.tail = {flags, 0x2468ACE0135ull + number * 26, 0xA0000 + number};
    f.data.resize(size);
    for (size_t i = 0; i < size; ++i) {
      f.data[i] = static_cast<uint8_t>(number * 11 + i * 7 + i / 253);
    }
    return f;
  }

  /// The packets of this frame as frame `sequence` of a channel of `mtu`.
  std::vector<std::vector<uint8_t>> packets(uint32_t sequence, size_t mtu) const {
    uint8_t header[MediaFrameTail::kSize];
    tail.write(header);
    return MediaFrameCutter(sequence, header, data, mtu).allPackets();
  }
};

/// A packet of any words and size (the rest zeros), for malformed input.
inline std::vector<uint8_t> rawPacket(uint32_t sequence, uint32_t fragment, uint32_t count,
                                      size_t size) {
  std::vector<uint8_t> p(size);
  uint8_t words[kPacketHeaderSize];
  MediaPacketHeader{sequence, fragment, count}.write(words);
  for (size_t i = 0; i < size && i < kPacketHeaderSize; ++i) {
    p[i] = words[i];
  }
  return p;
}

}  // namespace zq::test
