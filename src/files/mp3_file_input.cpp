// MP3 files (mp3_file_input.h). The file is read through a window of its
// bytes that never reaches past the end of the frames, so a frame that runs
// into the trailers, or past the end of a file that shrank, ends the data.
#include "files/mp3_file_input.h"

#include <algorithm>
#include <cstring>

#include "audio/mp3.h"
#include "base/error.h"
#include "base/log.h"
#include "files/file_type.h"

namespace zq {

namespace {

__extension__ typedef __int128 Wide;

constexpr size_t kId3Size = 128;
constexpr size_t kTagSize = 12;  // the 8-byte mark and a u32 count
constexpr size_t kWindowSize = 64 * 1024;
// Free-format frames are no shorter than a header and the shortest side
// information, nor longer than a stream buffer.
constexpr size_t kShortestFreeFrame = 13;
constexpr size_t kLongestFreeFrame = 1985;
constexpr uint32_t kStreamNumber = 1;
// Tags in a row skipped in front of the frames: taggers that add one rather
// than rewrite leave a few, never many.
constexpr int kMostId3v2Tags = 4;

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

void put64(std::vector<uint8_t>& b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v));
  put32(b, static_cast<uint32_t>(v >> 32));
}

// The count after the 8-byte `mark` that ends at `end`, when it is there.
std::optional<uint32_t> tagCount(const JFileHandle& file, uint64_t end, const char (&mark)[9]) {
  if (end <= kTagSize) {
    return std::nullopt;
  }
  uint8_t tag[kTagSize];
  if (file.readAt(end - kTagSize, tag) < kTagSize || std::memcmp(tag, mark, 8) != 0) {
    return std::nullopt;
  }
  return le32(tag + 8);
}

// An index the readers can trust: offsets and times never go back, every
// frame lies before the terminal entry, which ends within the data.
bool consistent(const std::vector<TimeIndexEntry>& index, uint64_t dataEnd) {
  const TimeIndexEntry& terminal = index.back();
  if (terminal.syncPoint() || terminal.time != -1 || terminal.offset > dataEnd) {
    return false;
  }
  for (size_t i = 0; i + 1 < index.size(); ++i) {
    if (index[i].fileOffset() >= terminal.offset) {
      return false;
    }
    if (i > 0 &&
        (index[i].fileOffset() <= index[i - 1].fileOffset() || index[i].time < index[i - 1].time)) {
      return false;
    }
  }
  return true;
}

// The bit rate whose frames are `frameSize` bytes long.
uint32_t freeFormatBitRate(uint32_t frameSize, uint32_t sampleRate, int mpegVersion) {
  const uint64_t perKbit = mpegVersion == 1 ? 144 : 72;
  const uint64_t lowest = uint64_t{frameSize} * sampleRate / (perKbit * 1000);
  for (uint64_t kbit = lowest; kbit <= lowest + 1; ++kbit) {
    uint32_t size = 0;
    frameGeometry(sampleRate, static_cast<uint32_t>(kbit * 1000), mpegVersion, nullptr, &size);
    if (kbit > 0 && size == frameSize) {
      return static_cast<uint32_t>(kbit * 1000);
    }
  }
  return static_cast<uint32_t>(uint64_t{frameSize} * sampleRate / perKbit);
}

}  // namespace

Mp3Trailers readMp3Trailers(const JFileHandle& file, uint64_t fileSize) {
  Mp3Trailers t;
  uint64_t end = fileSize;
  if (end >= kId3Size) {
    std::array<uint8_t, kId3Size> tag{};
    if (file.readAt(end - kId3Size, tag) == kId3Size && std::memcmp(tag.data(), "TAG", 3) == 0) {
      t.id3 = tag;
      end -= kId3Size;
    }
  }
  if (const auto n = tagCount(file, end, "ZQ_TAG_1")) {
    const uint64_t bytes = (uint64_t{*n} + 1) * TimeIndexEntry::kSize;
    if (bytes <= end - kTagSize) {
      const uint64_t start = end - kTagSize - bytes;
      std::vector<uint8_t> raw(static_cast<size_t>(bytes));
      if (file.readAt(start, raw) == raw.size()) {
        std::vector<TimeIndexEntry> index(static_cast<size_t>(*n) + 1);
        for (size_t i = 0; i < index.size(); ++i) {
          index[i].offset = le64(&raw[i * TimeIndexEntry::kSize]);
          index[i].time = static_cast<int64_t>(le64(&raw[i * TimeIndexEntry::kSize + 8]));
        }
        t.index = std::move(index);
      }
      end = start;
    }
  }
  t.indexTrailerAt = end;
  if (const auto length = tagCount(file, end, "ZQ_TAG_2")) {
    if (*length <= end - kTagSize) {
      const uint64_t start = end - kTagSize - *length;
      std::string text(*length, '\0');
      const size_t got =
          file.readAt(start, std::span<uint8_t>(reinterpret_cast<uint8_t*>(text.data()), *length));
      text.resize(got);
      t.properties = std::move(text);
      end = start;
    }
  }
  t.dataEnd = end;
  if (t.index && !consistent(*t.index, t.dataEnd)) {
    t.index.reset();
  }
  return t;
}

uint32_t freeFormatFrameSize(std::span<const uint8_t> bytes) {
  uint32_t bitRate = 0;
  int version = 0;
  uint32_t rate = 0;
  uint32_t channels = 0;
  bool padding = false;
  if (bytes.size() < 4 ||
      !parseFrameHeader(bytes.data(), &bitRate, &version, &rate, &channels, &padding, nullptr) ||
      bitRate != 0) {
    return 0;
  }
  // A later header of the same stream: same sync, version, layer and
  // protection byte, free format, same rate and channel count.
  const auto sameStream = [&](size_t at, bool* pad) {
    uint32_t b = 1;
    int v = 0;
    uint32_t r = 0;
    uint32_t c = 0;
    return at + 4 <= bytes.size() && bytes[at] == bytes[0] && bytes[at + 1] == bytes[1] &&
           parseFrameHeader(&bytes[at], &b, &v, &r, &c, pad, nullptr) && b == 0 && v == version &&
           r == rate && c == channels;
  };
  const size_t last = std::min(bytes.size(), kLongestFreeFrame + 1);
  for (size_t at = kShortestFreeFrame; at < last; ++at) {
    bool secondPadding = false;
    if (!sameStream(at, &secondPadding)) {
      continue;
    }
    const size_t size = at - (padding ? 1 : 0);
    // Confirmed by the third frame where the bytes reach it: main data can
    // look like a header by chance.
    const size_t third = at + size + (secondPadding ? 1 : 0);
    bool thirdPadding = false;
    if (third + 4 > bytes.size() || sameStream(third, &thirdPadding)) {
      return static_cast<uint32_t>(size);
    }
  }
  return 0;
}

uint64_t mp3DataStart(const JFileHandle& file, uint64_t fileSize) {
  uint64_t start = 0;
  for (int tags = 0; tags < kMostId3v2Tags; ++tags) {
    uint8_t header[kId3v2HeaderSize];
    const size_t got = file.readAt(start, header);
    const int64_t size = id3v2TagSize(std::span<const uint8_t>(header, got));
    if (size == 0) {
      break;
    }
    // Skipped, never read: a size the file cannot hold is a corrupt tag.
    if (size < 0 || static_cast<uint64_t>(size) > fileSize - start) {
      throw JTextError("not an mp3 file");
    }
    start += static_cast<uint64_t>(size);
  }
  return start;
}

Mp3FileDescription describeMp3File(const JFileHandle& file) {
  const uint64_t fileSize = file.size();
  Mp3FileDescription d;
  d.dataStart = mp3DataStart(file, fileSize);
  uint8_t header[4];
  uint32_t bitRate = 0;
  int version = 0;
  uint32_t rate = 0;
  uint32_t channels = 0;
  if (file.readAt(d.dataStart, header) < sizeof header ||
      !parseFrameHeader(header, &bitRate, &version, &rate, &channels, nullptr, nullptr)) {
    throw JTextError("not an mp3 file");
  }
  d.trailers = readMp3Trailers(file, fileSize);
  // Trailers that claim bytes of the tag leave no frames, never a negative count.
  d.trailers.dataEnd = std::max(d.trailers.dataEnd, d.dataStart);
  const Mp3Trailers& t = d.trailers;
  const uint64_t dataSize = t.dataEnd - d.dataStart;
  uint32_t frameSize = 0;
  if (bitRate == 0) {
    std::vector<uint8_t> first(
        static_cast<size_t>(std::min<uint64_t>(dataSize, 2 * kLongestFreeFrame + 4)));
    first.resize(file.readAt(d.dataStart, first));
    d.freeFormatSize = freeFormatFrameSize(first);
    frameSize = d.freeFormatSize;
    if (frameSize > 0) {
      bitRate = freeFormatBitRate(frameSize, rate, version);
    }
  } else {
    frameGeometry(rate, bitRate, version, nullptr, &frameSize);
  }

  FileDescription::Setup s;
  s.durationNumerator = rate < 32000 ? 576000 : 1152000;
  s.durationDenominator = rate;
  s.streamInfo = StreamInfo::makeMp3StreamInfo(bitRate, rate, static_cast<uint16_t>(channels),
                                               static_cast<uint16_t>(frameSize));
  s.dataSize = dataSize;
  if (t.properties) {
    // One or two texts, each ended by a NUL.
    std::string_view rest(*t.properties);
    while (!rest.empty()) {
      const size_t end = std::min(rest.find('\0'), rest.size());
      try {
        s.properties.parse(rest.substr(0, end));
      } catch (const JError& e) {
        logCaught(e);
      }
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }
  if (t.index) {
    s.indexKind = FileDescription::kOffsetsAndTimes;
    s.index = *t.index;
    s.frameCount = static_cast<int64_t>(s.index.size()) - 1;
    if (s.frameCount > 0) {
      s.startTime = s.index.front().time;
      s.endTime = s.index[static_cast<size_t>(s.frameCount - 1)].time;
    }
  } else {
    const uint32_t bytesPerSecond = bitRate / 8;
    s.endTime =
        bytesPerSecond == 0 ? 0 : static_cast<int64_t>(Wide{dataSize} * 1000000 / bytesPerSecond);
    s.buildingIndex = true;
  }
  d.description = std::make_shared<FileDescription>(std::move(s));
  return d;
}

MP3FileInfo::MP3FileInfo(const std::string& fileName, const JFileHandle& file)
    : MP3FileInfo(fileName, describeMp3File(file)) {}

MP3FileInfo::MP3FileInfo(const std::string& fileName, Mp3FileDescription described)
    : FileInfo(fileName, std::move(described.description)),
      trailers_(std::move(described.trailers)),
      dataStart_(described.dataStart),
      freeFormatSize_(described.freeFormatSize),
      indexFromFile_(trailers_.index.has_value()) {}

std::unique_ptr<FileInput> MP3FileInfo::openInput() {
  std::lock_guard lock(lock_);
  return std::make_unique<MP3Input>(*this, openForInput());
}

void MP3FileInfo::finishIndex(bool write) {
  if (description()->buildingIndex()) {
    const std::unique_ptr<FileInput> input = openInput();
    input->setLooping(false);
    while (input->nextFrame(nullptr, nullptr, nullptr, nullptr) == FileInput::kFrame) {
    }
  }
  std::lock_guard lock(lock_);
  if (!write || indexFromFile_) {
    return;
  }
  if (description()->indexKind() != FileDescription::kOffsetsAndTimes) {
    // The file changed under the reading: its frames no longer end where
    // they did.
    throw JTextError("time index not available");
  }
  const std::vector<TimeIndexEntry> index = description()->index();
  std::vector<uint8_t> bytes;
  bytes.reserve(index.size() * TimeIndexEntry::kSize + kTagSize + kId3Size);
  for (const TimeIndexEntry& e : index) {
    put64(bytes, e.offset);
    put64(bytes, static_cast<uint64_t>(e.time));
  }
  bytes.insert(bytes.end(), {'Z', 'Q', '_', 'T', 'A', 'G', '_', '1'});
  put32(bytes, static_cast<uint32_t>(index.size() - 1));
  if (trailers_.id3) {
    bytes.insert(bytes.end(), trailers_.id3->begin(), trailers_.id3->end());
  }
  const JFileHandle file(fileName(), JFileHandle::Mode::kReadWrite);
  file.writeAt(trailers_.indexTrailerAt, bytes);
  file.truncate(trailers_.indexTrailerAt + bytes.size());
  indexFromFile_ = true;
}

MP3Input::MP3Input(MP3FileInfo& info, JFileHandle file)
    : FileInput(info, std::move(file)),
      fileName_(info.fileName()),
      dataStart_(info.dataStart()),
      dataEnd_(info.dataEnd()),
      freeFormatSize_(info.freeFormatSize()),
      samplesPerFrame_(description_->streamInfo().samplesPerSecond() < 32000 ? 576 : 1152),
      sampleRate_(description_->streamInfo().samplesPerSecond()),
      bufferSize_(description_->streamInfo().streamBufferSize()),
      window_(kWindowSize),
      position_(dataStart_) {}

bool MP3Input::buffered(size_t n) {
  if (position_ > dataEnd_ || dataEnd_ - position_ < n) {
    return false;
  }
  if (position_ >= windowOffset_ && position_ - windowOffset_ + n <= windowFill_) {
    return true;
  }
  windowOffset_ = position_;
  const size_t wanted =
      static_cast<size_t>(std::min<uint64_t>(window_.size(), dataEnd_ - position_));
  windowFill_ = file_.readAt(position_, std::span<uint8_t>(window_.data(), wanted));
  return windowFill_ >= n;
}

bool MP3Input::takeFrame(uint32_t* size, int64_t* time, bool* syncPoint) {
  if (!buffered(4)) {
    return false;
  }
  const uint8_t* header = &window_[static_cast<size_t>(position_ - windowOffset_)];
  uint32_t bitRate = 0;
  uint32_t rate = 0;
  bool padding = false;
  if (!parseFrameHeader(header, &bitRate, nullptr, &rate, nullptr, &padding, nullptr)) {
    return false;
  }
  uint32_t length = 0;
  if (bitRate != 0) {
    frameGeometry(rate, bitRate, rate < 32000 ? 2 : 1, nullptr, &length);
  } else {
    length = freeFormatSize_;
  }
  if (length != 0 && padding) {
    ++length;
  }
  const int next = static_cast<int>(frame_ + 1);
  if (length > bufferSize_) {
    JLog::logf(kLevelError,
               "Invalid frame header in file %s: stream number=%i, frame size=%u bytes\n",
               fileName_.c_str(), static_cast<int>(kStreamNumber), length);
  }
  if (length > bufferSize_ || length == 0) {
    JLog::logf(kLevelError,
               "Invalid frame header in file %s: frame number=%i, frame size=%i bytes\n",
               fileName_.c_str(), next, static_cast<int>(length));
    return false;
  }
  if (!buffered(length)) {
    return false;
  }
  ++frame_;
  frameOffset_ = position_;
  frameLength_ = length;
  position_ += length;
  *size = length;
  const int64_t count = description_->frameCount();
  TimeIndexEntry entry;
  if (frame_ < count && description_->entry(frame_, entry)) {
    *time = entry.time;
    *syncPoint = entry.syncPoint();
  } else {
    // Without an index, counted from the start; past the frames an index
    // holds, counted on from its last frame, so that time never goes back.
    int64_t base = 0;
    int64_t end = 0;
    int64_t frames = frame_;
    if (count > 0 && description_->entry(count - 1, entry)) {
      base = entry.time;
      frames = frame_ - (count - 1);
    } else {
      description_->timeRange(base, end);
    }
    *time =
        static_cast<int64_t>(Wide{base} + Wide{frames} * samplesPerFrame_ * 1000000 / sampleRate_);
    *syncPoint = true;
  }
  description_->addBuiltEntry(frame_, frameOffset_, *time);
  return true;
}

int MP3Input::nextFrame(bool* got, uint32_t* size, int64_t* time, bool* syncPoint) {
  for (bool rewound = false;; rewound = true) {
    uint32_t s = 0;
    int64_t t = 0;
    bool sync = false;
    if (takeFrame(&s, &t, &sync)) {
      if (got != nullptr)
        *got = true;
      if (size != nullptr)
        *size = s;
      if (time != nullptr)
        *time = t;
      if (syncPoint != nullptr)
        *syncPoint = sync;
      return rewound ? kLooped : kFrame;
    }
    frameLength_ = 0;
    description_->endOfDataReached(frame_ + 1, position_);
    if (got != nullptr)
      *got = false;
    if (!looping_ || rewound) {
      return rewound ? kNothingAfterLoop : kEnd;
    }
    moveTo(dataStart_, -1);
  }
}

uint32_t MP3Input::read(uint8_t* buffer, uint32_t length) {
  if (frameLength_ == 0 || frameOffset_ < windowOffset_) {
    return 0;
  }
  const uint32_t n = std::min(length, frameLength_);
  std::memcpy(buffer, &window_[static_cast<size_t>(frameOffset_ - windowOffset_)], n);
  return n;
}

void MP3Input::moveTo(uint64_t offset, int64_t frame) {
  position_ = offset;
  frame_ = frame;
  frameLength_ = 0;
}

uint64_t MP3Input::seekToFrame(int64_t& frame, bool toSyncPoint) {
  const uint64_t offset = description_->seekFrame(frame, toSyncPoint);
  moveTo(offset, frame - 1);
  return offset;
}

uint64_t MP3Input::seekToTime(int64_t time, int64_t& frame, bool toSyncPoint) {
  const uint64_t offset = description_->seekTime(time, frame, toSyncPoint);
  moveTo(offset, frame - 1);
  return offset;
}

}  // namespace zq
