// JIPMulticastSocket: a UDP socket that sends to, receives from, or both, an
// IP multicast group on one local interface.
//
// The socket itself is the group member: there is no separate leaf handle,
// and the "leaf socket" of the join line is the socket's own handle. A
// sending socket addresses every write() and writev() to the group.
#pragma once

#include <cstdint>

#include "net/inet_addr.h"
#include "net/udp_socket.h"

namespace zq {

class JIPMulticastSocket : public JUDPSocket {
 public:
  /// Creates the socket ("WSASocket"; logs "Created IP Multicast socket
  /// '%d'", level 18), binds it and joins `group` (address and port) on the
  /// interface of `local`:
  /// - a receiver binds to the group address itself, on the port of `local`
  ///   or, when that is 0, the group's port (this system delivers group
  ///   traffic only to sockets bound to the group or to the any-address),
  ///   and becomes a member of the group on the interface (IP_ADD_MEMBERSHIP);
  /// - a sender binds to `local` as given and sends through its interface
  ///   (IP_MULTICAST_IF unless `local` is the any-address); a sender that
  ///   does not receive does not get its own datagrams back
  ///   (IP_MULTICAST_LOOP off, "WSAIoctl(SIO_MULTIPOINT_LOOPBACK)" on
  ///   failure).
  /// Both kinds allow address reuse, so senders and receivers of one group
  /// and port can live on one host. Neither flag throws JTextError "specify
  /// sender or receiver or both for ip multicast socket". A failed join logs
  /// "Could not join IP multicast group '%s' on socket '%d': %s" (level 11)
  /// and throws "WSAJoinLeaf". Errors of these calls carry tag 17. `mask`:
  /// see JSocket.
  JIPMulticastSocket(const JInetAddr& group, bool sender, bool receiver, const JInetAddr& local,
                     JTraceMask* mask = nullptr);

  /// Datagrams of a sender go to the group.
  size_t write(const void* buffer, size_t length) override;
  size_t writev(const JSocketPiece* pieces, size_t count) override;

  /// The multicast time-to-live. Never throws: when the system refuses the
  /// value it logs "WSAIoctl() failed, Err %d\n" (level 3), tries the one-byte
  /// form of the option, and logs "setsockopt() failed, Err %d\n" (level 3)
  /// when that fails too.
  void setTTL(int ttl);

  const JInetAddr& group() const { return group_; }
  bool isSender() const { return sender_; }
  bool isReceiver() const { return receiver_; }

 private:
  JInetAddr group_;
  bool sender_;
  bool receiver_;
};

}  // namespace zq
