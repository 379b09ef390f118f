// MediaFrameCutter: the frame-to-packets cut of the media packet format.
#include "stream/media_frame_cutter.h"

#include <algorithm>

#include "base/error.h"

namespace zq {

MediaFrameCutter::MediaFrameCutter(uint32_t frameSequence, std::span<const uint8_t> header,
                                   std::span<const uint8_t> data, size_t mtu)
    : sequence_(frameSequence), header_(header), data_(data), perPacket_(0), count_(0) {
  if (mtu <= kPacketHeaderSize) {
    throw JTextError("MediaFrameCutter: MTU too small for a packet");
  }
  if (mtu >= MAX_PACKET_SIZE) {
    throw JTextError("MediaFrameCutter: MTU reaches MAX_PACKET_SIZE");
  }
  perPacket_ = mtu - kPacketHeaderSize;
  const size_t frame = header.size() + data.size();
  // An empty frame still travels as one packet that carries nothing.
  const size_t count = std::max<size_t>(1, (frame + perPacket_ - 1) / perPacket_);
  if (count > kMaxFragmentsPerFrame) {
    throw JTextError("MediaFrameCutter: frame needs more than 512 packets");
  }
  count_ = static_cast<uint32_t>(count);
}

size_t MediaFrameCutter::packet(uint32_t index, uint8_t (&packetHeader)[kPacketHeaderSize],
                                JSocketPiece (&pieces)[kMaxPieces]) const {
  if (index >= count_) {
    throw JTextError("MediaFrameCutter: no such packet");
  }
  MediaPacketHeader{sequence_, index, count_}.write(packetHeader);
  size_t n = 0;
  pieces[n++] = {packetHeader, kPacketHeaderSize};
  // The packet's slice of the frame, [begin, end), in frame bytes.
  const size_t frame = header_.size() + data_.size();
  const size_t begin = std::min(frame, size_t{index} * perPacket_);
  const size_t end = std::min(frame, begin + perPacket_);
  if (begin < header_.size()) {
    const size_t to = std::min(end, header_.size());
    pieces[n++] = {const_cast<uint8_t*>(header_.data() + begin), to - begin};
  }
  if (end > header_.size()) {
    const size_t from = std::max(begin, header_.size()) - header_.size();
    pieces[n++] = {const_cast<uint8_t*>(data_.data() + from), end - header_.size() - from};
  }
  return n;
}

std::vector<uint8_t> MediaFrameCutter::packetBytes(uint32_t index) const {
  uint8_t packetHeader[kPacketHeaderSize];
  JSocketPiece pieces[kMaxPieces];
  const size_t n = packet(index, packetHeader, pieces);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < n; ++i) {
    const auto* at = static_cast<const uint8_t*>(pieces[i].buffer);
    bytes.insert(bytes.end(), at, at + pieces[i].length);
  }
  return bytes;
}

std::vector<std::vector<uint8_t>> MediaFrameCutter::allPackets() const {
  std::vector<std::vector<uint8_t>> packets;
  packets.reserve(count_);
  for (uint32_t i = 0; i < count_; ++i) {
    packets.push_back(packetBytes(i));
  }
  return packets;
}

}  // namespace zq
