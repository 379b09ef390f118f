// Cutting frames into datagrams.
#include "media/packetizer.h"

#include <algorithm>

#include "base/error.h"
#include "stream/media_packet.h"

namespace zq {

void IProviderPacketizer::init(JSocket* sink, int32_t mtu, int32_t maxPieces) {
  sink_ = sink;
  mtu_ = mtu;
  maxPieces_ = maxPieces;
}

void IProviderPacketizer::reset() {
  sink_ = nullptr;
  mtu_ = -1;
  maxPieces_ = -1;
}

int IProviderPacketizer::headerOverhead(int size, int mtu) const {
  const int payload = mtu - static_cast<int>(kPacketHeaderSize);
  return payload <= 0 ? 0 : (size + payload - 1) / payload * static_cast<int>(kPacketHeaderSize);
}

void IPacketizer::init(JSocket* sink, int32_t mtu, int32_t maxPieces) {
  IProviderPacketizer::init(sink, mtu, maxPieces);
  frameCounter_ = 0;
  payloadSize_ = mtu > static_cast<int32_t>(kPacketHeaderSize) ? mtu - kPacketHeaderSize : 0;
  gather_.reserve(static_cast<size_t>(std::max(maxPieces, 1)) + 1);
}

void IPacketizer::reset() {
  IProviderPacketizer::reset();
  frameCounter_ = 0;
  payloadSize_ = 0;
}

void IPacketizer::send(uint32_t packetIndex) {
  MediaPacketHeader{frameNumber_, packetIndex, packetCount_}.write(header_);
  sink_->writev(gather_.data(), gather_.size());
  gather_.resize(1);
}

int IPacketizer::packetize(const GatherPiece* pieces, size_t count) {
  if (sink_ == nullptr || payloadSize_ == 0) {
    return -1;
  }
  const size_t maxPieces = static_cast<size_t>(std::max(maxPieces_, 1));
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    total += pieces[i].length;
  }
  frameNumber_ = frameCounter_++;
  packetCount_ = static_cast<uint32_t>((total + payloadSize_ - 1) / payloadSize_);

  int sent = 0;
  uint32_t packetIndex = 0;
  size_t collected = 0;
  gather_.assign(1, JSocketPiece{header_, kPacketHeaderSize});
  try {
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* data = pieces[i].data;
      size_t left = pieces[i].length;
      while (left > 0) {
        const size_t room = payloadSize_ - collected;
        const size_t taken = std::min(left, room);
        gather_.push_back({const_cast<uint8_t*>(data), taken});
        data += taken;
        left -= taken;
        collected += taken;
        if (collected == payloadSize_ || gather_.size() - 1 == maxPieces) {
          send(packetIndex++);
          sent += static_cast<int>(collected);
          collected = 0;
        }
      }
    }
    if (collected > 0) {
      send(packetIndex);
      sent += static_cast<int>(collected);
    }
  } catch (const JError& e) {
    logCaught(e);
    return -1;
  }
  return sent;
}

}  // namespace zq
