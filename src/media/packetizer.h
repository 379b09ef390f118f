// The packetizers of the data channels: how a frame (a list of pieces) is cut
// into datagrams of at most MTU bytes, each with the 12-byte packet header of
// media_packet.h (frame number, packet index, packet count). Receivers put
// frames together again with their own reassembly (stream/net_mike2.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/media.h"
#include "net/socket.h"

namespace zq {

/// Concurrency: one thread at a time (a channel's sucker thread, or the
/// channel's owner while the sucker is stopped).
class IProviderPacketizer {
 public:
  virtual ~IProviderPacketizer() = default;

  /// Sends on `sink` (not owned) in datagrams of at most `mtu` bytes, each
  /// carrying at most `maxPieces` pieces of the frame.
  virtual void init(JSocket* sink, int32_t mtu, int32_t maxPieces);
  /// Forgets the sink (null, -1, -1).
  virtual void reset();
  /// The header bytes a frame of `size` bytes costs: ceil(size / (mtu -
  /// 12)) x 12.
  virtual int headerOverhead(int size, int mtu) const;
  /// Sends one frame; the data bytes sent, or -1 when a send failed (the
  /// rest of the frame is dropped).
  virtual int packetize(const GatherPiece* pieces, size_t count) = 0;

  JSocket* sink() const { return sink_; }
  int32_t mtu() const { return mtu_; }
  int32_t maxPieces() const { return maxPieces_; }

 protected:
  JSocket* sink_ = nullptr;
  int32_t mtu_ = -1;
  int32_t maxPieces_ = -1;
};

/// The packetizer of the local access manager: frames numbered from 0 at
/// init and reset, every datagram but the last of a frame exactly MTU bytes.
class IPacketizer : public IProviderPacketizer {
 public:
  void init(JSocket* sink, int32_t mtu, int32_t maxPieces) override;
  void reset() override;
  int packetize(const GatherPiece* pieces, size_t count) override;

  uint32_t frameCounter() const { return frameCounter_; }

 private:
  // Sends the header and the collected pieces as one datagram.
  void send(uint32_t packetIndex);

  uint32_t frameCounter_ = 0;
  uint32_t frameNumber_ = 0;
  uint32_t packetCount_ = 0;
  uint8_t header_[12] = {};
  size_t payloadSize_ = 0;
  std::vector<JSocketPiece> gather_;
};

}  // namespace zq
