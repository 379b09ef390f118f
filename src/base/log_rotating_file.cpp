// The rotating log file output: file naming, rotation by size and the
// clean-up of the directory, oldest files first.
#include "base/log_rotating_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/log_format.h"
#include "base/registry_key.h"

namespace zq {
namespace {

constexpr uint64_t kMinFileSize = 1024;

// mkdir -p; the errno of the first failure, 0 on success.
int makeDirectories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  }
  if (errno != ENOENT) {
    return errno;
  }
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (int e = makeDirectories(path.substr(0, slash)); e != 0) {
      return e;
    }
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    return errno;
  }
  return 0;
}

struct LogFileEntry {
  std::string path;
  struct timespec mtime;
  uint64_t size;
};

bool olderThan(const LogFileEntry& a, const LogFileEntry& b) {
  if (a.mtime.tv_sec != b.mtime.tv_sec) {
    return a.mtime.tv_sec < b.mtime.tv_sec;
  }
  if (a.mtime.tv_nsec != b.mtime.tv_nsec) {
    return a.mtime.tv_nsec < b.mtime.tv_nsec;
  }
  return a.path < b.path;
}

}  // namespace

JRotatingLogFile::JRotatingLogFile(const JSystemRegistryKey& key)
    : JGenericLog(key, false), programName_(hostExecutableName()) {
  key.getString("LogDirectory", directory_);
  uint32_t mb = 0;
  if (key.getDword("MaxLogDirSize", mb)) {
    maxDirSize_ = uint64_t{mb} * 1048576;
  }
  uint32_t kb = 0;
  if (key.getDword("MaxLogFileSize", kb)) {
    maxFileSize_ = uint64_t{kb} * 1024;
  }
  if (maxFileSize_ != 0 && maxFileSize_ < kMinFileSize) {
    maxFileSize_ = kMinFileSize;
  }
  if (!directory_.empty()) {
    if (int e = makeDirectories(directory_); e != 0) {
      throw JSysError(static_cast<uint32_t>(e), "CreateDirectory");
    }
  }
}

JRotatingLogFile::~JRotatingLogFile() {
  closeFile();
}

void JRotatingLogFile::closeFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  written_ = 0;
  currentPath_.clear();
}

void JRotatingLogFile::cleanUp() {
  DIR* dir = ::opendir(directory_.c_str());
  if (dir == nullptr) {
    return;
  }
  std::vector<LogFileEntry> files;
  uint64_t total = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    if (::fnmatch("ZQ_Log_*", entry->d_name, 0) != 0) {
      continue;
    }
    std::string path = directory_ + "/" + entry->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      break;
    }
    files.push_back({std::move(path), st.st_mtim, static_cast<uint64_t>(st.st_size)});
    total += static_cast<uint64_t>(st.st_size);
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end(), olderThan);
  for (const LogFileEntry& f : files) {
    if (total <= maxDirSize_) {
      break;
    }
    if (::unlink(f.path.c_str()) == 0) {
      total -= f.size;
    }
  }
}

void JRotatingLogFile::openFile() {
  if (directory_.empty()) {
    return;
  }
  closeFile();
  if (maxDirSize_ != 0) {
    cleanUp();
  }
  // Two files opened within one microsecond would get the same name: take
  // the time again rather than append to the other file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm t;
    time_t seconds = tv.tv_sec;
    ::localtime_r(&seconds, &t);
    std::string path =
        directory_ + jformat("/ZQ_Log_%s_%02d_%02d_%04d_%02d_%02d_%02d_%d.log",
                             programName_.c_str(), t.tm_mon + 1, t.tm_mday, t.tm_year + 1900,
                             t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      fd_ = fd;
      currentPath_ = std::move(path);
      return;
    }
    if (errno != EEXIST) {
      throw JSysError(static_cast<uint32_t>(errno), "CreateFile");
    }
  }
  throw JSysError(EEXIST, "CreateFile");
}

void JRotatingLogFile::write(int, const std::string& record, const std::string&, int) {
  if (fd_ >= 0 && maxFileSize_ != 0 && written_ >= maxFileSize_) {
    // The full file is closed before the new one is tried, so a rotation
    // that fails never lets the old file grow past its size.
    openFile();
  }
  if (fd_ < 0) {
    openFile();
  }
  if (fd_ < 0) {
    return;
  }
  size_t done = 0;
  while (done < record.size()) {
    ssize_t n = ::write(fd_, record.data() + done, record.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int e = n < 0 ? errno : ENOSPC;
      closeFile();
      if (e == ENOSPC || e == EDQUOT) {
        throw JNoSpaceLeftError(static_cast<uint32_t>(e), "WriteFile");
      }
      throw JSysError(static_cast<uint32_t>(e), "WriteFile");
    }
    done += static_cast<size_t>(n);
    written_ += static_cast<uint64_t>(n);
  }
}

}  // namespace zq
