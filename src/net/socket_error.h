// Translation of the system's socket and resolver failures into the socket
// error numbers the rest of the system reports, and the throw helper that
// every socket call site uses.
//
// The numbers are those of the socket error table (src/base/error_text.cpp):
// a failing call raises JSysError(JSysError::kSocketTag | number, "<call>"),
// so messages, tags and the "connection reset" rule of the RPC layer hold
// whatever the platform. An errno with no socket counterpart (ENOMEM is one
// that has, ENOENT one that has not) is raised as the plain operating-system
// code without the socket tag, so that its message is the system's own text
// rather than "Unknown socket error".
#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>

#include "base/error.h"

namespace zq {

/// The integer tag of errors raised by the IP multicast socket's own calls.
inline constexpr int kMulticastErrorTag = 17;

/// The socket error number (10004, 10054, ...) for an errno value; 0 when
/// the value has no socket counterpart.
uint32_t socketErrorFromErrno(int err);

/// The socket error number for a getaddrinfo / getnameinfo result (EAI_*);
/// `err` is the errno that goes with EAI_SYSTEM. 0 when there is none.
uint32_t socketErrorFromResolver(int eaiCode, int err);

/// The JSysError code for an errno value: the socket number with the socket
/// tag, or the bare errno when it has no socket number.
uint32_t socketErrorCode(int err);

/// Throws JSysError(socketErrorCode(err), call, tag) for the caller's line.
[[noreturn]] void throwSocketError(
    int err, std::string_view call, int tag = JSysError::kDefaultTag,
    const std::source_location& where = std::source_location::current());

/// Builds, without throwing, the error throwSocketError would throw: for the
/// sites that log a failure line carrying the error's message first.
JSysError makeSocketError(int err, std::string_view call, int tag = JSysError::kDefaultTag,
                          const std::source_location& where = std::source_location::current());

}  // namespace zq
