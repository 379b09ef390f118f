// JSocket: handle ownership, bounded waits, receive/send paths, options and
// the QoS block.
#include "net/socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net/socket_error.h"

namespace zq {
namespace {

constexpr size_t kStackPieces = 16;

// iovecs for a call: on the stack for the usual few pieces.
class IoVectors {
 public:
  IoVectors(const JSocketPiece* pieces, size_t count) : count_(count) {
    iovec* target = stack_;
    if (count > kStackPieces) {
      heap_.resize(count);
      target = heap_.data();
    }
    for (size_t i = 0; i < count; ++i) {
      target[i].iov_base = pieces[i].buffer;
      target[i].iov_len = pieces[i].length;
    }
    data_ = target;
  }
  iovec* data() { return data_; }
  size_t count() const { return count_; }

 private:
  iovec stack_[kStackPieces];
  std::vector<iovec> heap_;
  iovec* data_;
  size_t count_;
};

}  // namespace

// ---- handle life ------------------------------------------------------------

JSocket::JSocket(JTraceMask* mask) {
  setTraceMask(mask != nullptr ? mask : &ownMask_);
}

JSocket::JSocket(int handle, JTraceMask* mask) : JSocket(mask) {
  handle_.store(handle, std::memory_order_release);
}

JSocket::~JSocket() {
  closeHandle();
}

JSocket::Use::Use(const JSocket& socket, std::string_view call, const std::source_location& where)
    : socket_(socket) {
  {
    std::lock_guard lock(socket.lifeMutex_);
    fd_ = socket.handle_.load(std::memory_order_relaxed);
    if (fd_ >= 0) {
      ++socket.users_;
      return;
    }
  }
  throwSocketError(ENOTSOCK, call, JSysError::kDefaultTag, where);
}

JSocket::Use::Use(const JSocket& socket, std::nothrow_t) : socket_(socket) {
  std::lock_guard lock(socket.lifeMutex_);
  fd_ = socket.handle_.load(std::memory_order_relaxed);
  if (fd_ >= 0) {
    ++socket.users_;
  }
}

JSocket::Use::~Use() {
  if (fd_ >= 0) {
    socket_.releaseUse();
  }
}

bool JSocket::Use::closed() const {
  std::lock_guard lock(socket_.lifeMutex_);
  return socket_.handle_.load(std::memory_order_relaxed) != fd_;
}

void JSocket::releaseUse() const {
  std::vector<int> toClose;
  {
    std::lock_guard lock(lifeMutex_);
    if (--users_ == 0) {
      toClose.swap(orphans_);
    }
  }
  for (int fd : toClose) {
    ::close(fd);
  }
}

int JSocket::closeHandle() {
  int fd;
  bool deferred = false;
  {
    std::lock_guard lock(lifeMutex_);
    fd = handle_.load(std::memory_order_relaxed);
    if (fd < 0) {
      return -1;
    }
    handle_.store(kNoHandle, std::memory_order_release);
    if (users_ > 0) {
      // A call on another thread still holds the number: wake it and let the
      // last user close the handle, so the number cannot be reused under it.
      ::shutdown(fd, SHUT_RDWR);
      orphans_.push_back(fd);
      deferred = true;
    }
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Closed socket '%d'", fd);
  return deferred ? 0 : ::close(fd);
}

int JSocket::close() {
  return closeHandle();
}

int JSocket::openHandle(int domain, int type, int protocol, std::string_view call, int tag) {
  const int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    throwSocketError(errno, call, tag);
  }
  adopt(fd);
  return fd;
}

void JSocket::adopt(int handle) {
  closeHandle();
  std::lock_guard lock(lifeMutex_);
  handle_.store(handle, std::memory_order_release);
  shutDownLocally_.store(false);
  receiveBound_.store(0, std::memory_order_relaxed);
}

bool JSocket::setNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) {
    return false;
  }
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// ---- waiting and failing ------------------------------------------------------

short JSocket::waitReady(const Use& use, short events, int32_t timeoutMs) const {
  if (timeoutMs < 0) {
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int remaining = timeoutMs;
  for (;;) {
    pollfd entry{use.fd(), events, 0};
    const int rc = ::poll(&entry, 1, remaining);
    if (rc > 0) {
      // Errors and hang-ups count as ready: the call that follows reports them.
      return entry.revents;
    }
    if (rc == 0) {
      throw JTimeoutError();
    }
    if (errno != EINTR) {
      fail(use, errno, "select");
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    remaining = left > 0 ? static_cast<int>(left) : 0;
  }
}

JSysError JSocket::failure(const Use& use, int err, std::string_view call, int tag,
                           const std::source_location& where) const {
  if (use.closed()) {
    err = EINTR;
  } else if (err == EPIPE && shutDownLocally_.load()) {
    err = ESHUTDOWN;
  }
  return makeSocketError(err, call, tag, where);
}

void JSocket::fail(const Use& use, int err, std::string_view call, int tag,
                   const std::source_location& where) const {
  throw failure(use, err, call, tag, where);
}

// ---- receive and send -------------------------------------------------------

namespace {

// What is left of a time-out that started at `start`; negative stays negative.
int32_t remainingMs(int32_t timeoutMs, std::chrono::steady_clock::time_point start) {
  if (timeoutMs <= 0) {
    return timeoutMs;
  }
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  return spent >= timeoutMs ? 0 : static_cast<int32_t>(timeoutMs - spent);
}

}  // namespace

// A read with a time-out blocks in the receive call itself, bounded by the
// socket's own receive time-out (SO_RCVTIMEO), so that it costs one system
// call like a read without one. That time-out is set only when the one in
// force is not within an eighth below what is left: a reader that keeps
// asking for about the same time sets it once. A time-out that expires early
// goes round with what is left; 0 only looks (MSG_DONTWAIT), since a
// receive time-out of 0 would mean none.
//
// Every turn of the loop either waits (for data or the rest of the time) or
// ends: a receive that finds nothing with no time left is a time-out, and one
// that finds nothing on a socket closed or shut down ends with its closing
// error, however ready poll calls such a socket.
size_t JSocket::receive(const JSocketPiece* pieces, size_t count, JInetAddr* from,
                        std::string_view call) {
  Use use(*this, call);
  const int32_t timeout = readTimeout_.load();
  const auto start = std::chrono::steady_clock::now();
  IoVectors vectors(pieces, count);
  bool hungUp = false;  // the last wait saw the socket hung up
  for (;;) {
    const int32_t left = remainingMs(timeout, start);
    const int flags = left == 0 ? MSG_DONTWAIT : 0;
    if (left != 0) {
      boundReceive(use, left);
    }
    sockaddr_in peer{};
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = vectors.data();
    message.msg_iovlen = vectors.count();
    const ssize_t n = ::recvmsg(use.fd(), &message, flags);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR && !use.closed()) {
        continue;
      }
      if (err == EAGAIN || err == EWOULDBLOCK) {
        if (use.closed() || hungUp || shutDownLocally_.load()) {
          // A shut-down datagram socket answers a non-blocking receive so.
          fail(use, ESHUTDOWN, call);
        }
        if (timeout >= 0) {
          if (left == 0) {
            throw JTimeoutError();
          }
          // The bound expired a little early (or the handle does not block):
          // the rest is waited for here.
          hungUp = (waitReady(use, POLLIN, remainingMs(timeout, start)) & POLLHUP) != 0;
          continue;
        }
      }
      fail(use, err, call);
    }
    if (n == 0) {
      endOfData(use, call);
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
      fail(use, EMSGSIZE, call);
    }
    if (from != nullptr && message.msg_namelen >= sizeof peer && peer.sin_family == AF_INET) {
      *from = JInetAddr(peer);
    }
    return static_cast<size_t>(n);
  }
}

// A stream socket's end of data is the peer's (or a local shut-down's): the
// caller reads 0. A datagram socket has no end of data: an empty datagram is
// one, unless the socket was shut down here, whose blocked receive returns 0
// too.
void JSocket::endOfData(const Use& use, std::string_view call) const {
  if (use.closed()) {
    fail(use, EINTR, call);
  }
  if (!shutDownLocally_.load()) {
    return;
  }
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(use.fd(), SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_DGRAM) {
    fail(use, ESHUTDOWN, call);
  }
}

void JSocket::boundReceive(const Use& use, int32_t leftMs) {
  const int32_t inForce = receiveBound_.load(std::memory_order_relaxed);
  int32_t wanted = 0;
  if (leftMs > 0) {
    if (inForce > 0 && inForce <= leftMs && inForce >= leftMs - std::max(leftMs / 8, 1)) {
      return;
    }
    wanted = leftMs;
  } else if (inForce == 0) {
    return;
  }
  timeval bound{};
  bound.tv_sec = wanted / 1000;
  bound.tv_usec = static_cast<suseconds_t>(wanted % 1000) * 1000;
  if (::setsockopt(use.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0) {
    fail(use, errno, "setsockopt");
  }
  receiveBound_.store(wanted, std::memory_order_relaxed);
}

size_t JSocket::send(const JSocketPiece* pieces, size_t count, const JSockAddr* to,
                     std::string_view call) {
  Use use(*this, call);
  const int32_t timeout = writeTimeout_.load();
  const auto start = std::chrono::steady_clock::now();
  const int flags = MSG_NOSIGNAL | (timeout >= 0 ? MSG_DONTWAIT : 0);
  IoVectors vectors(pieces, count);
  // A send almost always finds room: it is tried first, and only a
  // would-block answer waits (for what is left of the time-out).
  for (;;) {
    msghdr message{};
    if (to != nullptr) {
      message.msg_name = const_cast<sockaddr*>(to->data());
      message.msg_namelen = to->length();
    }
    message.msg_iov = vectors.data();
    message.msg_iovlen = vectors.count();
    const ssize_t n = ::sendmsg(use.fd(), &message, flags);
    if (n >= 0) {
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    if (timeout >= 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int32_t left = remainingMs(timeout, start);
      if (left == 0) {
        // Polling again could find the socket writable and the send still
        // without room, for ever.
        throw JTimeoutError();
      }
      waitReady(use, POLLOUT, left);
      continue;
    }
    fail(use, errno, call);
  }
}

size_t JSocket::read(void* buffer, size_t length) {
  const JSocketPiece piece{buffer, length};
  return receive(&piece, 1, nullptr, "recv");
}

size_t JSocket::write(const void* buffer, size_t length) {
  const JSocketPiece piece{const_cast<void*>(buffer), length};
  return send(&piece, 1, nullptr, "send");
}

size_t JSocket::readv(const JSocketPiece* pieces, size_t count) {
  return receive(pieces, count, nullptr, "WSARecv");
}

size_t JSocket::writev(const JSocketPiece* pieces, size_t count) {
  return send(pieces, count, nullptr, "WSASend");
}

size_t JSocket::sendto(const void* buffer, size_t length, const JSockAddr& to) {
  const JSocketPiece piece{const_cast<void*>(buffer), length};
  return send(&piece, 1, &to, "sendto");
}

size_t JSocket::receiveFrom(void* buffer, size_t length, JInetAddr* from) {
  const JSocketPiece piece{buffer, length};
  return receive(&piece, 1, from, "revfrom");
}

void JSocket::writeAll(const void* buffer, size_t length) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (length > 0) {
    const size_t sent = write(bytes, length);
    bytes += sent;
    length -= sent;
  }
}

int64_t JSocket::skip(int64_t) {
  return -1;
}

void JSocket::sync() {}

int64_t JSocket::rewind() {
  return -1;
}

// ---- options and addresses ----------------------------------------------------

void JSocket::getsockopt(int level, int name, void* value, socklen_t* length) const {
  Use use(*this, "getsockopt");
  if (::getsockopt(use.fd(), level, name, value, length) != 0) {
    fail(use, errno, "getsockopt");
  }
}

void JSocket::setsockopt(int level, int name, const void* value, socklen_t length) {
  Use use(*this, "setsockopt");
  if (::setsockopt(use.fd(), level, name, value, length) != 0) {
    fail(use, errno, "setsockopt");
  }
}

int JSocket::intOption(int level, int name) const {
  int value = 0;
  socklen_t length = sizeof value;
  getsockopt(level, name, &value, &length);
  return value;
}

void JSocket::setIntOption(int level, int name, int value) {
  setsockopt(level, name, &value, sizeof value);
}

bool JSocket::trySetIntOption(int level, int name, int value) const {
  Use use(*this, std::nothrow);
  return use.fd() >= 0 && ::setsockopt(use.fd(), level, name, &value, sizeof value) == 0;
}

void JSocket::bind(const JSockAddr& address) {
  Use use(*this, "bind");
  if (::bind(use.fd(), address.data(), address.length()) != 0) {
    fail(use, errno, "bind");
  }
}

void JSocket::shutdown() {
  Use use(*this, "shutdown");
  shutDownLocally_.store(true);
  if (::shutdown(use.fd(), SHUT_RDWR) != 0) {
    const int error = errno;
    // A datagram socket without a peer answers ENOTCONN, yet its blocked
    // receive has been woken: what a shut-down from another thread is for.
    int type = 0;
    socklen_t length = sizeof type;
    if (error != ENOTCONN || ::getsockopt(use.fd(), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_DGRAM) {
      fail(use, error, "shutdown");
    }
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Shut down socket '%d'", use.fd());
}

JInetAddr JSocket::localAddress() const {
  Use use(*this, "getsockname");
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(use.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail(use, errno, "getsockname");
  }
  if (address.ss_family != AF_INET) {
    fail(use, EAFNOSUPPORT, "getsockname");
  }
  return JInetAddr(*reinterpret_cast<const sockaddr_in*>(&address));
}

JInetAddr JSocket::peerAddress() const {
  JInetAddr peer;
  if (!connectedPeer(peer)) {
    Use use(*this, "getpeername");
    fail(use, ENOTCONN, "getpeername");
  }
  return peer;
}

bool JSocket::connectedPeer(JInetAddr& peer) const {
  Use use(*this, "getpeername");
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(use.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (errno == ENOTCONN) {
      return false;
    }
    fail(use, errno, "getpeername");
  }
  if (address.ss_family != AF_INET) {
    fail(use, EAFNOSUPPORT, "getpeername");
  }
  peer = JInetAddr(*reinterpret_cast<const sockaddr_in*>(&address));
  return true;
}

void JSocket::setSendBufferSize(int bytes) {
  setIntOption(SOL_SOCKET, SO_SNDBUF, bytes);
}

int JSocket::sendBufferSize() const {
  return intOption(SOL_SOCKET, SO_SNDBUF);
}

void JSocket::setReceiveBufferSize(int bytes) {
  setIntOption(SOL_SOCKET, SO_RCVBUF, bytes);
}

int JSocket::receiveBufferSize() const {
  return intOption(SOL_SOCKET, SO_RCVBUF);
}

// ---- QoS ------------------------------------------------------------------------

void JSocket::setSendingFlowspec(const JFlowSpec& spec) {
  if (!qos_) {
    qos_ = std::make_unique<JQoS>();
  }
  qos_->sending = spec;
}

void JSocket::setReceivingFlowspec(const JFlowSpec& spec) {
  if (!qos_) {
    qos_ = std::make_unique<JQoS>();
  }
  qos_->receiving = spec;
}

void JSocket::dropQoS() {
  qos_.reset();
}

void JSocket::applyQoS() {
  if (!qos_) {
    throwSocketError(EINVAL, "WSAIoctl(SIO_SET_QOS)");
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "QoS block kept on socket '%d', nothing reserved",
                     handle());
}

// ---- time-outs --------------------------------------------------------------------

void JSocket::setReadTimeout(int32_t milliseconds) {
  readTimeout_.store(milliseconds);
}

int32_t JSocket::readTimeout() const {
  return readTimeout_.load();
}

void JSocket::setWriteTimeout(int32_t milliseconds) {
  if (milliseconds == 0) {
    JLog::logTraceable(kLevelError, this,
                       "WARNING: Write timeout set to 0 on socket '%d'. This is usually "
                       "bullshit!!!\n",
                       handle());
  } else {
    JLog::logTraceable(kLevelTraceNetwork, this, "Write timeout set to '%d' on socket '%d'",
                       milliseconds, handle());
  }
  writeTimeout_.store(milliseconds);
}

int32_t JSocket::writeTimeout() const {
  return writeTimeout_.load();
}

void JSocket::setConnectTimeout(int32_t milliseconds) {
  JLog::logTraceable(kLevelTraceNetwork, this, "Connect timeout set to '%d' on socket '%d'",
                     milliseconds, handle());
  connectTimeout_.store(milliseconds);
}

int32_t JSocket::connectTimeout() const {
  return connectTimeout_.load();
}

void JSocket::setAcceptTimeout(int32_t milliseconds) {
  JLog::logTraceable(kLevelTraceNetwork, this, "Accept timeout set to '%d' on socket '%d'",
                     milliseconds, handle());
  acceptTimeout_.store(milliseconds);
}

int32_t JSocket::acceptTimeout() const {
  return acceptTimeout_.load();
}

}  // namespace zq
