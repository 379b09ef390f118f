// JSocket: the base of every socket of the system (TCP, UDP, broadcast, IP
// multicast). It owns one handle and gives bounded waits, scatter/gather,
// options, addresses and datagram calls on top of BSD sockets.
//
// Time-outs (milliseconds): -1, the default, makes a call block; 0 polls; a
// positive value bounds the wait, after which JTimeoutError ("Time out!") is
// thrown. A failing call throws JSysError with the socket tag and the call's
// name ("recv", "send", "WSARecv", "WSASend", "select", ...). No call raises
// SIGPIPE. An operation on a socket without a handle fails with 10038.
//
// Concurrency: a socket is used by one thread at a time, except that close()
// and shutdown() may be called from a second thread to end a blocked read,
// accept or connect. After shutdown() a read of a stream socket returns 0
// (the peer's end) and a read of a datagram socket that finds nothing throws
// 10058; close() makes the blocked call throw 10004 ("interrupted") with its
// call name, and the handle is released once that call has left. Either way
// the read ends at once, whatever its time-out. Time-outs and the trace mask
// may be changed from any thread.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <source_location>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "net/inet_addr.h"
#include "net/qos.h"
#include "net/sock_addr.h"

namespace zq {

/// One piece of a scatter receive or gather send.
struct JSocketPiece {
  void* buffer;
  size_t length;
};

class JSocket : public JTraceableObject {
 public:
  static constexpr int kNoHandle = -1;
  static constexpr int32_t kInfinite = -1;

  /// A socket without a handle (subclasses create theirs). `mask` is the
  /// trace mask its lines obey (level 18 and the others of its trace bits);
  /// it must outlive the socket. Without one the socket has a mask of its
  /// own, initially 0, reached through traceMask().
  explicit JSocket(JTraceMask* mask = nullptr);
  /// Takes ownership of `handle`: the socket closes it.
  explicit JSocket(int handle, JTraceMask* mask = nullptr);
  /// Logs "Closed socket '%d'" (level 18) and closes the handle if one is
  /// open. No other thread may be using the socket.
  ~JSocket() override;

  /// Waits for data up to the read time-out, then makes one receive.
  /// Returns the byte count, 0 when the peer has closed. A datagram larger
  /// than `length` fills the buffer and throws 10040.
  virtual size_t read(void* buffer, size_t length);
  /// Waits for room up to the write time-out, then makes one send; returns
  /// the byte count sent.
  virtual size_t write(const void* buffer, size_t length);
  /// Scatter receive into the pieces in order ("WSARecv"), waiting like read.
  virtual size_t readv(const JSocketPiece* pieces, size_t count);
  /// Gather send of the pieces in order ("WSASend"), waiting like write.
  virtual size_t writev(const JSocketPiece* pieces, size_t count);
  /// Moves a file socket's position; a network socket answers -1.
  virtual int64_t skip(int64_t count);
  /// Flushes a file socket; nothing for a network socket.
  virtual void sync();
  /// Moves a file socket back to its start; a network socket answers -1.
  virtual int64_t rewind();
  virtual void getsockopt(int level, int name, void* value, socklen_t* length) const;
  virtual void setsockopt(int level, int name, const void* value, socklen_t length);
  virtual void bind(const JSockAddr& address);
  /// Logs "Closed socket '%d'" (level 18), closes the handle and forgets it.
  /// Returns the close result, or -1 when there was no handle. May be called
  /// from another thread while a call is blocked (see the file comment);
  /// then the result is 0.
  virtual int close();

  /// Sets one direction of the QoS block, creating the block when needed.
  virtual void setSendingFlowspec(const JFlowSpec& spec);
  virtual void setReceivingFlowspec(const JFlowSpec& spec);
  virtual void dropQoS();
  /// Hands the block to the system. This platform reserves nothing per
  /// socket, so a socket with a block succeeds without effect (logged at
  /// level 18); without a block it throws 10022 "WSAIoctl(SIO_SET_QOS)".
  virtual void applyQoS();

  virtual void setReadTimeout(int32_t milliseconds);
  virtual int32_t readTimeout() const;
  /// Logs "Write timeout set to '%d' on socket '%d'" (level 18); 0 logs a
  /// level-11 warning instead and is stored all the same.
  virtual void setWriteTimeout(int32_t milliseconds);
  virtual int32_t writeTimeout() const;
  virtual void setConnectTimeout(int32_t milliseconds);
  virtual int32_t connectTimeout() const;
  virtual void setAcceptTimeout(int32_t milliseconds);
  virtual int32_t acceptTimeout() const;

  /// Shuts both directions ("shutdown"); logs "Shut down socket '%d'". May
  /// be called from another thread: a blocked read then ends (see the file
  /// comment), a blocked accept fails. A later send fails with 10058.
  void shutdown();
  /// getsockname / getpeername of an IPv4 socket.
  JInetAddr localAddress() const;
  JInetAddr peerAddress() const;
  /// The peer of a connected socket; false, without an error, for one that
  /// is not connected (a datagram socket that receives from anyone).
  bool connectedPeer(JInetAddr& peer) const;
  /// SO_SNDBUF / SO_RCVBUF. The system reports back twice the value set, the
  /// bookkeeping overhead included.
  void setSendBufferSize(int bytes);
  int sendBufferSize() const;
  void setReceiveBufferSize(int bytes);
  int receiveBufferSize() const;
  /// One datagram to `to` ("sendto"), waiting like write.
  size_t sendto(const void* buffer, size_t length, const JSockAddr& to);
  /// One datagram and its sender ("revfrom"), waiting like read; `from` may
  /// be null.
  size_t receiveFrom(void* buffer, size_t length, JInetAddr* from);

  /// Writes until every byte is sent (each send waiting like write).
  void writeAll(const void* buffer, size_t length);
  /// An int-valued option, read or written through getsockopt/setsockopt.
  int intOption(int level, int name) const;
  void setIntOption(int level, int name, int value);
  /// As setIntOption, for a caller that reports a refusal in its own words:
  /// false when the socket is closed or the system refuses, nothing thrown
  /// or logged.
  bool trySetIntOption(int level, int name, int value) const;

  int handle() const { return handle_.load(std::memory_order_acquire); }
  /// The QoS block, null when no flowspec was set.
  const JQoS* qos() const { return qos_.get(); }

 protected:
  /// Keeps the handle open while one call uses it, so that a close() from
  /// another thread cannot let the number be reused under that call.
  class Use {
   public:
    Use(const JSocket& socket, std::string_view call,
        const std::source_location& where = std::source_location::current());
    /// Does not throw: fd() is -1 when the socket is closed.
    Use(const JSocket& socket, std::nothrow_t);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int fd() const { return fd_; }
    /// True when another thread closed the socket during the call.
    bool closed() const;

   private:
    const JSocket& socket_;
    int fd_;
  };

  /// Creates a handle of the given kind (close-on-exec) and keeps it, closing
  /// any handle held before. Failure throws `call` with `tag`.
  int openHandle(int domain, int type, int protocol, std::string_view call,
                 int tag = JSysError::kDefaultTag);
  /// Keeps `handle`, closing any handle held before.
  void adopt(int handle);

  /// Sets the socket's receive time-out for a blocking read with `leftMs`
  /// milliseconds left (-1: none), unless the one in force will do.
  void boundReceive(const Use& use, int32_t leftMs);
  /// Waits until `events` are ready or the time-out expires (JTimeoutError);
  /// nothing with a negative time-out. Returns what poll reported (0 when it
  /// did not wait). A failing poll throws "select".
  short waitReady(const Use& use, short events, int32_t timeoutMs) const;
  /// The error for a failed call on `use`: 10004 when another thread closed
  /// the socket meanwhile, 10058 for EPIPE after a local shutdown, otherwise
  /// the mapped errno.
  JSysError failure(const Use& use, int err, std::string_view call,
                    int tag = JSysError::kDefaultTag,
                    const std::source_location& where = std::source_location::current()) const;
  [[noreturn]] void fail(const Use& use, int err, std::string_view call,
                         int tag = JSysError::kDefaultTag,
                         const std::source_location& where = std::source_location::current()) const;

  /// The receive and send every read, write and datagram call ends in.
  size_t receive(const JSocketPiece* pieces, size_t count, JInetAddr* from, std::string_view call);
  size_t send(const JSocketPiece* pieces, size_t count, const JSockAddr* to, std::string_view call);
  /// A receive gave 0 bytes: throws 10004 when the socket was closed meanwhile,
  /// 10058 for a datagram socket shut down here; returns otherwise.
  void endOfData(const Use& use, std::string_view call) const;

  /// Switches O_NONBLOCK; false with errno set on failure.
  static bool setNonBlocking(int fd, bool on);

 private:
  void releaseUse() const;
  int closeHandle();

  mutable std::mutex lifeMutex_;
  std::atomic<int> handle_{kNoHandle};  // written under lifeMutex_
  mutable int users_ = 0;               // guarded by lifeMutex_
  mutable std::vector<int> orphans_;    // closed while in use; guarded by lifeMutex_
  std::atomic<bool> shutDownLocally_{false};

  std::atomic<int32_t> readTimeout_{kInfinite};
  // The receive time-out set on the handle (SO_RCVTIMEO), 0 for none; read
  // and written by the one reading thread.
  std::atomic<int32_t> receiveBound_{0};
  std::atomic<int32_t> writeTimeout_{kInfinite};
  std::atomic<int32_t> connectTimeout_{kInfinite};
  std::atomic<int32_t> acceptTimeout_{kInfinite};

  std::unique_ptr<JQoS> qos_;
  JTraceMask ownMask_{0};
};

}  // namespace zq
