// JLineIO: the line framing of the RPC protocol on one socket: lines written
// with CR LF, LF or CR LF ending a line read, an optional cap on its length.
#pragma once

#include <cstddef>
#include <memory>
#include <source_location>
#include <string_view>

#include "base/error.h"
#include "net/socket.h"
#include "rpc/fair_lock.h"
#include "rpc/line_buffer.h"

namespace zq {

/// A line read was longer than the reader's cap. Not logged when built: the
/// reader decides what the peer's fault is worth.
class JLineTooLongError : public JError {
 public:
  explicit JLineTooLongError(size_t maxLength,
                             const std::source_location& where = std::source_location::current());
  /// "line longer than <cap> bytes"
  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;
  size_t maxLength() const { return maxLength_; }

 private:
  size_t maxLength_;
};

/// Reads and writes whole lines on the socket it owns. Bytes read past the end
/// of a line are kept for the next one; the read buffer starts at 256 bytes,
/// doubles when a line does not fit, and is reused from line to line up to
/// kRetainedBufferSize; a larger one is given back (to the system: see
/// JLineBuffer) once its line has been read, so that an idle peer does not
/// keep the room its longest line took.
///
/// Concurrency: one thread at a time (the RPC client serialises its calls, a
/// server connection has its own thread). close() or shutdown() of socket()
/// from another thread ends a blocked readLine, as JSocket allows.
class JLineIO {
 public:
  static constexpr size_t kInitialBufferSize = 256;
  /// The largest read buffer kept from one line to the next.
  static constexpr size_t kRetainedBufferSize = 64 * 1024;

  JLineIO();
  explicit JLineIO(std::unique_ptr<JSocket> socket);
  virtual ~JLineIO();
  JLineIO(const JLineIO&) = delete;
  JLineIO& operator=(const JLineIO&) = delete;

  /// Takes ownership of `socket` (may be null), dropping the previous socket
  /// and any bytes buffered from it.
  void setSocket(std::unique_ptr<JSocket> socket);
  JSocket* socket() const { return socket_.get(); }

  /// The longest line readLine accepts, terminator excluded; 0 (the
  /// default) for no cap. The buffer then never grows past the cap plus the
  /// two bytes of a CR LF.
  void setMaxLineLength(size_t maxLength) { maxLineLength_ = maxLength; }
  size_t maxLineLength() const { return maxLineLength_; }

  /// Reads the next line into `line`, without its terminator; the view stays
  /// valid until the next call. Returns false when the peer closed the
  /// connection before a whole line arrived (an unterminated tail is dropped).
  /// Socket errors and time-outs (the socket's read time-out) propagate; the
  /// bytes of a partly received line stay buffered. A line longer than the
  /// cap throws JLineTooLongError as soon as that is certain, without waiting
  /// for its end; the buffered bytes are then dropped and the reader is out
  /// of step with the peer, so its owner closes the connection.
  bool readLine(std::string_view& line);
  /// As readLine, the whole line due by `deadline`: each read of the socket
  /// waits what is left of it (the socket's read time-out is set to that,
  /// and left so), so a peer that trickles its line cannot stretch the wait.
  bool readLine(std::string_view& line, const JDeadline& deadline);

  /// Writes `line` followed by CR LF, all of it, waiting like the socket's
  /// write. `line` must not contain a line feed.
  void writeLine(std::string_view line);

  /// Size of the read buffer (for tests of its growth).
  size_t bufferSize() const { return buffer_.size(); }

 private:
  bool readLineWithin(std::string_view& line, const JDeadline* deadline);
  // Gives back a buffer grown past kRetainedBufferSize once the unread bytes
  // fit a smaller one.
  void shrinkBuffer();
  // Moves the unread bytes to the front of a new buffer of `size` bytes.
  void replaceBuffer(size_t size);
  [[noreturn]] void lineTooLong();

  std::unique_ptr<JSocket> socket_;
  size_t maxLineLength_ = 0;  // 0: no cap
  JLineBuffer buffer_;
  size_t begin_ = 0;    // first unread byte
  size_t end_ = 0;      // one past the last byte read
  size_t scanned_ = 0;  // bytes from begin_ known to hold no line feed
};

}  // namespace zq
