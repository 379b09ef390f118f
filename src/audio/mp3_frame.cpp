// Layer III side information, the repack of the library's frames into target
// frames with caller bytes, and the reader of those bytes.
#include "audio/mp3_frame.h"

#include <algorithm>
#include <cstring>

#include "audio/mp3.h"
#include "base/error.h"

namespace zq {
namespace {

// The caller bytes every frame must be able to carry: the capture's tag.
constexpr size_t kMinAncillary = 3;

// Big-endian bit reader over a bounded buffer; the caller checks the length
// before reading.
class BitReader {
 public:
  explicit BitReader(const uint8_t* bytes) : bytes_(bytes) {}
  uint32_t read(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i, ++bit_) {
      value = (value << 1) | ((bytes_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
    }
    return value;
  }
  void skip(unsigned count) { bit_ += count; }

 private:
  const uint8_t* bytes_;
  size_t bit_ = 0;
};

void setMainDataBegin(uint8_t* sideInfo, int mpegVersion, uint32_t value) {
  if (mpegVersion == 1) {
    sideInfo[0] = static_cast<uint8_t>(value >> 1);
    sideInfo[1] = static_cast<uint8_t>((sideInfo[1] & 0x7F) | ((value & 1) << 7));
  } else {
    sideInfo[0] = static_cast<uint8_t>(value);
  }
}

// Keeps the last history.size() bytes of `fill` history bytes followed by
// `data`.
void appendHistory(uint8_t* history, size_t capacity, size_t* fill, const uint8_t* data,
                   size_t length) {
  if (length >= capacity) {
    std::memcpy(history, data + (length - capacity), capacity);
    *fill = capacity;
    return;
  }
  const size_t keep = std::min(*fill, capacity - length);
  std::memmove(history, history + (*fill - keep), keep);
  std::memcpy(history + keep, data, length);
  *fill = keep + length;
}

// Copies `length` bytes from offset `from` of the history bytes followed by
// the payload; the caller has checked that they are there.
void copyJoined(const uint8_t* history, size_t historyFill, const uint8_t* payload, size_t from,
                size_t length, uint8_t* out) {
  if (length == 0) {
    return;
  }
  if (from < historyFill) {
    const size_t part = std::min(length, historyFill - from);
    std::memcpy(out, history + from, part);
    out += part;
    length -= part;
    from = historyFill;
  }
  std::memcpy(out, payload + (from - historyFill), length);
}

// The byte `at` of the history bytes followed by the payload.
uint8_t joinedByte(const uint8_t* history, size_t historyFill, const uint8_t* payload, size_t at) {
  return at < historyFill ? history[at] : payload[at - historyFill];
}

// Writes `count` bytes, 8 bits each in order, from bit `bit` of `out` on
// (bit 0 being the top bit of out[0]). The bits written over must be 0.
void putBytesAtBit(uint8_t* out, uint64_t bit, const uint8_t* bytes, size_t count) {
  uint8_t* at = out + bit / 8;
  const unsigned shift = static_cast<unsigned>(bit % 8);
  for (size_t i = 0; i < count; ++i) {
    at[i] |= static_cast<uint8_t>(bytes[i] >> shift);
    if (shift != 0) {
      at[i + 1] |= static_cast<uint8_t>(bytes[i] << (8 - shift));
    }
  }
}

}  // namespace

uint32_t Mp3SideInfo::mainDataBits() const {
  uint32_t bits = 0;
  for (uint32_t gr = 0; gr < granules; ++gr) {
    for (uint32_t ch = 0; ch < channels; ++ch) {
      bits += part23Length[gr][ch];
    }
  }
  return bits;
}

size_t sideInfoSize(int mpegVersion, uint32_t channels) {
  if (mpegVersion == 1) {
    return channels == 1 ? 17 : 32;
  }
  return channels == 1 ? 9 : 17;
}

uint32_t maxMainDataBegin(int mpegVersion) {
  return mpegVersion == 1 ? 511 : 255;
}

bool readSideInfo(const uint8_t* frame, size_t size, Mp3SideInfo* info) {
  if (size < 4) {
    return false;
  }
  int version = 0;
  uint32_t channels = 0;
  bool isProtected = false;
  if (!parseFrameHeader(frame, nullptr, &version, nullptr, &channels, nullptr, &isProtected)) {
    return false;
  }
  Mp3SideInfo out;
  out.mpegVersion = version;
  out.channels = channels;
  out.granules = version == 1 ? 2 : 1;
  out.headerSize = isProtected ? 6 : 4;
  out.sideInfoSize = sideInfoSize(version, channels);
  if (size < out.headerSize + out.sideInfoSize) {
    return false;
  }
  BitReader bits(frame + out.headerSize);
  if (version == 1) {
    out.mainDataBegin = bits.read(9);
    out.privateBits = bits.read(channels == 1 ? 5 : 3);
    for (uint32_t ch = 0; ch < channels; ++ch) {
      out.scfsi[ch] = static_cast<uint8_t>(bits.read(4));
    }
  } else {
    out.mainDataBegin = bits.read(8);
    out.privateBits = bits.read(channels == 1 ? 1 : 2);
  }
  // Each granule and channel: part2_3_length (12 bits), then fields of a
  // fixed total length that only the decoder needs.
  const unsigned rest = version == 1 ? 47 : 51;
  for (uint32_t gr = 0; gr < out.granules; ++gr) {
    for (uint32_t ch = 0; ch < channels; ++ch) {
      out.part23Length[gr][ch] = bits.read(12);
      bits.skip(rest);
    }
  }
  *info = out;
  return true;
}

uint32_t reducedBitRate(uint32_t bitRate, uint32_t sampleRate, int mpegVersion) {
  uint32_t target = 0;
  frameGeometry(sampleRate, bitRate, mpegVersion, nullptr, &target);
  for (uint32_t kbps = bitRate / 1000; kbps >= 1; --kbps) {
    uint32_t size = 0;
    frameGeometry(sampleRate, kbps * 1000, mpegVersion, nullptr, &size);
    // The library's longest frame is the padded one.
    if (size + 1 + kMinAncillary <= target) {
      return kbps * 1000;
    }
  }
  return 0;
}

Mp3FrameRepacker::Mp3FrameRepacker(uint32_t bitRate, uint32_t sampleRate, uint32_t channels,
                                   int mpegVersion, bool reservoir)
    : sampleRate_(sampleRate),
      channels_(channels),
      mpegVersion_(mpegVersion),
      frameSize_(0),
      sourceBitRate_(reducedBitRate(bitRate, sampleRate, mpegVersion)),
      sourceFrameSize_(0),
      sideSize_(sideInfoSize(mpegVersion, channels)),
      payload_(0),
      maxBack_(reservoir ? maxMainDataBegin(mpegVersion) : 0),
      sourceMaxBack_(maxMainDataBegin(mpegVersion)),
      room_(0),
      rateIndex_(std::max(bitRateIndex(bitRate, mpegVersion), 0)) {
  frameGeometry(sampleRate, bitRate, mpegVersion, nullptr, &frameSize_);
  frameGeometry(sampleRate, sourceBitRate_, mpegVersion, nullptr, &sourceFrameSize_);
  if (sourceBitRate_ == 0 || frameSize_ < 4 + sideSize_ + kMinAncillary) {
    throw JTextError("lame init params failed");
  }
  payload_ = frameSize_ - 4 - sideSize_;
  room_ = frameSize_ - (sourceFrameSize_ + 1);
  history_.assign(sourceMaxBack_, 0);
  // Slots not yet handed out: those the back pointers can still reach, the
  // one being laid out, and one made ready by the same frame.
  slots_.resize(maxBack_ / payload_ + 3);
  area_.assign(slots_.size() * payload_, 0);
}

void Mp3FrameRepacker::commit(size_t length) {
  length = std::min(length, spaceSize());
  if (fill_ == 0 && length > 0 && staging_[0] == 0) {
    return;
  }
  fill_ += length;
}

void Mp3FrameRepacker::jam() const {
  throw JTextError("MP3 encoder jammed");
}

bool Mp3FrameRepacker::stagedFrame(size_t* length, Mp3SideInfo* info) const {
  if (fill_ < 4) {
    return false;
  }
  uint32_t bitRate = 0;
  int version = 0;
  uint32_t rate = 0;
  uint32_t channels = 0;
  bool padding = false;
  if (!parseFrameHeader(staging_.data(), &bitRate, &version, &rate, &channels, &padding,
                        nullptr) ||
      version != mpegVersion_ || rate != sampleRate_ || channels != channels_) {
    jam();
  }
  uint32_t size = sourceFrameSize_;
  if (bitRate != 0) {
    frameGeometry(rate, bitRate, version, nullptr, &size);
  }
  const size_t total = size + (padding ? 1u : 0u);
  if (fill_ < total) {
    return false;
  }
  if (!readSideInfo(staging_.data(), total, info)) {
    jam();
  }
  *length = total;
  return true;
}

bool Mp3FrameRepacker::frontReady() const {
  // Ready once no frame still to come can reach back into it. Judged on the
  // farthest reach, not on the next frame's actual pointer: the delay then
  // stays the same from frame to frame, where an exact judgement would let
  // it shrink and cost a call without output each time it grew back.
  const uint64_t start = slotStart(placed_);
  const uint64_t reach = start > maxBack_ ? start - maxBack_ : 0;
  return front_ < placed_ && reach >= slotStart(front_ + 1);
}

void Mp3FrameRepacker::place(size_t length, const Mp3SideInfo& info, size_t ancillaryLength,
                              const uint8_t* ancillary) {
  const uint8_t* frame = staging_.data();
  const size_t payloadStart = info.headerSize + info.sideInfoSize;
  const uint8_t* payload = frame + payloadStart;
  const size_t payloadLength = length - payloadStart;
  const uint32_t sourceBack = info.mainDataBegin;
  const size_t mainData = info.mainDataBytes();
  const uint64_t slot = placed_;
  if (sourceBack > historyFill_ || mainData > sourceBack + payloadLength ||
      slot + 1 - front_ > slots_.size()) {
    jam();
  }
  // Never further back than the library's own pointer: then the data and
  // bytes of every frame fit in the slots up to its own.
  const uint64_t back = std::min<uint64_t>(sourceBack, maxBack_);
  const uint64_t start = slotStart(slot);
  const uint64_t pos = std::max(end_, start > back ? start - back : 0);
  const uint64_t limit = slotStart(slot + 1);
  const uint64_t base = slotStart(front_);
  if (pos < base || pos + mainData > limit) {
    jam();
  }
  size_t extra = std::min(ancillaryLength, room_);
  extra = static_cast<size_t>(std::min<uint64_t>(extra, limit - pos - mainData));

  // The main data ends inside its last byte; the library's stuffing after
  // it goes, and the caller's bytes start at the very next bit, as a
  // decoder finds the ancillary data. They still end within the bytes
  // counted here: ceil(bits / 8) + extra.
  uint8_t* dst = area_.data() + (pos - base);
  copyJoined(history_.data(), historyFill_, payload, historyFill_ - sourceBack, mainData, dst);
  const uint32_t bits = info.mainDataBits();
  if (bits % 8 != 0) {
    dst[bits / 8] &= static_cast<uint8_t>(0xFF00u >> (bits % 8));
  }
  putBytesAtBit(dst, bits, ancillary, extra);
  end_ = pos + mainData + extra;

  Slot& out = slots_[slot % slots_.size()];
  std::memcpy(out.header.data(), frame, 4);
  out.header[1] |= 0x01;  // no CRC: the side information changes
  out.header[2] = static_cast<uint8_t>((out.header[2] & 0x0D) | (rateIndex_ << 4));
  std::memcpy(out.sideInfo.data(), frame + info.headerSize, sideSize_);
  setMainDataBegin(out.sideInfo.data(), mpegVersion_, static_cast<uint32_t>(start - pos));

  appendHistory(history_.data(), history_.size(), &historyFill_, payload, payloadLength);
  std::memmove(staging_.data(), staging_.data() + length, fill_ - length);
  fill_ -= length;
  ++placed_;
}

int Mp3FrameRepacker::emit(uint8_t* out) {
  const Slot& slot = slots_[front_ % slots_.size()];
  std::memcpy(out, slot.header.data(), 4);
  std::memcpy(out + 4, slot.sideInfo.data(), sideSize_);
  std::memcpy(out + 4 + sideSize_, area_.data(), payload_);
  std::memmove(area_.data(), area_.data() + payload_, area_.size() - payload_);
  std::memset(area_.data() + (area_.size() - payload_), 0, payload_);
  ++front_;
  return static_cast<int>(frameSize_);
}

int Mp3FrameRepacker::next(uint8_t* out, size_t ancillaryLength, const uint8_t* ancillary) {
  // Lay out library frames only until a slot is ready: one frame out per
  // call, and the rest stays staged for the next calls.
  for (;;) {
    if (frontReady()) {
      return emit(out);
    }
    size_t length = 0;
    Mp3SideInfo info;
    if (!stagedFrame(&length, &info)) {
      return 0;
    }
    place(length, info, ancillaryLength, ancillary);
  }
}

Mp3AncillaryReader::Mp3AncillaryReader(size_t length) : length_(length) {}

bool Mp3AncillaryReader::read(const uint8_t* frame, size_t size, uint8_t* out) {
  Mp3SideInfo info;
  uint32_t bitRate = 0;
  int version = 0;
  uint32_t rate = 0;
  bool padding = false;
  if (frame == nullptr || !readSideInfo(frame, size, &info) ||
      !parseFrameHeader(frame, &bitRate, &version, &rate, nullptr, &padding, nullptr)) {
    reset();
    return false;
  }
  size_t length = size;  // free format: the frame is what was given
  if (bitRate != 0) {
    uint32_t unpadded = 0;
    frameGeometry(rate, bitRate, version, nullptr, &unpadded);
    length = unpadded + (padding ? 1u : 0u);
  }
  const size_t payloadStart = info.headerSize + info.sideInfoSize;
  if (size < length || length < payloadStart) {
    reset();
    return false;
  }
  const uint8_t* payload = frame + payloadStart;
  const size_t payloadLength = length - payloadStart;
  bool found = false;
  if (info.mainDataBegin <= historyFill_) {
    // The bytes start at the bit right after the main data.
    const uint64_t from = (historyFill_ - info.mainDataBegin) * uint64_t{8} + info.mainDataBits();
    if (from + 8 * uint64_t{length_} <= 8 * uint64_t{historyFill_ + payloadLength}) {
      const size_t at = static_cast<size_t>(from / 8);
      const unsigned shift = static_cast<unsigned>(from % 8);
      for (size_t i = 0; i < length_; ++i) {
        const unsigned high = joinedByte(history_.data(), historyFill_, payload, at + i);
        // With a shift the byte after is within bounds: the check above.
        const unsigned low =
            shift == 0 ? 0 : joinedByte(history_.data(), historyFill_, payload, at + i + 1);
        out[i] = static_cast<uint8_t>((high << shift) | (low >> (8 - shift)));
      }
      found = true;
    }
  }
  appendHistory(history_.data(), history_.size(), &historyFill_, payload, payloadLength);
  return found;
}

}  // namespace zq
