// FilePlayer: pacing a file's frames into a stream.
#include "media/file_player.h"

#include <algorithm>

#include "base/error.h"
#include "base/jtime.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_table.h"

namespace zq {

namespace {

FileInfoHold openInfo(const std::string& fileName) {
  FileInfo* info = getFileInfo(fileName);
  if (info == nullptr) {
    throw JTextError("unsupported file type");
  }
  return FileInfoHold(info);
}

constexpr int kPausePollMs = 10;

}  // namespace

size_t FilePlayer::bufferSizeOf(const FileInfoHold& info) {
  return info->description()->streamInfo().streamBufferSize();
}

FilePlayer::FilePlayer(const std::string& fileName) : FilePlayer(fileName, openInfo(fileName)) {}

FilePlayer::FilePlayer(const std::string& fileName, FileInfoHold info)
    : JStream(bufferSizeOf(info), kBuffers, false, kExtraBuffers, kLocalStreamMemory),
      JThread("FilePlayer"),
      fileName_(fileName),
      info_(std::move(info)) {
  input_ = info_->openInput();
  input_->setLooping(false);
  setStreamInfo(std::make_unique<StreamInfo>(info_->description()->streamInfo()));
  int64_t end = 0;
  info_->getTimeRange(startTimeUs_, end);
}

FilePlayer::~FilePlayer() {
  stop_.set();
  join();
}

void FilePlayer::seek(double seconds, int64_t offset) {
  int64_t frame = offset;
  if (offset != 0) {
    input_->seekToFrame(frame, true);
  } else {
    input_->seekToTime(startTimeUs_ + static_cast<int64_t>(seconds * 1e6), frame, true);
  }
}

void FilePlayer::play() {
  stop_.reset();
  start();
}

void FilePlayer::pause() {
  paused_.store(true, std::memory_order_release);
}

void FilePlayer::resume() {
  paused_.store(false, std::memory_order_release);
}

double FilePlayer::position() const {
  return static_cast<double>(frameTimeUs_.load(std::memory_order_acquire) - startTimeUs_) / 1e6;
}

int64_t FilePlayer::frameCount() const {
  return info_->description()->frameCount();
}

bool FilePlayer::waitUntil(int64_t dueUs) {
  const int64_t leftUs = dueUs - monotonicNow();
  if (leftUs <= 0) {
    return !stop_.isSet();
  }
  try {
    stop_.wait(static_cast<int>((leftUs + 999) / 1000));
    return false;
  } catch (const JTimeoutError&) {
    return true;
  }
}

void FilePlayer::run() {
  int64_t firstFrameUs = -1;
  int64_t clockStartUs = monotonicNow();
  for (;;) {
    while (paused_.load(std::memory_order_acquire)) {
      const int64_t pausedAt = monotonicNow();
      if (!waitUntil(pausedAt + kPausePollMs * 1000)) {
        return;
      }
      clockStartUs += monotonicNow() - pausedAt;  // the pause does not count
    }
    bool got = false;
    uint32_t size = 0;
    int64_t time = 0;
    const int result = input_->nextFrame(&got, &size, &time, nullptr);
    if (result != FileInput::kFrame || !got) {
      end_.set();
      return;
    }
    if (firstFrameUs < 0) {
      firstFrameUs = time;
    }
    if (!waitUntil(clockStartUs + (time - firstFrameUs))) {
      return;
    }
    uint8_t* buffer = getWriteBuffer();
    StreamFrameHeader* header = frameHeaderOf(buffer);
    const uint32_t room = static_cast<uint32_t>(bufferSize() - sizeof(StreamFrameHeader));
    header->size = input_->read(header->payload(), std::min(size, room));
    header->keyWord = static_cast<uint32_t>(input_->frameNumber());
    header->setTimeStamp(static_cast<uint64_t>(wallClockNow()));
    publish(header->keyWord);
    frameTimeUs_.store(time, std::memory_order_release);
    frame_.store(input_->frameNumber(), std::memory_order_release);
  }
}

}  // namespace zq
