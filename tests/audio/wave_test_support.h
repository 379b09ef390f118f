// Builders of RIFF/WAVE bytes for the tests of the header reader and of the
// WAVE-file capture device.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace zq::test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
// A chunk whose size field says `claimed` (its real size when -1), padded
// when odd unless `pad` is false.
inline Bytes chunk(const char* id, const Bytes& body, int64_t claimed = -1, bool pad = true) {
  Bytes b(id, id + 4);
  put32(b, claimed < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(claimed));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) {
    b.push_back(0);
  }
  return b;
}
inline Bytes fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                 uint16_t align = 0) {
  Bytes b;
  align = align != 0 || channels == 0 ? align : static_cast<uint16_t>(channels * bits / 8);
  put16(b, tag);
  put16(b, channels);
  put32(b, rate);
  put32(b, rate * align);
  put16(b, align);
  put16(b, bits);
  return b;
}
inline Bytes extensible(uint8_t subFormat) {
  Bytes b = fmt(0xFFFE, 2, 48000, 16);
  put16(b, 22);
  put16(b, 16);
  put32(b, 3);
  const uint8_t guid[16] = {subFormat, 0, 0, 0,    0, 0,    0x10, 0,
                            0x80,      0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  b.insert(b.end(), guid, guid + 16);
  return b;
}
inline Bytes riff(std::initializer_list<Bytes> chunks) {
  Bytes body{'W', 'A', 'V', 'E'};
  for (const Bytes& c : chunks) {
    body.insert(body.end(), c.begin(), c.end());
  }
  Bytes b{'R', 'I', 'F', 'F'};
  put32(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}
inline Bytes samples(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    b[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  return b;
}
inline Bytes cut(Bytes b, size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace zq::test
