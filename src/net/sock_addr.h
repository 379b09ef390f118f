// JSockAddr: an owned copy of a system socket address, the base of the
// address classes that sockets bind, connect and report (JInetAddr, JRTSPAddr).
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>

namespace zq {

/// Holds the bytes and length of a socket address. Copyable; the virtual
/// copy() keeps the most derived type where only a base reference is at hand.
///
/// Concurrency: a value; distinct objects may be used on distinct threads,
/// and const members of one object from several at once.
class JSockAddr {
 public:
  /// An empty address (family AF_UNSPEC, length 0).
  JSockAddr();
  /// Copies `length` bytes of `address` (at most the size of sockaddr_storage).
  JSockAddr(const sockaddr* address, socklen_t length);
  virtual ~JSockAddr() = default;
  JSockAddr(const JSockAddr&) = default;
  JSockAddr& operator=(const JSockAddr&) = default;

  /// An owned copy of the most derived address.
  virtual std::unique_ptr<JSockAddr> copy() const;
  /// The address as text; the base form gives the family and length only.
  virtual std::string text() const;
  /// The address with a host name where one is known; the base gives text().
  virtual std::string nameText() const;

  const sockaddr* data() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t length() const { return length_; }
  sa_family_t family() const { return storage_.ss_family; }

 protected:
  sockaddr* mutableData() { return reinterpret_cast<sockaddr*>(&storage_); }
  void setLength(socklen_t length) { length_ = length; }

 private:
  sockaddr_storage storage_;
  socklen_t length_;
};

}  // namespace zq
