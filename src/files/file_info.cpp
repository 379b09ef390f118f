// FileInfo and FileInput (file_info.h), and the process-wide cache. Holder
// counts change under the cache lock whether or not a description is
// cached, so that the last holder is always known.
#include "files/file_info.h"

#include <algorithm>
#include <list>

#include "base/error.h"
#include "files/file_type.h"
#include "files/mp3_file_input.h"
#include "files/wave_file_input.h"

namespace zq {

class FileInfoCache {
 public:
  explicit FileInfoCache(size_t capacity) : capacity_(capacity) {}

  static std::mutex& lock() {
    static std::mutex mutex;
    return mutex;
  }
  // The cache, or null; guarded by lock().
  static FileInfoCache*& instance() {
    static FileInfoCache* cache = nullptr;
    return cache;
  }

  FileInfo* findLocked(std::string_view name) {
    const auto it = std::ranges::find_if(
        records_, [&](const FileInfo* info) { return info->compareKey(name) == 0; });
    if (it == records_.end()) {
      return nullptr;
    }
    FileInfo* info = *it;
    records_.splice(records_.begin(), records_, it);
    return info;
  }

  void insertLocked(FileInfo* info) {
    info->cached_ = true;
    records_.push_front(info);
    trimLocked();
  }

  void removeLocked(FileInfo* info) {
    records_.remove(info);
    info->cached_ = false;
  }

  // Deletes descriptions nobody holds, least recently used first, while
  // there are more than the capacity.
  void trimLocked() {
    for (auto it = records_.end(); records_.size() > capacity_ && it != records_.begin();) {
      --it;
      if ((*it)->holders_ == 0) {
        delete *it;
        it = records_.erase(it);
      }
    }
  }

  // Deletes what nobody holds; the rest is left to its holders.
  ~FileInfoCache() {
    for (FileInfo* info : records_) {
      info->cached_ = false;
      if (info->holders_ == 0) {
        delete info;
      }
    }
  }

 private:
  const size_t capacity_;
  std::list<FileInfo*> records_;  // most recently used first; not owned
};

namespace {

// A new description of `fileName` with one holder, or null for a type not
// read here.
std::unique_ptr<FileInfo> describeFile(const std::string& fileName) {
  JFileHandle file(fileName, JFileHandle::Mode::kReadOnly);
  uint8_t first[kFileTypeBytes];
  const size_t got = file.readAt(0, first);
  switch (fileTypeOf(std::span<const uint8_t>(first, got))) {
    case FileType::kMp3:
      return std::make_unique<MP3FileInfo>(fileName, file);
    case FileType::kWave:
      return std::make_unique<WAVEFileInfo>(fileName, file);
    case FileType::kAvi:
    case FileType::kAsf:
    case FileType::kUnreadable:
      break;
  }
  return nullptr;
}

}  // namespace

FileInfo::FileInfo(std::string fileName, std::shared_ptr<FileDescription> description)
    : fileName_(std::move(fileName)), description_(std::move(description)) {}

FileInfo::~FileInfo() = default;

void FileInfo::release() {
  {
    std::lock_guard lock(FileInfoCache::lock());
    if (--holders_ > 0) {
      return;
    }
    FileInfoCache* cache = FileInfoCache::instance();
    if (cached_ && !deleteWhenFree_ && cache != nullptr) {
      cache->trimLocked();  // may delete this very description
      return;
    }
    if (cached_ && cache != nullptr) {
      cache->removeLocked(this);
    }
  }
  delete this;  // the last hold on an uncached description owned it
}

int FileInfo::compareKey(std::string_view key) const {
  return std::string_view(fileName_).compare(key);
}

void FileInfo::getTimeRange(int64_t& start, int64_t& end) const {
  description_->timeRange(start, end);
}

void FileInfo::finishIndex(bool) {
  throw JTextError("unimplemented");
}

uint64_t FileInfo::seekFrame(int64_t& frame, bool toSyncPoint) const {
  return description_->seekFrame(frame, toSyncPoint);
}

uint64_t FileInfo::seekTime(int64_t time, int64_t& frame, bool toSyncPoint) const {
  return description_->seekTime(time, frame, toSyncPoint);
}

int FileInfo::inputsOpened() const {
  std::lock_guard lock(lock_);
  return inputsOpened_;
}

JFileHandle FileInfo::openForInput() {
  JFileHandle file(fileName_, JFileHandle::Mode::kReadOnly);
  {
    std::lock_guard lock(FileInfoCache::lock());
    ++holders_;
  }
  ++inputsOpened_;
  return file;
}

FileInput::FileInput(FileInfo& info, JFileHandle file)
    : description_(info.description()), file_(std::move(file)), info_(&info) {}

FileInput::~FileInput() {
  info_->release();
}

uint64_t FileInput::seekToFrame(int64_t&, bool) {
  return 0;
}

uint64_t FileInput::seekToTime(int64_t, int64_t&, bool) {
  return 0;
}

void initFileInfoCache(size_t capacity) {
  std::lock_guard lock(FileInfoCache::lock());
  if (FileInfoCache::instance() != nullptr) {
    throw JTextError("File info cache already initialized");
  }
  FileInfoCache::instance() = new FileInfoCache(capacity);
}

void ensureFileInfoCache(size_t capacity) {
  std::lock_guard lock(FileInfoCache::lock());
  if (FileInfoCache::instance() == nullptr) {
    FileInfoCache::instance() = new FileInfoCache(capacity);
  }
}

void destroyFileInfoCache() {
  std::lock_guard lock(FileInfoCache::lock());
  delete FileInfoCache::instance();
  FileInfoCache::instance() = nullptr;
}

FileInfo* getFileInfo(const std::string& fileName) {
  {
    std::lock_guard lock(FileInfoCache::lock());
    FileInfoCache* cache = FileInfoCache::instance();
    if (cache == nullptr) {
      throw JTextError("FileInfo cache not initialized");
    }
    if (FileInfo* info = cache->findLocked(fileName)) {
      ++info->holders_;
      return info;
    }
  }
  // Described without the lock: reading a file may take a while, and other
  // files' descriptions must not wait for it.
  std::unique_ptr<FileInfo> made = describeFile(fileName);
  if (!made) {
    return nullptr;
  }
  std::lock_guard lock(FileInfoCache::lock());
  FileInfoCache* cache = FileInfoCache::instance();
  if (cache == nullptr) {
    return made.release();  // uncached: its last holder deletes it
  }
  if (FileInfo* info = cache->findLocked(fileName)) {
    // Another thread described the same file meanwhile: share its.
    ++info->holders_;
    return info;
  }
  FileInfo* info = made.release();  // the cache list refers to it; holders delete it
  cache->insertLocked(info);
  return info;
}

void releaseFileInfo(FileInfo* info, bool deleteIt) {
  if (deleteIt) {
    std::lock_guard lock(FileInfoCache::lock());
    info->deleteWhenFree_ = true;
    if (info->cached_ && FileInfoCache::instance() != nullptr) {
      FileInfoCache::instance()->removeLocked(info);
    }
  }
  info->release();
}

}  // namespace zq
