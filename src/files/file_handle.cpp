// JFileHandle (file_handle.h) over POSIX descriptors. Interrupted calls are
// retried; every other failure becomes a JSysError named after the call it
// stands for.
#include "files/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/error.h"

namespace zq {

JFileHandle::JFileHandle(const std::string& path, Mode mode) {
  // Not blocking: a FIFO named by mistake must be refused, not waited on.
  const int flags = (mode == Mode::kReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK;
  do {
    fd_ = ::open(path.c_str(), flags);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    throw JSysError(static_cast<uint32_t>(errno), "CreateFile");
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int e = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? errno : EINVAL;
    ::close(fd_);
    fd_ = -1;
    throw JSysError(static_cast<uint32_t>(e), "CreateFile");
  }
}

JFileHandle::~JFileHandle() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

JFileHandle::JFileHandle(JFileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

JFileHandle& JFileHandle::operator=(JFileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

uint64_t JFileHandle::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    throw JSysError(static_cast<uint32_t>(errno), "GetFileSize");
  }
  return static_cast<uint64_t>(st.st_size);
}

size_t JFileHandle::readAt(uint64_t offset, std::span<uint8_t> out) const {
  size_t got = 0;
  while (got < out.size()) {
    if (offset + got > static_cast<uint64_t>(INT64_MAX)) {
      break;
    }
    const ssize_t n =
        ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      throw JSysError(static_cast<uint32_t>(errno), "ReadFile");
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  return got;
}

void JFileHandle::writeAt(uint64_t offset, std::span<const uint8_t> bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw JSysError(static_cast<uint32_t>(n < 0 ? errno : EIO), "WriteFile");
    }
    done += static_cast<size_t>(n);
  }
}

void JFileHandle::truncate(uint64_t size) const {
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    throw JSysError(static_cast<uint32_t>(errno), "SetEndOfFile");
  }
}

}  // namespace zq
