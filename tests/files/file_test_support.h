// What the file input tests share: MP3 frames from our own encoder, the
// trailers the system writes after them, and a read-through of an input.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "audio/mp3_test_support.h"
#include "audio/wave_test_support.h"
#include "base/error.h"
#include "files/file_info.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"

namespace zq::test {

/// `count` frames of a tone at `bitRate` (a row of the bit-rate table).
inline std::vector<Bytes> encodeFrames(uint32_t bitRate, size_t count) {
  uint32_t rate = 0;
  uint32_t channels = 0;
  lookupBitRate(bitRate, &rate, &channels, nullptr);
  JMP3Encoder encoder(bitRate, rate, channels, false);
  SineGenerator sine(rate,
                     channels == 2 ? std::vector<double>{440, 660} : std::vector<double>{440});
  std::vector<Bytes> frames;
  Bytes out(4096);
  const uint8_t tag[3] = {1, 2, 3};
  for (size_t i = 0; frames.size() < count && i < 4 * count + 64; ++i) {
    const std::vector<int16_t> pcm = sine.next(encoder.samplesPerFrame());
    const int n = encoder.encode(pcm.data(), out.data(), sizeof tag, tag);
    if (n > 0) {
      frames.emplace_back(out.begin(), out.begin() + n);
    }
  }
  return frames;
}

inline Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

/// A "ZQ_TAG_1" trailer of the given entries (the terminal one included)
/// that says it holds `count` frames.
inline Bytes indexTrailer(const std::vector<TimeIndexEntry>& entries, uint32_t count) {
  Bytes b;
  for (const TimeIndexEntry& e : entries) {
    for (const uint64_t v : {e.offset, static_cast<uint64_t>(e.time)}) {
      put32(b, static_cast<uint32_t>(v));
      put32(b, static_cast<uint32_t>(v >> 32));
    }
  }
  b.insert(b.end(), {'Z', 'Q', '_', 'T', 'A', 'G', '_', '1'});
  put32(b, count);
  return b;
}

/// The index of `frames` laid from offset 0, every `syncEvery`-th frame a
/// sync point, frame k at time start + k * step.
inline std::vector<TimeIndexEntry> indexOf(const std::vector<Bytes>& frames, int64_t start,
                                           int64_t step, size_t syncEvery = 1) {
  std::vector<TimeIndexEntry> index;
  uint64_t offset = 0;
  for (size_t k = 0; k < frames.size(); ++k) {
    index.push_back({offset | (k % syncEvery == 0 ? TimeIndexEntry::kSyncPoint : 0),
                     start + static_cast<int64_t>(k) * step});
    offset += frames[k].size();
  }
  index.push_back({offset, -1});
  return index;
}

inline Bytes propertyTrailer(const std::string& text, int64_t claimed = -1) {
  Bytes b(text.begin(), text.end());
  b.insert(b.end(), {'Z', 'Q', '_', 'T', 'A', 'G', '_', '2'});
  put32(b, claimed < 0 ? static_cast<uint32_t>(text.size()) : static_cast<uint32_t>(claimed));
  return b;
}

/// An ID3v1 tag: "TAG" and 125 blanks.
inline Bytes id3Tag() {
  Bytes b{'T', 'A', 'G'};
  b.resize(128, ' ');
  return b;
}

/// An ID3v2.4 tag: its header stating `size` bytes after it (7 bits a
/// byte), with the footer flag when asked, then `size` bytes that look like
/// MPEG syncs (junk to a reader that does not skip them all), then the footer.
inline Bytes id3v2Tag(uint32_t size, bool footer = false, bool headerOnly = false) {
  Bytes b{'I', 'D', '3', 4, 0, static_cast<uint8_t>(footer ? 0x10 : 0)};
  for (int shift = 21; shift >= 0; shift -= 7) {
    b.push_back(static_cast<uint8_t>(size >> shift & 0x7F));
  }
  const Bytes header = b;
  if (!headerOnly) {
    b.resize(b.size() + size, 0xFF);
    if (footer) {
      b.insert(b.end(), {'3', 'D', 'I'});
      b.insert(b.end(), header.begin() + 3, header.end());
    }
  }
  return b;
}

/// What reading an input through (looping off) gave.
struct ReadThrough {
  std::vector<Bytes> frames;
  std::vector<int64_t> times;
};

inline ReadThrough readThrough(FileInput& input) {
  ReadThrough r;
  input.setLooping(false);
  for (size_t i = 0; i < 100000; ++i) {
    bool got = false;
    uint32_t size = 0;
    int64_t time = 0;
    if (input.nextFrame(&got, &size, &time, nullptr) != FileInput::kFrame) {
      break;
    }
    Bytes frame(size);
    frame.resize(input.read(frame.data(), size));
    r.frames.push_back(std::move(frame));
    r.times.push_back(time);
  }
  return r;
}

/// A cache for the test's life.
struct ScopedFileInfoCache {
  explicit ScopedFileInfoCache(size_t capacity = 8) { initFileInfoCache(capacity); }
  ~ScopedFileInfoCache() { destroyFileInfoCache(); }
};

/// Files, a registry and a file info cache of the test's own.
struct FileInputTest : ::testing::Test {
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = (dir.path() / name).string();
    writeFile(path, bytes);
    return path;
  }
  TempDir dir;
  ScopedRegistryDir registry;
  ScopedFileInfoCache cache;
};

}  // namespace zq::test
