// The address factory: the URL forms that configuration texts use to name a
// socket address ("udp://host:port", "rtsp://host:port/file", ...).
#pragma once

#include <memory>
#include <string_view>

#include "net/sock_addr.h"

namespace zq {

/// Builds the address a URL names; the scheme is compared case-sensitively:
/// - "udp://host:port", "tcp://host:port": a JInetAddr; no ":" or a port that
///   is not a decimal number from 0 to 65535 throws JTextError "bad ip url
///   format";
/// - "ipmq://host": a JInetAddr with port 0;
/// - "rtsp://host[:port]/mediafile": a JRTSPAddr, port 554 when absent; no
///   "/" throws "bad rtsp url format, missing mediafile", a bad port "bad ip
///   url format";
/// - "svc://...": null (circuit addresses are not made here);
/// - anything else throws "unknown url type".
/// Host parts longer than 255 characters are cut there. Host names are
/// resolved as JInetAddr does, and their failures thrown as it throws them.
std::unique_ptr<JSockAddr> createSockAddr(std::string_view url);

}  // namespace zq
