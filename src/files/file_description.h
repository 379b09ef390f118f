// FileDescription: what is known of one audio file, shared (reference
// counted) by its FileInfo and every input opened on it: frame count, time
// range, frame duration, properties, the time index, the stream description,
// the data size and the growing and index-building states. Seeking by frame
// and by time is answered here, from the index.
//
// Concurrency: every member function may be called from any thread; the
// state that reading changes (the index while it is built, the count of a
// growing file) is guarded by one mutex. The properties and the stream
// description are fixed before the block is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/params.h"
#include "stream/stream_info.h"

namespace zq {

/// One entry of a time index, as it is laid out in a file (16 bytes, little
/// endian): the file offset with bit 63 set at a sync point, then the time
/// stamp in microseconds. The terminal entry holds the end of the audio data
/// and a time of -1.
struct TimeIndexEntry {
  static constexpr uint64_t kSyncPoint = uint64_t{1} << 63;
  static constexpr size_t kSize = 16;

  uint64_t offset = 0;
  int64_t time = 0;

  uint64_t fileOffset() const { return offset & ~kSyncPoint; }
  bool syncPoint() const { return (offset & kSyncPoint) != 0; }
};

/// Flags a reader of some container formats changes; MP3 and WAVE files keep
/// these defaults.
struct FileAttributes {
  bool allowRecording = true;
  bool original = true;
  bool crc = false;
  int32_t scrambling = -1;
  /// "allowRecording=1<sep>original=1<sep>crc=0<sep>scrambling=-1", for traces.
  std::string toString(std::string_view separator) const;
};

class FileDescription {
 public:
  enum IndexKind { kNoIndex = 0, kOffsetsOnly = 1, kOffsetsAndTimes = 2 };

  /// What a reader found when it described the file.
  struct Setup {
    int64_t frameCount = 0;
    int64_t startTime = 0;
    int64_t endTime = 0;
    // Milliseconds per frame = durationNumerator / durationDenominator.
    uint64_t durationNumerator = 0;
    uint64_t durationDenominator = 1;
    JParams properties;
    IndexKind indexKind = kNoIndex;
    std::vector<TimeIndexEntry> index;  // frameCount + 1 entries, or none
    std::unique_ptr<StreamInfo> streamInfo;
    uint64_t dataSize = 0;
    bool growing = false;
    bool buildingIndex = false;
  };

  explicit FileDescription(Setup setup);
  FileDescription(const FileDescription&) = delete;
  FileDescription& operator=(const FileDescription&) = delete;

  int64_t frameCount() const;
  void timeRange(int64_t& start, int64_t& end) const;
  IndexKind indexKind() const;
  uint64_t dataSize() const;
  bool growing() const;
  bool buildingIndex() const;
  /// The index entry of `frame` (0 to frameCount, the last being the
  /// terminal one); false when there is none.
  bool entry(int64_t frame, TimeIndexEntry& out) const;
  /// A copy of the whole index.
  std::vector<TimeIndexEntry> index() const;

  uint64_t durationNumerator() const { return durationNumerator_; }
  uint64_t durationDenominator() const { return durationDenominator_; }
  /// Microseconds from the start of frame 0 to the start of `frame`.
  int64_t frameTime(int64_t frame) const;
  const JParams& properties() const { return properties_; }
  const StreamInfo& streamInfo() const { return *streamInfo_; }
  const FileAttributes& attributes() const { return attributes_; }

  /// The offset at which to read `frame` (in/out: moved back to a sync
  /// point when `toSyncPoint`). Throws JTextError "time index not available",
  /// "seek past end" or "seek before start".
  uint64_t seekFrame(int64_t& frame, bool toSyncPoint) const;
  /// The offset of the frame whose time stamp is the greatest not above
  /// `time` (microseconds); `frame` receives its number. Needs times in the
  /// index; throws as seekFrame.
  uint64_t seekTime(int64_t time, int64_t& frame, bool toSyncPoint) const;

  // While the index is being built: a reader that reads `frame` at `offset`
  // with `time` adds its entry when it is the next one missing; reaching the
  // end of the data after `frames` frames ending at `dataEnd` completes the
  // index (when every frame is in it) and clears the building state.
  void addBuiltEntry(int64_t frame, uint64_t offset, int64_t time);
  void endOfDataReached(int64_t frames, uint64_t dataEnd);

  /// A growing file holds one more block of `blockSize` bytes, the one of
  /// `frame`: the count grows when `frame` is the first frame past it (so
  /// that two readers finding the same block add it once).
  void growByOneBlock(int64_t frame, uint64_t blockSize);

 private:
  // The frame at or before `frame` that is a sync point.
  int64_t backToSyncPoint(int64_t frame) const;

  mutable std::mutex mutex_;
  int64_t frameCount_;
  int64_t startTime_;
  int64_t endTime_;
  const uint64_t durationNumerator_;
  const uint64_t durationDenominator_;
  const JParams properties_;
  IndexKind indexKind_;
  std::vector<TimeIndexEntry> index_;
  const std::unique_ptr<const StreamInfo> streamInfo_;
  uint64_t dataSize_;
  const bool growing_;
  bool buildingIndex_;
  const FileAttributes attributes_;
};

}  // namespace zq
