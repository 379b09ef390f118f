// MediaFrameCutter: the sender's side of the packet format. It cuts one frame
// (a frame header and the frame data) into the packets of a channel's MTU,
// each described as gather pieces that point into the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/socket.h"
#include "stream/media_packet.h"

namespace zq {

class MediaFrameCutter {
 public:
  /// The most pieces one packet needs: packet header, frame header, data.
  static constexpr size_t kMaxPieces = 3;

  /// Cuts the frame `header` + `data` (both kept by the caller for as long
  /// as the cutter is used) into packets of at most `mtu` bytes. Throws
  /// JTextError when the MTU leaves no room for frame bytes (below 13), when
  /// a packet would reach MAX_PACKET_SIZE, or when the frame needs more than
  /// 512 packets.
  MediaFrameCutter(uint32_t frameSequence, std::span<const uint8_t> header,
                   std::span<const uint8_t> data, size_t mtu);

  /// Frame bytes per packet but the last: MTU - 12.
  size_t bytesPerPacket() const { return perPacket_; }
  uint32_t fragmentCount() const { return count_; }

  /// Packet `index` as gather pieces for JSocket::writev: its 12-byte header
  /// (written into `packetHeader`, which must stay alive while the pieces
  /// are used) and the slices of the frame it carries. Returns the number of
  /// pieces (1 to 3). Throws JTextError for an index beyond the count.
  size_t packet(uint32_t index, uint8_t (&packetHeader)[kPacketHeaderSize],
                JSocketPiece (&pieces)[kMaxPieces]) const;

  /// Packet `index` as one byte string (a copy).
  std::vector<uint8_t> packetBytes(uint32_t index) const;
  /// Every packet of the frame, in order.
  std::vector<std::vector<uint8_t>> allPackets() const;

 private:
  uint32_t sequence_;
  std::span<const uint8_t> header_;
  std::span<const uint8_t> data_;
  size_t perPacket_;
  uint32_t count_;
};

}  // namespace zq
