// JFileHandle: an owned descriptor on a file that the file inputs read by
// offset. Every read says how many bytes it got, so that callers can bound
// what they look at by what the file really holds, even while it changes.
//
// Concurrency: reads at offsets (pread) may come from several threads; the
// object itself is used by its owner only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zq {

class JFileHandle {
 public:
  enum class Mode { kReadOnly, kReadWrite };

  JFileHandle() = default;
  /// Opens the regular file `path`; throws JSysError (errno, "CreateFile")
  /// when it cannot, EISDIR or EINVAL for what is not a regular file.
  JFileHandle(const std::string& path, Mode mode);
  ~JFileHandle();
  JFileHandle(JFileHandle&& other) noexcept;
  JFileHandle& operator=(JFileHandle&& other) noexcept;
  JFileHandle(const JFileHandle&) = delete;
  JFileHandle& operator=(const JFileHandle&) = delete;

  bool isOpen() const { return fd_ >= 0; }

  /// The file's size now; throws JSysError ("GetFileSize").
  uint64_t size() const;
  /// Reads up to out.size() bytes at `offset`; returns how many it got (fewer
  /// only at the end of the file). Throws JSysError ("ReadFile").
  size_t readAt(uint64_t offset, std::span<uint8_t> out) const;
  /// Writes all of `bytes` at `offset`; throws JSysError ("WriteFile").
  void writeAt(uint64_t offset, std::span<const uint8_t> bytes) const;
  /// Cuts (or extends) the file to `size` bytes; throws JSysError ("SetEndOfFile").
  void truncate(uint64_t size) const;

 private:
  int fd_ = -1;
};

}  // namespace zq
