// The shared description block of a file (file_description.h), with the
// seeking rules. Products of 64-bit times and counts are formed in 128 bits:
// the figures come from files, and a lying file must not make them wrap.
#include "files/file_description.h"

#include <algorithm>

#include "base/error.h"
#include "base/format.h"

namespace zq {

namespace {

__extension__ typedef __int128 Wide;

// An index range longer than this is probed by interpolation of its times;
// a shorter one is halved.
constexpr int64_t kInterpolationSpan = 8;

}  // namespace

std::string FileAttributes::toString(std::string_view separator) const {
  const std::string sep(separator);
  return jformat("allowRecording=%d", allowRecording ? 1 : 0) + sep +
         jformat("original=%d", original ? 1 : 0) + sep + jformat("crc=%d", crc ? 1 : 0) + sep +
         jformat("scrambling=%d", scrambling);
}

FileDescription::FileDescription(Setup setup)
    : frameCount_(setup.frameCount),
      startTime_(setup.startTime),
      endTime_(setup.endTime),
      durationNumerator_(setup.durationNumerator),
      durationDenominator_(setup.durationDenominator == 0 ? 1 : setup.durationDenominator),
      properties_(std::move(setup.properties)),
      indexKind_(setup.indexKind),
      index_(std::move(setup.index)),
      streamInfo_(std::move(setup.streamInfo)),
      dataSize_(setup.dataSize),
      growing_(setup.growing),
      buildingIndex_(setup.buildingIndex) {}

int64_t FileDescription::frameCount() const {
  std::lock_guard lock(mutex_);
  return frameCount_;
}

void FileDescription::timeRange(int64_t& start, int64_t& end) const {
  std::lock_guard lock(mutex_);
  start = startTime_;
  end = endTime_;
}

FileDescription::IndexKind FileDescription::indexKind() const {
  std::lock_guard lock(mutex_);
  return indexKind_;
}

uint64_t FileDescription::dataSize() const {
  std::lock_guard lock(mutex_);
  return dataSize_;
}

bool FileDescription::growing() const {
  return growing_;
}

bool FileDescription::buildingIndex() const {
  std::lock_guard lock(mutex_);
  return buildingIndex_;
}

bool FileDescription::entry(int64_t frame, TimeIndexEntry& out) const {
  std::lock_guard lock(mutex_);
  if (indexKind_ == kNoIndex || frame < 0 || static_cast<uint64_t>(frame) >= index_.size()) {
    return false;
  }
  out = index_[static_cast<size_t>(frame)];
  return true;
}

std::vector<TimeIndexEntry> FileDescription::index() const {
  std::lock_guard lock(mutex_);
  return index_;
}

int64_t FileDescription::frameTime(int64_t frame) const {
  return static_cast<int64_t>(Wide{frame} * static_cast<Wide>(durationNumerator_) * 1000 /
                              static_cast<Wide>(durationDenominator_));
}

int64_t FileDescription::backToSyncPoint(int64_t frame) const {
  for (; frame >= 0; --frame) {
    if (index_[static_cast<size_t>(frame)].syncPoint()) {
      return frame;
    }
  }
  throw JTextError("seek before start");
}

uint64_t FileDescription::seekFrame(int64_t& frame, bool toSyncPoint) const {
  std::lock_guard lock(mutex_);
  if (indexKind_ == kNoIndex) {
    throw JTextError("time index not available");
  }
  if (frame >= frameCount_) {
    throw JTextError("seek past end");
  }
  if (frame < 0) {
    throw JTextError("seek before start");
  }
  const int64_t found = toSyncPoint ? backToSyncPoint(frame) : frame;
  frame = found;
  return index_[static_cast<size_t>(found)].fileOffset();
}

uint64_t FileDescription::seekTime(int64_t time, int64_t& frame, bool toSyncPoint) const {
  std::lock_guard lock(mutex_);
  if (indexKind_ != kOffsetsAndTimes) {
    throw JTextError("time index not available");
  }
  if (frameCount_ <= 0) {
    throw JTextError("seek past end");
  }
  const auto timeOf = [&](int64_t i) { return index_[static_cast<size_t>(i)].time; };
  if (time < timeOf(0)) {
    throw JTextError("seek before start");
  }
  const int64_t last = frameCount_ - 1;
  // At or past the end of the last frame: (time - last) >= one frame, in ms
  // numerator / denominator, compared without division.
  if ((Wide{time} - timeOf(last)) * static_cast<Wide>(durationDenominator_) >=
      static_cast<Wide>(durationNumerator_) * 1000) {
    throw JTextError("seek past end");
  }
  int64_t found = last;
  if (time < timeOf(last)) {
    // Invariant: timeOf(lo) <= time < timeOf(hi).
    int64_t lo = 0;
    int64_t hi = last;
    while (hi - lo > 1) {
      int64_t probe;
      if (hi - lo + 1 > kInterpolationSpan) {
        const Wide span = Wide{timeOf(hi)} - timeOf(lo);
        probe = lo + static_cast<int64_t>((Wide{time} - timeOf(lo)) * (hi - lo) / span);
        probe = std::clamp(probe, lo + 1, hi - 1);
      } else {
        probe = lo + (hi - lo) / 2;
      }
      if (timeOf(probe) <= time) {
        lo = probe;
      } else {
        hi = probe;
      }
    }
    found = lo;
  }
  if (toSyncPoint) {
    found = backToSyncPoint(found);
  }
  frame = found;
  return index_[static_cast<size_t>(found)].fileOffset();
}

void FileDescription::addBuiltEntry(int64_t frame, uint64_t offset, int64_t time) {
  std::lock_guard lock(mutex_);
  if (buildingIndex_ && frame >= 0 && static_cast<uint64_t>(frame) == index_.size()) {
    index_.push_back({offset | TimeIndexEntry::kSyncPoint, time});
  }
}

void FileDescription::endOfDataReached(int64_t frames, uint64_t dataEnd) {
  std::lock_guard lock(mutex_);
  // Only a reader that went through every frame knows the index is whole.
  if (!buildingIndex_ || frames < 0 || static_cast<uint64_t>(frames) != index_.size()) {
    return;
  }
  index_.push_back({dataEnd, -1});
  frameCount_ = frames;
  if (frames > 0) {
    startTime_ = index_.front().time;
    endTime_ = index_[static_cast<size_t>(frames - 1)].time;
  }
  indexKind_ = kOffsetsAndTimes;
  buildingIndex_ = false;
}

void FileDescription::growByOneBlock(int64_t frame, uint64_t blockSize) {
  std::lock_guard lock(mutex_);
  if (frame != frameCount_) {
    return;
  }
  ++frameCount_;
  dataSize_ += blockSize;
}

}  // namespace zq
