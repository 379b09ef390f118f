// StreamFrameHeader: the 32 bytes at the start of every stream buffer, before
// the frame's payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

struct StreamFrameHeader {
  /// Bit 63 of the time stamp is a flag that setTimeStamp keeps.
  static constexpr uint64_t kTimeStampFlag = uint64_t{1} << 63;

  uint32_t size;     // payload bytes
  uint32_t keyWord;  // the frame's key
  uint32_t timeLow;  // time stamp, low word first
  uint32_t timeHigh;
  uint32_t unused[4];

  uint64_t timeStamp() const { return (uint64_t{timeHigh} << 32) | timeLow; }
  /// Replaces the low 63 bits of the time stamp.
  void setTimeStamp(uint64_t stamp) {
    const uint64_t kept = (timeStamp() & kTimeStampFlag) | (stamp & ~kTimeStampFlag);
    timeLow = static_cast<uint32_t>(kept);
    timeHigh = static_cast<uint32_t>(kept >> 32);
  }
  uint8_t* payload() { return reinterpret_cast<uint8_t*>(this) + sizeof(StreamFrameHeader); }
  const uint8_t* payload() const {
    return reinterpret_cast<const uint8_t*>(this) + sizeof(StreamFrameHeader);
  }
};
static_assert(sizeof(StreamFrameHeader) == 32);

/// The frame header at the start of a stream buffer.
inline StreamFrameHeader* frameHeaderOf(uint8_t* buffer) {
  return reinterpret_cast<StreamFrameHeader*>(buffer);
}

}  // namespace zq
