// errno and resolver results to socket error numbers, and the throw helpers.
#include "net/socket_error.h"

#include <netdb.h>

#include <cerrno>

namespace zq {

namespace {

struct ErrnoNumber {
  int err;
  uint32_t number;
};

// errno values with a socket counterpart; where the system has no exact one,
// the nearest (ENOMEM is lack of buffer space, EPERM a refused access).
constexpr ErrnoNumber kErrnoNumbers[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    // A send on a connection the peer has closed or reset reports EPIPE; the
    // socket itself turns it into 10058 when it was shut down locally.
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

}  // namespace

uint32_t socketErrorFromErrno(int err) {
  // EAGAIN and ENOTSUP are the same numbers as EWOULDBLOCK and EOPNOTSUPP here.
  for (const ErrnoNumber& entry : kErrnoNumbers) {
    if (entry.err == err) {
      return entry.number;
    }
  }
  return 0;
}

uint32_t socketErrorFromResolver(int eaiCode, int err) {
  switch (eaiCode) {
    case 0:
      return 0;
    case EAI_NONAME:
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return 11004;  // the name exists but has no IPv4 address
    case EAI_MEMORY:
      return 10055;
    case EAI_FAMILY:
      return 10047;
    case EAI_SOCKTYPE:
      return 10044;
    case EAI_SERVICE:
      return 10109;
    case EAI_BADFLAGS:
      return 10022;
    case EAI_OVERFLOW:
      return 10014;
    case EAI_SYSTEM:
      return socketErrorFromErrno(err);
    default:
      return 0;
  }
}

uint32_t socketErrorCode(int err) {
  const uint32_t number = socketErrorFromErrno(err);
  if (number == 0 && err != 0) {
    return static_cast<uint32_t>(err);
  }
  return JSysError::kSocketTag | number;
}

void throwSocketError(int err, std::string_view call, int tag, const std::source_location& where) {
  throw JSysError(socketErrorCode(err), call, tag, where);
}

JSysError makeSocketError(int err, std::string_view call, int tag,
                          const std::source_location& where) {
  return JSysError(socketErrorCode(err), call, tag, where);
}

}  // namespace zq
