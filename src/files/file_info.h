// FileInfo, the description of one audio file as the process-wide cache
// keeps it, and FileInput, a reader of its frames; with the cache itself.
// MP3 and WAVE files have their own kinds of both (mp3_file_input.h,
// wave_file_input.h); getFileInfo picks the kind from the file's first bytes.
//
// Lifetime: a FileInfo is counted: every getFileInfo and every input opened
// on it holds it, and each holder gives it back once (release, or the
// input's destruction). A cached FileInfo that nobody holds stays in the
// cache for the next getFileInfo of the same name until the cache needs
// room, the cache is destroyed, or its deletion is asked; an uncached one
// goes with its last holder.
//
// Concurrency: the cache and the holder counts are guarded by one lock, so
// the functions below may be called from any thread. Opening inputs on one
// FileInfo is serialised by its own lock. An input is used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "files/file_description.h"
#include "files/file_handle.h"

namespace zq {

class FileInput;

/// An entry of a cache, found by its key.
class JCacheRecord {
 public:
  virtual ~JCacheRecord() = default;
  /// 0 when the record's key is `key`; otherwise its order against it.
  virtual int compareKey(std::string_view key) const = 0;
};

class FileInfo : public JCacheRecord {
 public:
  ~FileInfo() override;
  FileInfo(const FileInfo&) = delete;
  FileInfo& operator=(const FileInfo&) = delete;

  /// Gives back one hold: see the file comment. The object may be gone when
  /// this returns.
  virtual void release();
  int compareKey(std::string_view key) const override;
  /// A new input over this description, on a read-only handle of its own.
  /// Throws JSysError when the file cannot be opened again.
  virtual std::unique_ptr<FileInput> openInput() = 0;
  /// Start and end time stamps, microseconds.
  virtual void getTimeRange(int64_t& start, int64_t& end) const;
  /// Completes the time index by reading the file through, and writes it
  /// into the file when `write`. Throws JTextError "unimplemented" unless the
  /// file's kind can.
  virtual void finishIndex(bool write);

  /// See FileDescription::seekFrame and seekTime.
  uint64_t seekFrame(int64_t& frame, bool toSyncPoint) const;
  uint64_t seekTime(int64_t time, int64_t& frame, bool toSyncPoint) const;

  const std::string& fileName() const { return fileName_; }
  const std::shared_ptr<FileDescription>& description() const { return description_; }
  /// How many inputs were opened on this description so far.
  int inputsOpened() const;

 protected:
  FileInfo(std::string fileName, std::shared_ptr<FileDescription> description);

  /// For openInput: a read-only handle on the file, counted as an input
  /// opened, and a hold for the input (given back by its destruction).
  JFileHandle openForInput();

  // Serialises the opening of inputs (and the index completion).
  mutable std::mutex lock_;

 private:
  friend class FileInput;
  friend class FileInfoCache;
  friend FileInfo* getFileInfo(const std::string& fileName);
  friend void releaseFileInfo(FileInfo* info, bool deleteIt);

  const std::string fileName_;
  const std::shared_ptr<FileDescription> description_;
  int inputsOpened_ = 0;
  // Guarded by the cache lock.
  int holders_ = 1;
  bool cached_ = false;
  bool deleteWhenFree_ = false;
};

/// Reads a file frame by frame. Frame numbers run from -1 (nothing read)
/// upwards; seeking answers the offset to read at and leaves the frame
/// number one before the frame landed on.
class FileInput {
 public:
  /// Gives back the input's hold on its FileInfo.
  virtual ~FileInput();
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  /// Looping is on unless turned off.
  virtual void setLooping(bool on) { looping_ = on; }
  /// Seeking; these answer 0 and move nothing unless the kind can seek.
  virtual uint64_t seekToFrame(int64_t& frame, bool toSyncPoint);
  virtual uint64_t seekToTime(int64_t time, int64_t& frame, bool toSyncPoint);

  /// Results of nextFrame.
  static constexpr int kFrame = 0, kLooped = 1, kEnd = -1, kNothingAfterLoop = -2;
  /// Moves to the next frame: kFrame, kLooped when the file was rewound to
  /// give it, kEnd at the end without looping, kNothingAfterLoop when even
  /// the rewound file gives none. With a frame, `got` is true and `size`,
  /// `time` (microseconds) and `syncPoint` describe it. Any output may be null.
  virtual int nextFrame(bool* got, uint32_t* size, int64_t* time, bool* syncPoint) = 0;
  /// Copies the current frame's bytes, at most `length`; returns how many.
  virtual uint32_t read(uint8_t* buffer, uint32_t length) = 0;

  bool looping() const { return looping_; }
  int64_t frameNumber() const { return frame_; }
  FileInfo& info() const { return *info_; }
  const FileDescription& description() const { return *description_; }

 protected:
  FileInput(FileInfo& info, JFileHandle file);

  bool looping_ = true;
  int64_t frame_ = -1;
  const std::shared_ptr<FileDescription> description_;
  const JFileHandle file_;

 private:
  FileInfo* const info_;  // held, given back by the destructor
};

/// Creates the process-wide cache, keeping up to `capacity` descriptions
/// nobody holds. Throws JTextError "File info cache already initialized".
void initFileInfoCache(size_t capacity);
/// Creates the cache unless one exists: for a component that plays files in
/// a process whose owner may not have made one. Never throws for an existing
/// cache.
void ensureFileInfoCache(size_t capacity);
/// Deletes the cache and the descriptions nobody holds; the held ones go
/// with their last holder.
void destroyFileInfoCache();
/// The description of `fileName`, from the cache or made now (the file is
/// opened read-only and recognised by its first bytes); null when it is of
/// no type read here. Throws JTextError "FileInfo cache not initialized",
/// JSysError when the file cannot be opened or read, and the kind's own
/// errors for a file it refuses.
FileInfo* getFileInfo(const std::string& fileName);
/// Gives back a hold taken by getFileInfo; with `deleteIt`, the description
/// also leaves the cache, to be deleted when its last holder goes.
void releaseFileInfo(FileInfo* info, bool deleteIt);

/// Gives back a hold when it goes.
struct FileInfoRelease {
  void operator()(FileInfo* info) const { info->release(); }
};
using FileInfoHold = std::unique_ptr<FileInfo, FileInfoRelease>;

}  // namespace zq
