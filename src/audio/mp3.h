// The MP3 vocabulary of the system: the table of the bit rates it streams
// (with the sampling rate and channel count that go with each), the frame
// geometry, the Layer III frame header parser, and JMP3, the interface every
// MP3 codec object answers. Capture, the shared source descriptions and the
// MP3 file reader all speak in these terms.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

/// One row of the bit-rate table. `mpegVersion`: 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5.
struct Mp3BitRate {
  uint32_t bitRate;
  uint32_t sampleRate;
  uint32_t channels;
  int mpegVersion;
};

/// The number of rows of the bit-rate table (13).
size_t bitRateCount();
/// The row at `index`, or null for an index of bitRateCount() or more.
const Mp3BitRate* bitRateRow(size_t index);
/// The row of exactly `bitRate` bit/s, or null when the table has none.
const Mp3BitRate* findBitRate(uint32_t bitRate);
/// The row's figures for `bitRate`; false (outputs untouched) when it is not
/// in the table. Every output may be null.
bool lookupBitRate(uint32_t bitRate, uint32_t* sampleRate, uint32_t* channels, int* mpegVersion);

/// Samples per frame and the unpadded frame size in bytes (integer
/// division) of a Layer III stream. Every output may be null.
void frameGeometry(uint32_t sampleRate, uint32_t bitRate, int mpegVersion,
                   uint32_t* samplesPerFrame, uint32_t* frameSize);

/// Reads `header4` as a big-endian Layer III frame header. False when the
/// sync is missing, the version bits are the reserved 01, the layer is not
/// III, or the bit-rate or sampling-rate index is the reserved one. A free
/// format header (bit-rate index 0) parses with a bit rate of 0. Every
/// output may be null.
bool parseFrameHeader(const uint8_t* header4, uint32_t* bitRate, int* mpegVersion,
                      uint32_t* sampleRate, uint32_t* channels, bool* padding, bool* isProtected);

/// The Layer III bit-rate index of `bitRate` bit/s for `mpegVersion`, or -1
/// when that version has no index for it (then only free format carries it).
int bitRateIndex(uint32_t bitRate, int mpegVersion);

/// An MP3 codec. Not shared between threads: its owner uses it alone.
class JMP3 {
 public:
  virtual ~JMP3();
  virtual uint32_t samplesPerFrame() const = 0;
  /// Bytes of an unpadded frame.
  virtual uint32_t frameSize() const = 0;
  virtual uint32_t sampleRate() const = 0;
  virtual uint32_t channels() const = 0;
  /// Bit/s.
  virtual uint32_t bitRate() const = 0;
  /// 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5.
  virtual int mpegVersion() const = 0;
};

}  // namespace zq
