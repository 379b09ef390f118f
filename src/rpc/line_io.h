// JLineIO: the line framing of the RPC protocol on one socket. Lines are
// written with CR LF; LF or CR LF ends a line read; there is no length limit.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "net/socket.h"

namespace zq {

/// Reads and writes whole lines on the socket it owns. Bytes read past the end
/// of a line are kept for the next one; the read buffer starts at 256 bytes,
/// doubles when a line does not fit, and is reused from line to line.
///
/// Concurrency: one thread at a time (the RPC client serialises its calls, a
/// server connection has its own thread). close() or shutdown() of socket()
/// from another thread ends a blocked readLine, as JSocket allows.
class JLineIO {
 public:
  static constexpr size_t kInitialBufferSize = 256;

  JLineIO();
  explicit JLineIO(std::unique_ptr<JSocket> socket);
  virtual ~JLineIO();
  JLineIO(const JLineIO&) = delete;
  JLineIO& operator=(const JLineIO&) = delete;

  /// Takes ownership of `socket` (may be null), dropping the previous socket
  /// and any bytes buffered from it.
  void setSocket(std::unique_ptr<JSocket> socket);
  JSocket* socket() const { return socket_.get(); }

  /// Reads the next line into `line`, without its terminator; the view stays
  /// valid until the next call. Returns false when the peer closed the
  /// connection before a whole line arrived (an unterminated tail is dropped).
  /// Socket errors and time-outs (the socket's read time-out) propagate; the
  /// bytes of a partly received line stay buffered.
  bool readLine(std::string_view& line);

  /// Writes `line` followed by CR LF, all of it, waiting like the socket's
  /// write. `line` must not contain a line feed.
  void writeLine(std::string_view line);

  /// Size of the read buffer (for tests of its growth).
  size_t bufferSize() const { return buffer_.size(); }

 private:
  std::unique_ptr<JSocket> socket_;
  std::vector<char> buffer_;
  size_t begin_ = 0;    // first unread byte
  size_t end_ = 0;      // one past the last byte read
  size_t scanned_ = 0;  // bytes from begin_ known to hold no line feed
};

}  // namespace zq
