// JLineBuffer: the read buffer of a line reader. A small one comes from the
// heap; a large one (a long line) gets pages of its own, which go back to the
// system the moment the buffer is freed, whatever the process's allocator
// would keep for later (with one thread per connection, its per-thread
// arenas kept tens of megabytes after long lines had come and gone).
#pragma once

#include <cstddef>

namespace zq {

class JLineBuffer {
 public:
  /// Buffers of more bytes than this get pages of their own.
  static constexpr size_t kMappedAbove = 64 * 1024;

  /// `size` bytes, left uninitialised. Throws std::bad_alloc when the memory
  /// cannot be had.
  explicit JLineBuffer(size_t size);
  ~JLineBuffer();
  JLineBuffer(JLineBuffer&& other) noexcept;
  JLineBuffer& operator=(JLineBuffer&& other) noexcept;
  JLineBuffer(const JLineBuffer&) = delete;
  JLineBuffer& operator=(const JLineBuffer&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

  /// The bytes the process's line buffers hold in pages of their own now
  /// (whole pages). Any thread.
  static size_t mappedBytes();

 private:
  void release() noexcept;

  char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace zq
