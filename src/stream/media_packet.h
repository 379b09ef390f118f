// The media packet format shared by every sender and receiver of frames on
// UDP, IP multicast and ATM: the 12-byte packet header, the audio and video
// frame headers with their flags, and the disconnection packets.
//
// Every word on the wire is a 32-bit unsigned integer, least significant
// byte first. A frame (frame header, then frame data) travels as 1 to 512
// packets; every packet but the last of its frame is exactly MTU bytes long
// and carries MTU - 12 bytes of the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zq {

/// No packet reaches this size.
inline constexpr uint32_t MAX_PACKET_SIZE = 65536;
/// The most packets a frame may be cut into.
inline constexpr uint32_t kMaxFragmentsPerFrame = 512;
inline constexpr size_t kPacketHeaderSize = 12;
/// The frame sequence number of a disconnection packet.
inline constexpr uint32_t kDisconnectionFrame = 0xFFFFFFFFu;

/// Frame header flags. The sender ends its stream with this frame.
inline constexpr uint32_t SVIDEOFRAMEHEADER_FLAGS_DISCONNECT = 0x40000000u;
/// A pause frame: nothing to publish, and the receiver's time-outs rest
/// until the next ordinary frame.
inline constexpr uint32_t SVIDEOFRAMEHEADER_FLAGS_PAUSE = 0x80000000u;

inline uint32_t loadLittle32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

inline void storeLittle32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

/// The first 12 bytes of every packet.
struct MediaPacketHeader {
  uint32_t frameSequence = 0;     // kDisconnectionFrame on a disconnection packet
  uint32_t fragmentSequence = 0;  // 0-based index within the frame
  uint32_t fragmentCount = 0;     // 1 to 512

  static MediaPacketHeader read(const uint8_t* at) {
    return {loadLittle32(at), loadLittle32(at + 4), loadLittle32(at + 8)};
  }
  void write(uint8_t* at) const {
    storeLittle32(at, frameSequence);
    storeLittle32(at + 4, fragmentSequence);
    storeLittle32(at + 8, fragmentCount);
  }
};

/// A disconnection packet: the unicast kind (id 0) ends an ATM unicast
/// channel; the multicast kind carries the teardown id of the one leaf that
/// is to end.
inline MediaPacketHeader disconnectionPacket(uint32_t teardownId = 0) {
  return {kDisconnectionFrame, teardownId, 0};
}

/// The tail both frame headers end with: flags, the 63-bit time stamp of the
/// frame's StreamFrameHeader (low word first) and its key word.
struct MediaFrameTail {
  static constexpr size_t kSize = 16;

  uint32_t flags = 0;
  uint64_t timeStamp = 0;
  uint32_t keyWord = 0;

  static MediaFrameTail read(const uint8_t* at) {
    return {loadLittle32(at), uint64_t{loadLittle32(at + 4)} | uint64_t{loadLittle32(at + 8)} << 32,
            loadLittle32(at + 12)};
  }
  void write(uint8_t* at) const {
    storeLittle32(at, flags);
    storeLittle32(at + 4, static_cast<uint32_t>(timeStamp));
    storeLittle32(at + 8, static_cast<uint32_t>(timeStamp >> 32) & 0x7FFFFFFFu);
    storeLittle32(at + 12, keyWord);
  }
};

/// The audio frame header: the tail alone.
inline constexpr size_t kAudioFrameHeaderSize = MediaFrameTail::kSize;

/// The video frame header: 24 bytes of video fields, opaque here but for the
/// frame number at bytes 4 to 7, then the tail.
struct VideoFrameHeader {
  static constexpr size_t kSize = 40;
  static constexpr size_t kFrameNumberOffset = 4;
  static constexpr size_t kTailOffset = 24;

  uint8_t bytes[kSize] = {};

  uint32_t frameNumber() const { return loadLittle32(bytes + kFrameNumberOffset); }
  void setFrameNumber(uint32_t number) { storeLittle32(bytes + kFrameNumberOffset, number); }
  MediaFrameTail tail() const { return MediaFrameTail::read(bytes + kTailOffset); }
  void setTail(const MediaFrameTail& tail) { tail.write(bytes + kTailOffset); }
};
static_assert(sizeof(VideoFrameHeader) == VideoFrameHeader::kSize);

}  // namespace zq
