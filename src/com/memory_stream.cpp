// The memory stream: bytes in a vector shared by its clones and, for a
// stream of a storage, by every stream opened on that element.
#include <algorithm>
#include <cstring>

#include "com/ref_count.h"
#include "com/stream_internal.h"

namespace zq::com {
namespace {

class MemoryStream : public JComObject<MemoryStream, IStream> {
 public:
  MemoryStream(std::shared_ptr<JStreamBytes> bytes, bool writable, std::string name)
      : bytes_(std::move(bytes)), writable_(writable), name_(std::move(name)) {}

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr && size > 0) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    const std::vector<uint8_t>& data = bytes_->data;
    const uint64_t available = position_ < data.size() ? data.size() - position_ : 0;
    const auto n = static_cast<ULONG>(std::min<uint64_t>(size, available));
    if (n > 0) {
      std::memcpy(buffer, data.data() + position_, n);
    }
    position_ += n;
    if (read != nullptr) {
      *read = n;
    }
    return S_OK;
  }
  HRESULT Write(const void* source, ULONG size, ULONG* written) override {
    if (written != nullptr) {
      *written = 0;
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    if (source == nullptr && size > 0) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    std::vector<uint8_t>& data = bytes_->data;
    if (position_ + size > data.size()) {
      data.resize(position_ + size);
    }
    if (size > 0) {
      std::memcpy(data.data() + position_, source, size);
    }
    position_ += size;
    if (written != nullptr) {
      *written = size;
    }
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::lock_guard lock(bytes_->mutex);
    return seekFrom(position_, bytes_->data.size(), move, origin, newPosition);
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::lock_guard lock(bytes_->mutex);
    bytes_->data.resize(size.QuadPart);
    return S_OK;
  }
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override {
    return copyStream(this, target, size, read, written);
  }
  HRESULT Commit(DWORD /*flags*/) override { return S_OK; }
  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    std::lock_guard lock(bytes_->mutex);
    fillStat(*stat, flags, name_, STGTY_STREAM, bytes_->data.size(),
             writable_ ? STGM_READWRITE : STGM_READ);
    return S_OK;
  }
  HRESULT Clone(IStream** clone) override {
    if (clone == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    auto* c = new MemoryStream(bytes_, writable_, name_);
    std::lock_guard lock(bytes_->mutex);
    c->position_ = position_;
    *clone = c;
    return S_OK;
  }

 private:
  std::shared_ptr<JStreamBytes> bytes_;
  const bool writable_;
  const std::string name_;
  uint64_t position_ = 0;  // guarded by bytes_->mutex
};

}  // namespace

HRESULT createMemoryStreamOn(std::shared_ptr<JStreamBytes> bytes, bool writable, std::string name,
                             IStream** stream) {
  if (stream == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  *stream = new MemoryStream(std::move(bytes), writable, std::move(name));
  return S_OK;
}

}  // namespace zq::com
