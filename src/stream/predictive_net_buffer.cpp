// PredictiveNetBuffer: the receive list, the validation of a packet in its
// fixed order with its log lines, MTU learning, and the placing of accepted
// packets.
#include "stream/predictive_net_buffer.h"

#include <algorithm>
#include <cstring>

#include "base/error.h"
#include "base/log.h"

namespace zq {

PredictiveNetBuffer::PredictiveNetBuffer() : spill_(new uint8_t[MAX_PACKET_SIZE]) {}

void PredictiveNetBuffer::setDataBuffer(uint8_t* data, size_t capacity) {
  data_ = data;
  capacity_ = data != nullptr ? capacity : 0;
  clearFrame();
}

void PredictiveNetBuffer::setHeaderBuffer(uint8_t* header, size_t size) {
  header_ = header;
  headerSize_ = header != nullptr ? size : 0;
}

// ---- the receive list --------------------------------------------------------

int64_t PredictiveNetBuffer::offsetOf(uint32_t fragment) const {
  if (fragment == 0) {
    return 0;
  }
  // Packet k carries frame bytes from (MTU - 12) x k on; the frame data
  // begins after the frame header. Negative when the MTU is too small for
  // the header to fit in packet 0: such a fragment has no place.
  return (int64_t{mtu_} - int64_t{kPacketHeaderSize}) * fragment - int64_t(headerSize_);
}

void PredictiveNetBuffer::prepare() {
  std::memset(packetHeader_, 0, sizeof packetHeader_);
  pieceCount_ = 0;
  pieces_[pieceCount_++] = {packetHeader_, kPacketHeaderSize};
  headerInList_ = predicted_ == 0 && headerSize_ > 0;
  if (headerInList_) {
    pieces_[pieceCount_++] = {header_, headerSize_};
  }
  slotFragment_ = predicted_;
  slotOffset_ = 0;
  slotLength_ = 0;
  // Without an MTU only packet 0's place is known.
  const int64_t offset = mtu_ == 0 && predicted_ != 0 ? -1 : offsetOf(predicted_);
  if (offset >= 0 && offset < int64_t(capacity_)) {
    int64_t length = int64_t(capacity_) - offset;
    if (mtu_ != 0) {
      const int64_t carried =
          int64_t{mtu_} - int64_t{kPacketHeaderSize} - (predicted_ == 0 ? int64_t(headerSize_) : 0);
      length = std::min(length, carried);
    }
    if (length > 0) {
      slotOffset_ = static_cast<size_t>(offset);
      slotLength_ = static_cast<size_t>(length);
      pieces_[pieceCount_++] = {data_ + slotOffset_, slotLength_};
    }
  }
  pieces_[pieceCount_++] = {spill_.get(), MAX_PACKET_SIZE};
}

size_t PredictiveNetBuffer::receive(JSocket& socket, int32_t timeoutMs) {
  if (data_ == nullptr) {
    throw JTextError("PredictiveNetBuffer: No buffer available.\n");
  }
  prepare();
  socket.setReadTimeout(timeoutMs);
  return socket.readv(pieces_, pieceCount_);
}

size_t PredictiveNetBuffer::deliver(const uint8_t* datagram, size_t size) {
  if (data_ == nullptr) {
    throw JTextError("PredictiveNetBuffer: No buffer available.\n");
  }
  prepare();
  size_t done = 0;
  for (size_t i = 0; i < pieceCount_ && done < size; ++i) {
    const size_t n = std::min(size - done, pieces_[i].length);
    std::memcpy(pieces_[i].buffer, datagram + done, n);
    done += n;
  }
  return size;
}

// Copies datagram bytes [from, from + count) from wherever the receive list
// put them. A source and a destination may both lie in the data buffer, so
// the copy is a move.
size_t PredictiveNetBuffer::copyOut(size_t from, uint8_t* to, size_t count) const {
  size_t start = 0;
  size_t copied = 0;
  for (size_t i = 0; i < pieceCount_ && copied < count; ++i) {
    const size_t end = start + pieces_[i].length;
    if (from + copied < end) {
      const size_t within = from + copied - start;
      const size_t n = std::min(count - copied, pieces_[i].length - within);
      std::memmove(to + copied, static_cast<const uint8_t*>(pieces_[i].buffer) + within, n);
      copied += n;
    }
    start = end;
  }
  return copied;
}

// ---- validation ----------------------------------------------------------------

PredictiveNetBuffer::Outcome PredictiveNetBuffer::ignore(bool dump, size_t size) {
  ++ignored_;
  if (dump) {
    uint8_t bytes[kDumpBytes] = {};
    copyOut(0, bytes, std::min(size, kDumpBytes));
    uint32_t w[kDumpBytes / 4];
    for (size_t i = 0; i < kDumpBytes / 4; ++i) {
      w[i] = loadLittle32(bytes + 4 * i);
    }
    JLog::logf(kLevelWarning,
               "Dumping ignored packet (little_endian): size: %u data: 0x%08x 0x%08x 0x%08x "
               "0x%08x 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x.\n",
               static_cast<unsigned>(size), w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8]);
  }
  return Outcome::kIgnored;
}

void PredictiveNetBuffer::clearFrame() {
  received_.reset();
  receivedCount_ = 0;
  predicted_ = 0;
  fragmentCount_ = 0;
}

void PredictiveNetBuffer::abortFrame(uint32_t frameSequence) {
  ++aborted_;
  // The rest of the aborted frame's packets are then older, and ignored.
  expectedFrame_ = frameSequence + 1;
  clearFrame();
}

PredictiveNetBuffer::Outcome PredictiveNetBuffer::checkMtu(const MediaPacketHeader& packet,
                                                           size_t size, bool& passed) {
  passed = false;
  const auto packetSize = static_cast<uint32_t>(size);
  const bool last = packet.fragmentSequence == packet.fragmentCount - 1;
  bool inconsistent = false;
  if (!last) {
    const bool learned = mtu_ == 0;
    if (learned) {
      mtu_ = packetSize;
    }
    if (learned || mtu_ == packetSize) {
      if (mtuStability_ < kMaxMtuStability) {
        // Odd values come from inconsistencies; the confidence stays 0 to 10.
        mtuStability_ = std::min(mtuStability_ + 2, kMaxMtuStability);
      }
    } else {
      inconsistent = true;
    }
  } else if (mtu_ != 0) {
    inconsistent = packetSize > mtu_;
  } else if (packet.fragmentSequence != 0) {
    JLog::logf(kLevelDebug,
               "Ignoring Frame #%u: first packet ever received is last in frame MTU unknown.\n",
               packet.frameSequence);
    abortFrame(packet.frameSequence);
    return ignore(false, size);
  }
  if (!inconsistent) {
    passed = true;
    return Outcome::kAccepted;
  }
  if (mtuStability_ > 0) {
    JLog::logf(kLevelError,
               "Ignoring Packet: MTU inconsistency. expected (%d <= %d) MTU Stability: %d \n",
               static_cast<int>(packetSize), static_cast<int>(mtu_), mtuStability_);
    --mtuStability_;
    return ignore(true, size);
  }
  mtu_ = 0;
  JLog::logf(kLevelError, "Ignoring Frame: Too many MTU inconsistency. Resetting MTU \n");
  abortFrame(packet.frameSequence);
  return ignore(true, size);
}

PredictiveNetBuffer::Outcome PredictiveNetBuffer::process(size_t size) {
  if (size < kPacketHeaderSize) {
    JLog::logf(kLevelWarning,
               "Ignoring packet: smaller than packet header: %u (sender is pre-R2.2_SP4 ?).\n",
               static_cast<unsigned>(size));
    return ignore(true, size);
  }
  const MediaPacketHeader packet = MediaPacketHeader::read(packetHeader_);
  if (packet.fragmentSequence == 0 && size < kPacketHeaderSize + headerSize_) {
    JLog::logf(kLevelError,
               "Ignoring packet: Received frame smaller than frame header. Packet size: %u .\n",
               static_cast<unsigned>(size));
    return ignore(true, size);
  }
  if (size >= MAX_PACKET_SIZE) {
    JLog::logf(kLevelError, "Ignoring packet: bigger than MAX_PACKET_SIZE(%u).\n", MAX_PACKET_SIZE);
    return ignore(true, size);
  }
  if (packet.frameSequence == kDisconnectionFrame) {
    JLog::logf(kLevelDebug, "ignoring disconnection packet.\n");
    return ignore(false, size);
  }
  if (packet.frameSequence < expectedFrame_) {
    if (receivedCount_ > 0) {
      JLog::logf(kLevelDebug, "received packet from older frame: seqNum: %d !?!. \n",
                 static_cast<int>(packet.frameSequence));
    }
    return ignore(false, size);
  }
  // A packet of the frame being assembled. A packet rejected below leaves
  // the expected frame as it was, so that a bad packet never costs the
  // frame in progress.
  const bool sameFrame = packet.frameSequence == expectedFrame_;
  if (packet.fragmentCount == 0 || packet.fragmentCount > kMaxFragmentsPerFrame) {
    JLog::logf(kLevelError, "Ignoring packet: frameFragCount out of range (1-%u): %u.\n",
               kMaxFragmentsPerFrame, packet.fragmentCount);
    return ignore(true, size);
  }
  if (packet.fragmentSequence >= packet.fragmentCount) {
    JLog::logf(kLevelError, "Ignoring packet: FragSeqNum larger than FragsPerFrame: %u >= %u.\n",
               packet.fragmentSequence, packet.fragmentCount);
    return ignore(true, size);
  }
  bool passed = false;
  const Outcome mtuOutcome = checkMtu(packet, size, passed);
  if (!passed) {
    return mtuOutcome;
  }
  const size_t dataStart = kPacketHeaderSize + (packet.fragmentSequence == 0 ? headerSize_ : 0);
  const int64_t dataLength = int64_t(size) - int64_t(dataStart);
  const int64_t lastOffset = offsetOf(packet.fragmentCount - 1);
  const int64_t offset = offsetOf(packet.fragmentSequence);
  if (lastOffset < 0 || lastOffset >= int64_t(capacity_) || offset < 0 ||
      offset + dataLength > int64_t(capacity_)) {
    JLog::logf(kLevelError, "Ignoring packet: received frame bigger than buffer.\n");
    return ignore(true, size);
  }
  if (!sameFrame) {
    if (expectedFrame_ > 1) {
      JLog::logf(kLevelWarning,
                 "Ignoring frame #%d: Frame Sequence Number jump. expected: %u received %u.\n",
                 static_cast<int>(expectedFrame_), expectedFrame_, packet.frameSequence);
    }
    if (expectedFrame_ > 1 || receivedCount_ > 0) {
      ++aborted_;
    }
    clearFrame();
  }
  if (fragmentCount_ != 0 && packet.fragmentCount != fragmentCount_) {
    JLog::logf(kLevelError, "Ignoring packet: frameFragCount inconsistency. expected %u got %u \n",
               fragmentCount_, packet.fragmentCount);
    return ignore(true, size);
  }
  if (received_.test(packet.fragmentSequence)) {
    JLog::logf(kLevelWarning, "Ignoring packet: Duplicated fragment (%u). \n",
               packet.fragmentSequence);
    return ignore(true, size);
  }
  received_.set(packet.fragmentSequence);
  ++receivedCount_;
  expectedFrame_ = packet.frameSequence;
  if (fragmentCount_ == 0) {
    fragmentCount_ = packet.fragmentCount;
  }
  place(packet, size);
  if (receivedCount_ == fragmentCount_) {
    ++completed_;
    expectedFrame_ = packet.frameSequence + 1;
    clearFrame();
    return Outcome::kCompleted;
  }
  // The next fragment not yet received, after this one, wrapping.
  uint32_t next = packet.fragmentSequence;
  do {
    next = (next + 1) % fragmentCount_;
  } while (received_.test(next));
  predicted_ = next;
  return Outcome::kAccepted;
}

// ---- placing ---------------------------------------------------------------------

void PredictiveNetBuffer::place(const MediaPacketHeader& packet, size_t size) {
  const uint32_t fragment = packet.fragmentSequence;
  const size_t dataStart = kPacketHeaderSize + (fragment == 0 ? headerSize_ : 0);
  const size_t dataLength = size - dataStart;
  const auto offset = static_cast<size_t>(offsetOf(fragment));
  // The header first: its bytes may sit in the data place that the data
  // is then moved over.
  if (fragment == 0 && !headerInList_ && headerSize_ > 0) {
    copyOut(kPacketHeaderSize, header_, headerSize_);
  }
  const bool inPlace = fragment == slotFragment_ && slotOffset_ == offset &&
                       slotLength_ >= dataLength &&
                       (fragment != 0 || headerInList_ || headerSize_ == 0);
  if (!inPlace && dataLength > 0) {
    copyOut(dataStart, data_ + offset, dataLength);
  }
  if (fragment == packet.fragmentCount - 1) {
    frameSize_ = static_cast<uint32_t>(offset + dataLength);
  }
}

}  // namespace zq
