// Memory and file streams.
#include "com/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "com/bstr.h"
#include "com/ref_count.h"
#include "com/stream_internal.h"

namespace zq::com {
namespace {

// The bytes of a file stream and its clones, behind one descriptor.
struct FileBytes {
  explicit FileBytes(int descriptor) : fd(descriptor) {}
  ~FileBytes() { ::close(fd); }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  const int fd;
  std::mutex mutex;  // orders size changes against writes
};

HRESULT fromErrno(int error) {
  switch (error) {
    case ENOENT:
      return STG_E_FILENOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return STG_E_ACCESSDENIED;
    default:
      return STG_E_WRITEFAULT;
  }
}

class FileStream : public JComObject<FileStream, IStream> {
 public:
  FileStream(std::shared_ptr<FileBytes> bytes, bool writable, std::string name)
      : bytes_(std::move(bytes)), writable_(writable), name_(std::move(name)) {}

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr && size > 0) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    ULONG total = 0;
    while (total < size) {
      const ssize_t n = ::pread(bytes_->fd, static_cast<char*>(buffer) + total, size - total,
                                static_cast<off_t>(position_ + total));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        return STG_E_READFAULT;
      }
      if (n == 0) {
        break;
      }
      total += static_cast<ULONG>(n);
    }
    position_ += total;
    if (read != nullptr) {
      *read = total;
    }
    return S_OK;
  }
  HRESULT Write(const void* data, ULONG size, ULONG* written) override {
    if (written != nullptr) {
      *written = 0;
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    if (data == nullptr && size > 0) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    ULONG total = 0;
    while (total < size) {
      const ssize_t n = ::pwrite(bytes_->fd, static_cast<const char*>(data) + total, size - total,
                                 static_cast<off_t>(position_ + total));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        position_ += total;
        return errno == ENOSPC ? STG_E_WRITEFAULT : fromErrno(errno);
      }
      total += static_cast<ULONG>(n);
    }
    position_ += total;
    if (written != nullptr) {
      *written = total;
    }
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::lock_guard lock(bytes_->mutex);
    return seekFrom(position_, sizeLocked(), move, origin, newPosition);
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::lock_guard lock(bytes_->mutex);
    return ::ftruncate(bytes_->fd, static_cast<off_t>(size.QuadPart)) == 0 ? S_OK
                                                                           : fromErrno(errno);
  }
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override {
    return copyStream(this, target, size, read, written);
  }
  HRESULT Commit(DWORD /*flags*/) override {
    return ::fsync(bytes_->fd) == 0 || errno == EINVAL ? S_OK : STG_E_WRITEFAULT;
  }
  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    fillStat(*stat, flags, name_, STGTY_STREAM, sizeLocked(),
             writable_ ? STGM_READWRITE : STGM_READ);
    return S_OK;
  }
  HRESULT Clone(IStream** clone) override {
    if (clone == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    auto* c = new FileStream(bytes_, writable_, name_);
    std::lock_guard lock(bytes_->mutex);
    c->position_ = position_;
    *clone = c;
    return S_OK;
  }

 private:
  uint64_t sizeLocked() const {
    struct stat st {};
    return ::fstat(bytes_->fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  std::shared_ptr<FileBytes> bytes_;
  const bool writable_;
  const std::string name_;
  uint64_t position_ = 0;  // guarded by bytes_->mutex
};

}  // namespace

void* CoTaskMemAlloc(size_t bytes) {
  return std::malloc(bytes == 0 ? 1 : bytes);
}
void CoTaskMemFree(void* p) {
  std::free(p);
}

HRESULT seekFrom(uint64_t& position, uint64_t size, LARGE_INTEGER move, DWORD origin,
                 ULARGE_INTEGER* newPosition) {
  int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(position);
      break;
    case STREAM_SEEK_END:
      base = static_cast<int64_t>(size);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  const int64_t target = base + move.QuadPart;
  if (target < 0) {
    return STG_E_INVALIDFUNCTION;
  }
  position = static_cast<uint64_t>(target);
  if (newPosition != nullptr) {
    newPosition->QuadPart = position;
  }
  return S_OK;
}

void fillStat(STATSTG& stat, DWORD flags, const std::string& name, DWORD type, uint64_t size,
              DWORD mode) {
  stat = STATSTG{};
  stat.type = type;
  stat.cbSize.QuadPart = size;
  stat.grfMode = mode;
  if ((flags & STATFLAG_NONAME) == 0) {
    const std::u16string wide = utf16FromUtf8(name);
    auto* text = static_cast<OLECHAR*>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
    std::copy(wide.begin(), wide.end(), text);
    text[wide.size()] = 0;
    stat.pwcsName = text;
  }
}

HRESULT copyStream(IStream* from, IStream* to, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                   ULARGE_INTEGER* written) {
  if (to == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  uint64_t totalRead = 0;
  uint64_t totalWritten = 0;
  HRESULT hr = S_OK;
  char chunk[4096];
  while (totalRead < size.QuadPart) {
    ULONG got = 0;
    const ULONG want =
        static_cast<ULONG>(std::min<uint64_t>(sizeof chunk, size.QuadPart - totalRead));
    if (hr = from->Read(chunk, want, &got); FAILED(hr) || got == 0) {
      break;
    }
    totalRead += got;
    ULONG put = 0;
    hr = to->Write(chunk, got, &put);
    totalWritten += put;
    if (FAILED(hr)) {
      break;
    }
  }
  if (read != nullptr) {
    read->QuadPart = totalRead;
  }
  if (written != nullptr) {
    written->QuadPart = totalWritten;
  }
  return hr;
}

HRESULT createMemoryStream(IStream** stream) {
  return createMemoryStreamOn(std::make_shared<JStreamBytes>(), true, "", stream);
}

HRESULT CreateStreamOnHGlobal(void* handle, BOOL /*deleteOnRelease*/, IStream** stream) {
  if (handle != nullptr) {
    return E_INVALIDARG;
  }
  return createMemoryStream(stream);
}

HRESULT createFileStream(const std::string& path, DWORD mode, IStream** stream) {
  if (stream == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  *stream = nullptr;
  const bool writable = (mode & (STGM_WRITE | STGM_READWRITE)) != 0;
  int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
  if ((mode & STGM_CREATE) != 0) {
    if (!writable) {
      return STG_E_INVALIDPARAMETER;
    }
    flags |= O_CREAT | O_TRUNC;
  }
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    return fromErrno(errno);
  }
  const size_t slash = path.find_last_of('/');
  *stream = new FileStream(std::make_shared<FileBytes>(fd), writable,
                           slash == std::string::npos ? path : path.substr(slash + 1));
  return S_OK;
}

}  // namespace zq::com
