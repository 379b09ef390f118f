// MP3 files as streams of frames: MP3FileInfo describes a file of Layer III
// frames (with the system's trailers, when it has them), MP3Input reads it
// frame by frame, seeks by frame or time through the time index, and builds
// that index when the file came without one.
//
// File layout: optionally one or more ID3v2 tags (skipped by the sizes
// their headers state; a tag the file cannot hold makes it no MP3 file);
// then the frames; optionally L bytes of property
// text, "ZQ_TAG_2" and L (u32); optionally a time index of N + 1 entries,
// "ZQ_TAG_1" and N (u32); optionally a 128-byte ID3v1 tag ("TAG"...). The
// trailers are found from the end; a trailer whose count does not fit the
// bytes in front of it is not taken for one.
//
// Frames whose header does not parse, or whose length is 0 or more than a
// stream buffer holds, end the data. Free-format frames (the encoder writes
// 144 and 176 kbit/s that way) take their length from the distance between
// the first two frames.
//
// Concurrency: as FileInfo and FileInput.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "files/file_info.h"

namespace zq {

/// What the end of an MP3 file holds, found from its last bytes.
struct Mp3Trailers {
  /// Where the frames end: the first byte of the first trailer.
  uint64_t dataEnd = 0;
  /// The time index (N + 1 entries) when a "ZQ_TAG_1" trailer holds a
  /// consistent one.
  std::optional<std::vector<TimeIndexEntry>> index;
  /// The property trailer's text, when there is one.
  std::optional<std::string> properties;
  /// Where a time index trailer starts or would start (after the property
  /// trailer), and the ID3v1 tag after it, when there is one.
  uint64_t indexTrailerAt = 0;
  std::optional<std::array<uint8_t, 128>> id3;
};

/// Reads the trailers of the MP3 file `file` of `fileSize` bytes. Throws
/// JSysError when the file cannot be read.
Mp3Trailers readMp3Trailers(const JFileHandle& file, uint64_t fileSize);

/// The length of the free-format frames of a stream whose first frame
/// header is at the start of `bytes` (not counting its padding byte), found
/// from where the next frames begin; 0 when two frames cannot be told apart.
uint32_t freeFormatFrameSize(std::span<const uint8_t> bytes);

/// Where the frames of the MP3 file `file` of `fileSize` bytes start: after
/// the ID3v2 tags in front of them, if any. Throws JTextError "not an mp3
/// file" for a tag whose header is corrupt or whose size runs past the file.
uint64_t mp3DataStart(const JFileHandle& file, uint64_t fileSize);

/// What describing an MP3 file finds.
struct Mp3FileDescription {
  std::shared_ptr<FileDescription> description;
  uint64_t dataStart = 0;
  Mp3Trailers trailers;
  uint32_t freeFormatSize = 0;
};

/// Describes the MP3 file open on `file`. Throws JTextError "not an mp3
/// file" when the 4 bytes at the start of its frames (mp3DataStart) are not
/// a Layer III frame header, and JSysError when it cannot be read.
Mp3FileDescription describeMp3File(const JFileHandle& file);

class MP3FileInfo : public FileInfo {
 public:
  /// Describes the file `fileName`, open on `file` (see describeMp3File).
  MP3FileInfo(const std::string& fileName, const JFileHandle& file);

  std::unique_ptr<FileInput> openInput() override;
  /// Reads the file through a new input when the index is still being
  /// built; with `write`, a file that had no index trailer gets one after
  /// its frames (and its property trailer), its ID3v1 tag kept after it.
  void finishIndex(bool write) override;

  /// The frame length of a free-format header of this file, 0 when the
  /// file's frames are not in free format.
  uint32_t freeFormatSize() const { return freeFormatSize_; }
  /// Where the frames start and end.
  uint64_t dataStart() const { return dataStart_; }
  uint64_t dataEnd() const { return trailers_.dataEnd; }

 private:
  MP3FileInfo(const std::string& fileName, Mp3FileDescription described);

  Mp3Trailers trailers_;
  uint64_t dataStart_ = 0;
  uint32_t freeFormatSize_ = 0;
  bool indexFromFile_ = false;
};

class MP3Input : public FileInput {
 public:
  MP3Input(MP3FileInfo& info, JFileHandle file);

  uint64_t seekToFrame(int64_t& frame, bool toSyncPoint) override;
  uint64_t seekToTime(int64_t time, int64_t& frame, bool toSyncPoint) override;
  int nextFrame(bool* got, uint32_t* size, int64_t* time, bool* syncPoint) override;
  uint32_t read(uint8_t* buffer, uint32_t length) override;

 private:
  // Makes sure `n` bytes from position_ are in the window, within the data.
  bool buffered(size_t n);
  // Takes the frame at position_: false at the end of the data.
  bool takeFrame(uint32_t* size, int64_t* time, bool* syncPoint);
  void moveTo(uint64_t offset, int64_t frame);

  const std::string fileName_;
  const uint64_t dataStart_;
  const uint64_t dataEnd_;
  const uint32_t freeFormatSize_;
  const uint32_t samplesPerFrame_;
  const uint32_t sampleRate_;
  const uint32_t bufferSize_;

  std::vector<uint8_t> window_;
  uint64_t windowOffset_ = 0;  // file offset of window_[0]
  size_t windowFill_ = 0;
  uint64_t position_;  // file offset of the next frame
  uint64_t frameOffset_ = 0;
  uint32_t frameLength_ = 0;  // 0: no current frame
};

}  // namespace zq
