// Inside Layer III frames: the side information (where each frame's main
// data begins and how long it is), the repacker that turns the encoder
// library's frames into frames of the target rate carrying caller bytes in
// their ancillary data, and the reader that finds those bytes again on the
// receiving side.
//
// Why a repack: the stock encoder library has no way to write caller bytes
// into its frames, and at the low rates it often leaves fewer than 24 spare
// bits in a frame. So the library encodes in free format at a slightly lower
// rate (reducedBitRate) and every frame is rewritten to the target: header
// with the target bit-rate index and padding off, the same side information,
// the main data, the caller's bytes in the bits that start at the bit right
// after the last bit of the main data (where a decoder finds the ancillary
// data, and where the library writes its own stuffing: almost never a byte
// boundary), zero bits to the end. The library pads free-format frames (one
// byte longer now and then), so the reduced rate is the largest whole kbit/s
// whose padded frame still leaves 3 bytes below the target frame size.
// Checked with the library for every row of the bit-rate table, MPEG-2 at
// 22050 Hz included: it accepts free format at every reduced rate (22, 30,
// 38, 46, 54, 62 kbit/s at 22050 Hz; 79, 94, 110, 126, 143, 158, 174 kbit/s
// at 44100 Hz).
//
// With the bit reservoir the main data of a frame may begin in earlier
// frames (main_data_begin bytes back). The repack then rebuilds the
// main-data stream: each frame's main data and its bytes are laid one after
// another into the target-size slots, no further back than the library's own
// pointer (so never past 511 bytes for MPEG-1, 255 for MPEG-2), with zeros
// where a frame cannot reach back. A frame's data plus bytes always end
// within its own slot, because each slot is at least 3 bytes larger than the
// library's. A slot is handed out once no later frame could reach back into
// it, however far its pointer went: a fixed delay of as many frames as the
// longest back pointer spans (4 at 24000 bit/s, 2 at 128000 bit/s).
//
// Bit rates that have no index in their MPEG version (144 and 176 kbit/s at
// MPEG-1) are written as free-format frames of exactly the target size.
//
// Concurrency: none; each object belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq {

/// The parts of a Layer III frame's header and side information that locate
/// its main data.
struct Mp3SideInfo {
  int mpegVersion = 0;
  uint32_t channels = 0;
  uint32_t granules = 0;           // 2 for MPEG-1, 1 otherwise
  size_t headerSize = 0;           // 4, or 6 with a CRC
  size_t sideInfoSize = 0;         // 9, 17 or 32
  uint32_t mainDataBegin = 0;      // bytes back into earlier frames' main data
  uint32_t privateBits = 0;
  std::array<uint8_t, 2> scfsi{};  // MPEG-1 only
  std::array<std::array<uint32_t, 2>, 2> part23Length{};  // [granule][channel], bits
  /// Every granule's and channel's part2_3_length added: the main data in bits.
  uint32_t mainDataBits() const;
  /// The bytes the main data touches, its last one perhaps in part.
  uint32_t mainDataBytes() const { return (mainDataBits() + 7) / 8; }
};

/// Bytes of side information of a Layer III frame.
size_t sideInfoSize(int mpegVersion, uint32_t channels);
/// The largest main_data_begin the format allows: 511 (MPEG-1) or 255.
uint32_t maxMainDataBegin(int mpegVersion);

/// Reads the header and side information of the frame that starts at `frame`
/// (`size` bytes available). False when the header is not Layer III or the
/// bytes end before the side information does.
bool readSideInfo(const uint8_t* frame, size_t size, Mp3SideInfo* info);

/// The rate, in bit/s, at which the library encodes for a target of
/// `bitRate`: see the file comment. 0 when no rate of 1 kbit/s or more fits.
uint32_t reducedBitRate(uint32_t bitRate, uint32_t sampleRate, int mpegVersion);

/// Rewrites the library's free-format frames into target frames with caller
/// bytes. The library writes into space() and reports with commit(); next()
/// hands out at most one target frame per call.
class Mp3FrameRepacker {
 public:
  static constexpr size_t kStagingSize = 3392;

  /// Target figures; the library encodes at reducedBitRate() of them, with
  /// the reservoir on or off as `reservoir` says.
  Mp3FrameRepacker(uint32_t bitRate, uint32_t sampleRate, uint32_t channels, int mpegVersion,
                   bool reservoir);

  /// Where the library writes its output, and how much room is left there.
  uint8_t* space() { return staging_.data() + fill_; }
  size_t spaceSize() const { return staging_.size() - fill_; }
  /// Accepts `length` bytes written at space(). Output that would start an
  /// empty staging buffer with a zero byte is dropped: the buffer must always
  /// begin with a frame header.
  void commit(size_t length);

  /// Writes the next target frame into `out` (frameSize() bytes) and returns
  /// its length, or returns 0 when none is complete. The first
  /// min(ancillaryLength, ancillaryRoom()) bytes of `ancillary` go after the
  /// main data of every library frame laid out during this call. Throws
  /// JTextError "MP3 encoder jammed" when the staged output does not begin
  /// with a valid frame of this stream, or a frame cannot be laid out; the
  /// staged output is kept.
  int next(uint8_t* out, size_t ancillaryLength, const uint8_t* ancillary);

  uint32_t frameSize() const { return frameSize_; }
  /// The caller bytes every frame can carry (3 at least).
  size_t ancillaryRoom() const { return room_; }
  /// The rate the library must encode at, bit/s.
  uint32_t sourceBitRate() const { return sourceBitRate_; }
  /// Bytes waiting in the staging buffer.
  size_t staged() const { return fill_; }

 private:
  struct Slot {
    std::array<uint8_t, 4> header;
    std::array<uint8_t, 32> sideInfo;
  };

  uint64_t slotStart(uint64_t slot) const { return slot * payload_; }
  // Whether the library frame at the start of the staging buffer is all
  // there; throws when the buffer does not begin with one of ours.
  bool stagedFrame(size_t* length, Mp3SideInfo* info) const;
  bool frontReady() const;
  // Lays out the staged library frame of `length` bytes and consumes it.
  void place(size_t length, const Mp3SideInfo& info, size_t ancillaryLength,
             const uint8_t* ancillary);
  int emit(uint8_t* out);
  [[noreturn]] void jam() const;

  uint32_t sampleRate_;
  uint32_t channels_;
  int mpegVersion_;
  uint32_t frameSize_;        // target frame, bytes
  uint32_t sourceBitRate_;    // bit/s
  uint32_t sourceFrameSize_;  // unpadded library frame, bytes
  size_t sideSize_;
  size_t payload_;            // main-data bytes per target slot
  uint32_t maxBack_;          // how far back a target frame's data may start
  uint32_t sourceMaxBack_;
  size_t room_;
  int rateIndex_;             // target bit-rate index, 0 for free format

  std::array<uint8_t, kStagingSize> staging_{};
  size_t fill_ = 0;

  // The library's main-data stream: the last bytes its back pointers reach.
  std::vector<uint8_t> history_;
  size_t historyFill_ = 0;

  // The target main-data stream from the start of the oldest slot not yet
  // handed out; slots_ holds the headers of the slots laid out since then.
  std::vector<uint8_t> area_;
  std::vector<Slot> slots_;  // ring, indexed by slot number modulo its size
  uint64_t front_ = 0;       // oldest slot not handed out
  uint64_t placed_ = 0;      // slots laid out (= library frames consumed)
  uint64_t end_ = 0;         // stream position after the last bytes laid out
};

/// Finds the caller bytes in the frames of a stream, on the receiving side.
/// Fed the frames in order; follows the back pointers through the main data
/// of the frames before. Frames may come from a network: every read is
/// bounds-checked, and a frame that cannot be placed yields nothing.
class Mp3AncillaryReader {
 public:
  /// Reads `length` bytes per frame.
  explicit Mp3AncillaryReader(size_t length);

  /// Takes the next frame (`size` bytes) of the stream. True with the
  /// length() bytes whose bits start at the bit right after its main data
  /// copied to `out`; false when
  /// the frame is malformed, reaches back before the first frame seen (a
  /// stream joined late), or its bytes would run past the frame.
  bool read(const uint8_t* frame, size_t size, uint8_t* out);
  /// Forgets the frames seen: the next frame must not reach back.
  void reset() { historyFill_ = 0; }
  size_t length() const { return length_; }

 private:
  size_t length_;
  std::array<uint8_t, 511> history_{};
  size_t historyFill_ = 0;
};

}  // namespace zq
