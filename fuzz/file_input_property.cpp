// The file inputs' properties (file_input_property.h).
#include "file_input_property.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "audio/mp3.h"
#include "audio/pcm_format.h"
#include "base/error.h"
#include "files/file_type.h"
#include "files/mp3_file_input.h"
#include "files/wave_file_input.h"

namespace zq::fuzz {

namespace {

constexpr std::string_view kUnsupported = "unsupported wave format: ";

// An in-memory file holding the bytes, named through /proc.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(::memfd_create("zq-fuzz", MFD_CLOEXEC)) {
    if (fd_ >= 0 && size > 0 && ::write(fd_, data, size) != static_cast<ssize_t>(size)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  bool ok() const { return fd_ >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

bool isSeekError(const std::string& text) {
  return text == "seek past end" || text == "seek before start" ||
         text == "time index not available";
}

// Runs `seek`; "" when it landed, the error text otherwise.
template <class Seek>
std::string tryToSeek(Seek&& seek) {
  try {
    seek();
  } catch (const JError& e) {
    return e.message();
  }
  return "";
}

std::string checkMp3Seeks(FileInput& input, const FileDescription& d, FileInputOutcome& outcome) {
  const int64_t n = d.frameCount();
  const std::vector<TimeIndexEntry> index = d.index();
  for (const int64_t target : {int64_t{-1}, int64_t{0}, n / 2, n - 1, n}) {
    for (const bool toSync : {false, true}) {
      int64_t frame = target;
      uint64_t offset = 0;
      const std::string error = tryToSeek([&] { offset = input.seekToFrame(frame, toSync); });
      if (!error.empty()) {
        if (!isSeekError(error)) {
          return "seek by frame gave " + error;
        }
        outcome.seekRefused = true;
        continue;
      }
      if (frame < 0 || frame > target || (!toSync && frame != target) ||
          offset != index[static_cast<size_t>(frame)].fileOffset()) {
        return "seek by frame landed elsewhere";
      }
      bool got = false;
      if (input.nextFrame(&got, nullptr, nullptr, nullptr) >= 0 && input.frameNumber() != frame &&
          input.frameNumber() != 0) {
        return "the frame after a seek is neither the one landed on nor a loop";
      }
    }
  }
  if (index.empty()) {
    return "";
  }
  const int64_t first = index.front().time;
  const int64_t last = index[static_cast<size_t>(std::max<int64_t>(n - 1, 0))].time;
  for (const int64_t time :
       {first == INT64_MIN ? first : first - 1, first, last == INT64_MAX ? last : last + 1,
        first / 2 + index[static_cast<size_t>(n / 2)].time / 2}) {
    int64_t frame = -5;
    const std::string error = tryToSeek([&] { input.seekToTime(time, frame, false); });
    if (!error.empty()) {
      if (!isSeekError(error)) {
        return "seek by time gave " + error;
      }
      outcome.seekRefused = true;
      continue;
    }
    if (frame < 0 || frame >= n || index[static_cast<size_t>(frame)].time > time ||
        (frame + 1 < n && index[static_cast<size_t>(frame + 1)].time <= time)) {
      return "seek by time landed on the wrong frame";
    }
  }
  return "";
}

}  // namespace

std::string checkMp3FileProperty(const uint8_t* data, size_t size, FileInputOutcome& outcome) {
  outcome = {};
  const MemoryFile file(data, size);
  if (!file.ok()) {
    return "";  // no memory file: nothing to check
  }
  FileInfoHold info;
  try {
    info.reset(
        new MP3FileInfo(file.path(), JFileHandle(file.path(), JFileHandle::Mode::kReadOnly)));
  } catch (const JError& e) {
    uint8_t header[4] = {};
    std::memcpy(header, data, std::min<size_t>(size, 4));
    if (e.message() != "not an mp3 file" ||
        (size >= 4 &&
         parseFrameHeader(header, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))) {
      return "refused with " + e.message();
    }
    return "";
  }
  const auto& mp3 = static_cast<const MP3FileInfo&>(*info);
  // The frames start at the file's start or after the ID3v2 tags in front,
  // each skipped whole, none past the file.
  uint64_t tags = 0;
  while (tags < mp3.dataStart()) {
    const int64_t tag = id3v2TagSize(std::span<const uint8_t>(data + tags, size - tags));
    if (tag <= 0 || static_cast<uint64_t>(tag) > mp3.dataStart() - tags) {
      return "frames that start inside the bytes in front of them";
    }
    tags += static_cast<uint64_t>(tag);
  }
  outcome.described = true;
  const FileDescription& d = *info->description();
  outcome.indexed = !d.buildingIndex();
  if (mp3.dataEnd() > size || mp3.dataStart() > mp3.dataEnd()) {
    return "audio data past the end of the file";
  }
  const bool building = d.buildingIndex();
  const std::unique_ptr<FileInput> input = info->openInput();
  input->setLooping(false);
  std::vector<uint64_t> offsets;
  uint64_t offset = mp3.dataStart();
  int64_t lastTime = INT64_MIN;
  int result = FileInput::kFrame;
  std::vector<uint8_t> frame(2048);
  for (size_t i = 0; i <= size / 4 + 1; ++i) {
    bool got = false;
    uint32_t length = 0;
    int64_t time = 0;
    result = input->nextFrame(&got, &length, &time, nullptr);
    if (result != FileInput::kFrame) {
      break;
    }
    if (!got || length == 0 || length > 1984 || offset + length > mp3.dataEnd()) {
      return "a frame of a wrong size or past the data";
    }
    if (input->read(frame.data(), static_cast<uint32_t>(frame.size())) != length ||
        std::memcmp(frame.data(), data + offset, length) != 0) {
      return "a frame that does not read back as the file holds it";
    }
    if (!parseFrameHeader(frame.data(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
      return "a frame without a header";
    }
    if (time < lastTime) {
      return "time stamps going back";
    }
    lastTime = time;
    offsets.push_back(offset);
    offset += length;
  }
  outcome.frames = offsets.size();
  if (result != FileInput::kEnd) {
    return "reading did not end with the end result";
  }
  if (building) {
    const std::vector<TimeIndexEntry> index = d.index();
    if (d.buildingIndex() || d.frameCount() != static_cast<int64_t>(offsets.size()) ||
        index.size() != offsets.size() + 1 || index.back().offset != offset) {
      return "reading through did not build the index of the frames read";
    }
    for (size_t k = 0; k < offsets.size(); ++k) {
      if (index[k].fileOffset() != offsets[k]) {
        return "a built index entry at the wrong offset";
      }
    }
  }
  if (std::string failure = checkMp3Seeks(*input, d, outcome); !failure.empty()) {
    return failure;
  }
  const std::unique_ptr<FileInput> looping = info->openInput();
  int last = FileInput::kFrame;
  for (size_t k = 0; k <= offsets.size(); ++k) {
    last = looping->nextFrame(nullptr, nullptr, nullptr, nullptr);
  }
  if (offsets.empty() ? last != FileInput::kNothingAfterLoop
                      : (last != FileInput::kLooped || looping->frameNumber() != 0)) {
    return "looping did not come back to frame 0";
  }
  return "";
}

std::string checkWaveFileProperty(const uint8_t* data, size_t size, FileInputOutcome& outcome) {
  outcome = {};
  const MemoryFile file(data, size);
  if (!file.ok()) {
    return "";
  }
  FileInfoHold info;
  try {
    info.reset(
        new WAVEFileInfo(file.path(), JFileHandle(file.path(), JFileHandle::Mode::kReadOnly)));
  } catch (const JError& e) {
    return e.message() == "invalid wave format" || e.message().starts_with(kUnsupported)
               ? ""
               : "refused with " + e.message();
  }
  outcome.described = true;
  const auto& wave = static_cast<const WAVEFileInfo&>(*info);
  const FileDescription& d = *info->description();
  const uint32_t block = wave.blockSize();
  if (block > AudioFormatLimits::kMaxBlockBytes ||
      d.streamInfo().streamBufferSize() > AudioFormatLimits::kMaxBlockBytes + 32) {
    return "a block larger than the system plays";
  }
  if (block == 0 || wave.dataOffset() + d.dataSize() > size ||
      d.frameCount() != static_cast<int64_t>((d.dataSize() + block - 1) / block)) {
    return "blocks that do not cover the data, or data outside the file";
  }
  const std::unique_ptr<FileInput> input = info->openInput();
  input->setLooping(false);
  std::vector<uint8_t> bytes(block);
  int64_t k = 0;
  for (; k <= d.frameCount(); ++k) {
    uint32_t length = 0;
    int64_t time = 0;
    const int result = input->nextFrame(nullptr, &length, &time, nullptr);
    if (result == FileInput::kEnd) {
      break;
    }
    if (result != FileInput::kFrame || length != block || time != d.frameTime(k)) {
      return "a block of the wrong size or time";
    }
    if (input->read(bytes.data(), block) != block) {
      return "a block read short";
    }
    const uint64_t start = uint64_t(k) * block;
    const uint64_t dataSize = d.dataSize();  // a growing file's grows as it is read
    const size_t inData = static_cast<size_t>(std::min<uint64_t>(block, dataSize - start));
    const uint8_t silence = wave.silence();
    if (std::memcmp(bytes.data(), data + wave.dataOffset() + start, inData) != 0 ||
        !std::all_of(bytes.begin() + static_cast<long>(inData), bytes.end(),
                     [&](uint8_t b) { return b == silence; })) {
      return "a block that is not the file's data then silence";
    }
  }
  outcome.frames = static_cast<size_t>(k);
  if (k != d.frameCount()) {
    return "not every block was read";
  }
  input->setLooping(true);
  const int looped = input->nextFrame(nullptr, nullptr, nullptr, nullptr);
  if (d.frameCount() == 0 ? looped != FileInput::kNothingAfterLoop
                          : (looped != FileInput::kLooped || input->frameNumber() != 0)) {
    return "looping did not come back to block 0";
  }
  return "";
}

}  // namespace zq::fuzz
