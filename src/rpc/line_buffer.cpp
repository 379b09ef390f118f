// Line buffers: heap memory when small, mapped pages when large.
#include "rpc/line_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <utility>

namespace zq {
namespace {

std::atomic<size_t> mapped{0};

size_t pageRounded(size_t size) {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

JLineBuffer::JLineBuffer(size_t size) : size_(size) {
  if (size <= kMappedAbove) {
    data_ = new char[size];
    return;
  }
  void* pages = ::mmap(nullptr, pageRounded(size), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    throw std::bad_alloc();
  }
  data_ = static_cast<char*>(pages);
  mapped.fetch_add(pageRounded(size), std::memory_order_relaxed);
}

JLineBuffer::~JLineBuffer() {
  release();
}

JLineBuffer::JLineBuffer(JLineBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

JLineBuffer& JLineBuffer::operator=(JLineBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void JLineBuffer::release() noexcept {
  if (data_ == nullptr) {
    return;
  }
  if (size_ <= kMappedAbove) {
    delete[] data_;
  } else {
    ::munmap(data_, pageRounded(size_));
    mapped.fetch_sub(pageRounded(size_), std::memory_order_relaxed);
  }
  data_ = nullptr;
  size_ = 0;
}

size_t JLineBuffer::mappedBytes() {
  return mapped.load(std::memory_order_relaxed);
}

}  // namespace zq
