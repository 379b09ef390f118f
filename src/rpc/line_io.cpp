// The line framing of the RPC protocol.
#include "rpc/line_io.h"

#include <cstring>

#include "base/error.h"

namespace zq {

JLineIO::JLineIO() : buffer_(kInitialBufferSize) {}

JLineIO::JLineIO(std::unique_ptr<JSocket> socket) : JLineIO() {
  socket_ = std::move(socket);
}

JLineIO::~JLineIO() = default;

void JLineIO::setSocket(std::unique_ptr<JSocket> socket) {
  socket_ = std::move(socket);
  begin_ = end_ = scanned_ = 0;
}

bool JLineIO::readLine(std::string_view& line) {
  if (!socket_) {
    throw JSysError(JSysError::kSocketTag | 10038, "recv");
  }
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const size_t unread = end_ - begin_;
    if (const void* lf = std::memchr(start + scanned_, '\n', unread - scanned_)) {
      size_t length = static_cast<size_t>(static_cast<const char*>(lf) - start);
      const size_t consumed = length + 1;
      if (length > 0 && start[length - 1] == '\r') {
        --length;
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

    // Make room: move the partial line to the front, double when full.
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
      begin_ = 0;
      end_ = unread;
    }
    if (end_ == buffer_.size()) {
      buffer_.resize(buffer_.size() * 2);
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
