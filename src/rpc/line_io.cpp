// The line framing of the RPC protocol.
#include "rpc/line_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/error.h"

namespace zq {

JLineTooLongError::JLineTooLongError(size_t maxLength, const std::source_location& where)
    : JError(where), maxLength_(maxLength) {}

void JLineTooLongError::getMessage(char* buffer, size_t size) const {
  if (size > 0) {
    std::snprintf(buffer, size, "line longer than %zu bytes", maxLength_);
  }
}

std::unique_ptr<JError> JLineTooLongError::clone() const {
  return std::make_unique<JLineTooLongError>(*this);
}

JLineIO::JLineIO() : buffer_(kInitialBufferSize) {}

JLineIO::JLineIO(std::unique_ptr<JSocket> socket) : JLineIO() {
  socket_ = std::move(socket);
}

JLineIO::~JLineIO() = default;

void JLineIO::setSocket(std::unique_ptr<JSocket> socket) {
  socket_ = std::move(socket);
  begin_ = end_ = scanned_ = 0;
}

void JLineIO::replaceBuffer(size_t size) {
  const size_t unread = end_ - begin_;
  JLineBuffer replacement(size);
  if (unread > 0) {
    std::memcpy(replacement.data(), buffer_.data() + begin_, unread);
  }
  buffer_ = std::move(replacement);
  begin_ = 0;
  end_ = unread;
}

void JLineIO::shrinkBuffer() {
  if (buffer_.size() <= kRetainedBufferSize) {
    return;
  }
  const size_t unread = end_ - begin_;
  size_t size = kInitialBufferSize;
  while (size < unread) {
    size *= 2;
  }
  if (size < buffer_.size()) {
    replaceBuffer(size);
  }
}

void JLineIO::lineTooLong() {
  begin_ = end_ = scanned_ = 0;
  buffer_ = JLineBuffer(kInitialBufferSize);
  throw JLineTooLongError(maxLineLength_);
}

bool JLineIO::readLine(std::string_view& line) {
  return readLineWithin(line, nullptr);
}

bool JLineIO::readLine(std::string_view& line, const JDeadline& deadline) {
  return readLineWithin(line, &deadline);
}

bool JLineIO::readLineWithin(std::string_view& line, const JDeadline* deadline) {
  if (!socket_) {
    throw JSysError(JSysError::kSocketTag | 10038, "recv");
  }
  // The last line handed out is no longer in use.
  shrinkBuffer();
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const size_t unread = end_ - begin_;
    if (const void* lf = std::memchr(start + scanned_, '\n', unread - scanned_)) {
      size_t length = static_cast<size_t>(static_cast<const char*>(lf) - start);
      const size_t consumed = length + 1;
      if (length > 0 && start[length - 1] == '\r') {
        --length;
      }
      if (maxLineLength_ != 0 && length > maxLineLength_) {
        lineTooLong();
      }
      line = std::string_view(start, length);
      begin_ += consumed;
      scanned_ = 0;
      if (begin_ == end_) {
        begin_ = end_ = 0;
      }
      return true;
    }
    scanned_ = unread;
    // Past the cap and a CR, no line feed can make the line short enough.
    if (maxLineLength_ != 0 && unread > maxLineLength_ + 1) {
      lineTooLong();
    }

    // Make room: move the partial line to the front, double when full (up
    // to the cap, its CR and its LF).
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
      begin_ = 0;
      end_ = unread;
    }
    if (end_ == buffer_.size()) {
      size_t size = buffer_.size() * 2;
      if (maxLineLength_ != 0) {
        size = std::min(size, maxLineLength_ + 2);
      }
      replaceBuffer(size);
    }
    if (deadline != nullptr) {
      socket_->setReadTimeout(deadline->remainingMs());
    }
    const size_t n = socket_->read(buffer_.data() + end_, buffer_.size() - end_);
    if (n == 0) {
      begin_ = end_ = scanned_ = 0;
      return false;
    }
    end_ += n;
  }
}

void JLineIO::writeLine(std::string_view line) {
  if (!socket_) {
    throw JSysError(JSysError::kSocketTag | 10038, "send");
  }
  static const char kEnd[2] = {'\r', '\n'};
  JSocketPiece pieces[2] = {{const_cast<char*>(line.data()), line.size()},
                            {const_cast<char*>(kEnd), sizeof kEnd}};
  size_t first = 0;
  while (first < 2) {
    size_t sent = socket_->writev(pieces + first, 2 - first);
    while (first < 2 && sent >= pieces[first].length) {
      sent -= pieces[first].length;
      ++first;
    }
    if (first < 2) {
      pieces[first].buffer = static_cast<char*>(pieces[first].buffer) + sent;
      pieces[first].length -= sent;
    }
  }
}

}  // namespace zq
