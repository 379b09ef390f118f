// errno and resolver results to socket error numbers, and the throw helpers.
#include "net/socket_error.h"

#include <netdb.h>

#include <cerrno>

namespace zq {

uint32_t socketErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;  // a firewall rule refusing a send shows as EPERM
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;  // EAGAIN is the same number here
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;  // ENOTSUP is the same number here
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
    // A send on a connection that the peer has closed or reset reports EPIPE;
    // the socket itself turns it into 10058 when it was shut down locally.
    case EPIPE:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return 0;
  }
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
