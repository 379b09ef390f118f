// PredictiveNetBuffer: reassembles one frame at a time from media packets,
// straight into the caller's buffers. Before each receive it predicts the
// fragment to come and points a scatter receive at that fragment's final
// place, so that packets in order are never copied; out-of-order packets
// are copied from where the receive put them. Bad packets are counted,
// logged and dropped, and nothing ever lands outside the two buffers.
//
// Concurrency: none. One thread (the receiver's) uses a buffer; the counters
// and state getters are for that thread, or for others once it has ended.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/socket.h"
#include "stream/media_packet.h"

namespace zq {

class PredictiveNetBuffer {
 public:
  /// What one packet did.
  enum class Outcome {
    kIgnored,    // rejected (counted as ignored)
    kAccepted,   // placed; the frame is not complete yet
    kCompleted,  // placed, and the frame is complete (frameSize() holds)
  };

  /// The highest MTU stability.
  static constexpr int kMaxMtuStability = 10;
  /// Bytes of a datagram that an ignored packet's dump shows.
  static constexpr size_t kDumpBytes = 36;

  PredictiveNetBuffer();
  PredictiveNetBuffer(const PredictiveNetBuffer&) = delete;
  PredictiveNetBuffer& operator=(const PredictiveNetBuffer&) = delete;

  /// Where frame data goes (null: none; receiving then fails) and its size.
  /// The frame in progress, if any, is dropped without counting: its data
  /// lived in the previous buffer.
  void setDataBuffer(uint8_t* data, size_t capacity);
  /// Where the frame header goes, and its size (both kept until changed).
  void setHeaderBuffer(uint8_t* header, size_t size);

  /// Receives one datagram from `socket` with a scatter receive, waiting at
  /// most `timeoutMs` (the socket's read time-out is set to it), and returns
  /// its size. Throws JTextError "PredictiveNetBuffer: No buffer
  /// available.\n" without a data buffer; the socket's errors pass through
  /// (JTimeoutError on a time-out).
  size_t receive(JSocket& socket, int32_t timeoutMs);
  /// Validates and places the datagram of `size` bytes that the last
  /// receive() (or deliver()) put in the receive list.
  Outcome process(size_t size);
  /// For senders in the same process, tests and fuzzing: puts `datagram` in
  /// the receive list as a scatter receive would (bytes beyond the list are
  /// dropped) and returns the size to hand to process(). Throws as
  /// receive() without a data buffer.
  size_t deliver(const uint8_t* datagram, size_t size);

  /// The packet header of the last datagram received (zeros beyond its
  /// size): for the receiver's look at disconnection packets.
  const uint8_t* packetHeader() const { return packetHeader_; }

  /// Drops the frame of `frameSequence` in progress: counts an aborted
  /// frame, expects the frame after it and clears the per-frame state.
  void abortFrame(uint32_t frameSequence);

  uint32_t mtu() const { return mtu_; }
  int mtuStability() const { return mtuStability_; }
  uint32_t expectedFrame() const { return expectedFrame_; }
  uint32_t frameSize() const { return frameSize_; }
  uint32_t receivedCount() const { return receivedCount_; }
  uint32_t predictedFragment() const { return predicted_; }
  uint32_t fragmentCount() const { return fragmentCount_; }
  uint32_t ignoredPackets() const { return ignored_; }
  uint32_t abortedFrames() const { return aborted_; }
  uint32_t completedFrames() const { return completed_; }

 private:
  // Where a fragment's data goes in the data buffer, and how much it holds.
  struct Place {
    int64_t offset;
    int64_t length;
  };

  void prepare();
  size_t copyOut(size_t from, uint8_t* to, size_t count) const;
  Outcome ignore(bool dump, size_t size);
  void clearFrame();
  Place placeOf(uint32_t fragment, size_t packetSize) const;
  int64_t offsetOf(uint32_t fragment) const;
  void place(const MediaPacketHeader& packet, size_t size);
  Outcome checkMtu(const MediaPacketHeader& packet, size_t size, bool& abortedHere);

  uint32_t mtu_ = 0;
  int mtuStability_ = 0;
  uint32_t expectedFrame_ = 0;
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  uint32_t frameSize_ = 0;
  uint8_t* header_ = nullptr;
  size_t headerSize_ = 0;
  std::bitset<kMaxFragmentsPerFrame> received_;
  uint32_t receivedCount_ = 0;
  uint32_t predicted_ = 0;
  uint32_t fragmentCount_ = 0;

  // The receive list of the next (or last) receive, and what it predicted:
  // the header buffer was in it, and the data place [slotOffset_,
  // slotOffset_ + slotLength_) for fragment slotFragment_ (length 0: none).
  JSocketPiece pieces_[4] = {};
  size_t pieceCount_ = 0;
  bool headerInList_ = false;
  uint32_t slotFragment_ = 0;
  size_t slotOffset_ = 0;
  size_t slotLength_ = 0;

  uint8_t packetHeader_[kPacketHeaderSize] = {};
  std::unique_ptr<uint8_t[]> spill_;

  uint32_t ignored_ = 0;
  uint32_t aborted_ = 0;
  uint32_t completed_ = 0;
};

}  // namespace zq
