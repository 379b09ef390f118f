// Lines read from a pipe with a time-out: how the end-to-end tests and the
// attack benchmark wait on what a child program prints.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

namespace zq::test {

class LineReader {
 public:
  void attach(int fd) {
    fd_ = fd;
    buffer_.clear();
  }
  int fd() const { return fd_; }

  /// The next whole line, or nothing when none came within `limitMs` or
  /// the writer closed its end.
  std::optional<std::string> next(int limitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string l = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[4096];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) {
        return std::nullopt;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

}  // namespace zq::test
