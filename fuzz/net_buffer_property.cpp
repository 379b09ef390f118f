// The reassembly property: see net_buffer_property.h.
#include "net_buffer_property.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "base/format.h"
#include "stream/media_packet.h"
#include "stream/predictive_net_buffer.h"

namespace zq::fuzz {
namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr size_t kMaxDatagrams = 512;
constexpr size_t kCapacities[] = {0, 100, 1500, 4096, 65536, 131040};

// A buffer with guard bytes on both sides.
class Guarded {
 public:
  explicit Guarded(size_t size) : bytes_(size + 2 * kGuard, kGuardByte), size_(size) {}
  uint8_t* data() { return bytes_.data() + kGuard; }
  size_t size() const { return size_; }
  bool intact() const {
    const auto good = [](uint8_t b) { return b == kGuardByte; };
    return std::all_of(bytes_.begin(), bytes_.begin() + kGuard, good) &&
           std::all_of(bytes_.end() - kGuard, bytes_.end(), good);
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t size_;
};

// Splits the input into datagrams (see the header for the encoding).
std::vector<std::vector<uint8_t>> datagramsOf(const uint8_t* data, size_t size, size_t at) {
  std::vector<std::vector<uint8_t>> out;
  while (at < size && out.size() < kMaxDatagrams) {
    const uint8_t tag = data[at++];
    if ((tag & 0x80) != 0) {
      uint8_t f[6] = {};
      const size_t n = std::min<size_t>(6, size - at);
      std::memcpy(f, data + at, n);
      at += n;
      size_t length = (size_t{f[3]} << 8) | f[4];
      if ((tag & 0x40) != 0) {
        length *= 3;  // up to 196605: past MAX_PACKET_SIZE
      }
      // A fill of the packet's own, stamped with the byte offset every 64
      // bytes: a fragment put in another's place shows.
      std::vector<uint8_t> d(length, static_cast<uint8_t>(f[5] ^ f[1]));
      for (size_t i = 0; i + 4 <= length; i += 64) {
        storeLittle32(d.data() + i, static_cast<uint32_t>(i) ^ (uint32_t{f[1]} << 24));
      }
      uint8_t header[kPacketHeaderSize];
      MediaPacketHeader{f[0], f[1], f[2]}.write(header);
      if (length > 0) {
        std::memcpy(d.data(), header, std::min(length, kPacketHeaderSize));
      }
      out.push_back(std::move(d));
    } else {
      size_t length = 0;
      if (at + 2 <= size) {
        length = (size_t{data[at]} << 8) | data[at + 1];
      }
      at = std::min(size, at + 2);
      length = std::min(length, size - at);
      out.emplace_back(data + at, data + at + length);
      at += length;
    }
  }
  return out;
}

}  // namespace

std::string checkNetBufferProperty(const uint8_t* data, size_t size) {
  if (size == 0) {
    return {};
  }
  const uint8_t setup = data[0];
  const size_t headerSize = (setup & 2) != 0 ? 0 : (setup & 1) != 0 ? 16 : 40;
  const size_t capacity = kCapacities[((setup >> 2) & 7) % std::size(kCapacities)];

  Guarded body(capacity);
  Guarded header(headerSize);
  PredictiveNetBuffer buffer;
  buffer.setDataBuffer(body.data(), capacity);
  buffer.setHeaderBuffer(headerSize != 0 ? header.data() : nullptr, headerSize);

  // The accepted fragments of the frame in progress: index -> datagram.
  uint32_t modelFrame = 0;
  std::map<uint32_t, std::vector<uint8_t>> model;
  uint32_t ignored = 0;
  uint32_t completed = 0;

  const auto datagrams = datagramsOf(data, size, 1);
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const std::vector<uint8_t>& d = datagrams[i];
    const auto where = [&] { return jformat("datagram %zu (%zu bytes): ", i, d.size()); };
    const size_t got = buffer.deliver(d.data(), d.size());
    if (got != d.size()) {
      return where() + "deliver changed the size";
    }
    const PredictiveNetBuffer::Outcome outcome = buffer.process(got);
    if (!body.intact() || !header.intact()) {
      return where() + "wrote outside the buffers";
    }
    if (outcome == PredictiveNetBuffer::Outcome::kIgnored) {
      ++ignored;
    } else {
      if (d.size() < kPacketHeaderSize || d.size() >= MAX_PACKET_SIZE) {
        return where() + "accepted";
      }
      const MediaPacketHeader packet = MediaPacketHeader::read(d.data());
      if (model.empty() || packet.frameSequence != modelFrame) {
        model.clear();
        modelFrame = packet.frameSequence;
      }
      if (!model.emplace(packet.fragmentSequence, d).second) {
        return where() + "a fragment accepted twice";
      }
    }
    if (outcome == PredictiveNetBuffer::Outcome::kCompleted) {
      ++completed;
      const MediaPacketHeader packet = MediaPacketHeader::read(d.data());
      if (model.size() != packet.fragmentCount) {
        return where() +
               jformat("completed with %zu of %u fragments", model.size(), packet.fragmentCount);
      }
      const int64_t perPacket = int64_t{buffer.mtu()} - int64_t{kPacketHeaderSize};
      for (const auto& [index, bytes] : model) {
        const size_t start = kPacketHeaderSize + (index == 0 ? headerSize : 0);
        const int64_t offset = index == 0 ? 0 : perPacket * index - int64_t(headerSize);
        const size_t length = bytes.size() - start;
        if (offset < 0 || offset + int64_t(length) > int64_t(capacity)) {
          return where() + jformat("fragment %u placed outside the buffer", index);
        }
        if (length > 0 && std::memcmp(body.data() + offset, bytes.data() + start, length) != 0) {
          return where() + jformat("fragment %u not at its place", index);
        }
        if (index == 0 && headerSize > 0 &&
            std::memcmp(header.data(), bytes.data() + kPacketHeaderSize, headerSize) != 0) {
          return where() + "frame header not in the header buffer";
        }
        if (index == packet.fragmentCount - 1 &&
            buffer.frameSize() != static_cast<uint32_t>(offset) + length) {
          return where() + jformat("frame size %u, last fragment ends at %lld", buffer.frameSize(),
                                   static_cast<long long>(offset + int64_t(length)));
        }
      }
      model.clear();
    }
    if (buffer.ignoredPackets() != ignored || buffer.completedFrames() != completed) {
      return where() + jformat("counters %u ignored, %u completed; outcomes %u and %u",
                               buffer.ignoredPackets(), buffer.completedFrames(), ignored,
                               completed);
    }
    if (buffer.mtuStability() < 0 ||
        buffer.mtuStability() > PredictiveNetBuffer::kMaxMtuStability) {
      return where() + jformat("MTU stability %d", buffer.mtuStability());
    }
    const uint32_t count = buffer.fragmentCount();
    if (count > kMaxFragmentsPerFrame || buffer.receivedCount() > count ||
        (count > 0 && buffer.predictedFragment() >= count) ||
        (count == 0 && (buffer.receivedCount() != 0 || buffer.predictedFragment() != 0))) {
      return where() + jformat("state out of range: count %u, received %u, predicted %u", count,
                               buffer.receivedCount(), buffer.predictedFragment());
    }
    // A frame in progress is the one whose fragments the model holds.
    if (count > 0 &&
        (buffer.expectedFrame() != modelFrame || buffer.receivedCount() != model.size())) {
      return where() + jformat("frame %u with %u fragments in progress, model: frame %u with %zu",
                               buffer.expectedFrame(), buffer.receivedCount(), modelFrame,
                               model.size());
    }
    if (count > 0 && model.count(buffer.predictedFragment()) != 0) {
      return where() +
             jformat("predicted fragment %u already received", buffer.predictedFragment());
    }
  }
  return {};
}

}  // namespace zq::fuzz
