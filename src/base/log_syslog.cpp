// The syslog output: the socket set-up with its four ways of failing, and the
// datagram of each record.
//
// The socket layer sits above this one, so the OS socket calls are made
// directly here, with failures reported in that layer's terms (socket error
// codes, call names).
#include "base/log_syslog.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/interface_numbers.h"
#include "base/log.h"
#include "base/registry_key.h"

namespace zq {
namespace {

constexpr size_t kMaxDatagram = 1024;
constexpr uint32_t kHostNotFound = 11001;

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The socket error number of an errno, as the socket layer reports it; 0
// for an errno that has no socket counterpart.
uint32_t socketNumber(int e) {
  switch (e) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EPROTONOSUPPORT:
      return 10043;
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
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case ECONNREFUSED:
      return 10061;
    case EHOSTUNREACH:
      return 10065;
    default:
      return 0;
  }
}

// An errno without a socket counterpart keeps the system's own text rather
// than borrowing the text of an unrelated socket error.
[[noreturn]] void throwSocketError(const char* function) {
  const int e = errno;
  const uint32_t number = socketNumber(e);
  throw JSysError(number != 0 ? (JSysError::kSocketTag | number) : static_cast<uint32_t>(e),
                  function);
}

// The n-th address that interface numbers count (from 1); any address for n
// below 1.
in_addr interfaceAddress(int n) {
  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  if (n < 1) {
    return any;
  }
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    throwSocketError("WSAIoctl(SIO_ADDRESS_LIST_QUERY)");
  }
  const std::vector<uint32_t> addresses = JSysLog::interfaceAddresses(list);
  ::freeifaddrs(list);
  if (static_cast<size_t>(n) > addresses.size()) {
    throw JTextError(
        jformat("invalid interface number : %d/%d", n, static_cast<int>(addresses.size())));
  }
  in_addr a{};
  a.s_addr = addresses[static_cast<size_t>(n) - 1];
  return a;
}

// Dotted addresses and "localhost" never reach the resolver.
in_addr resolve(const std::string& name) {
  in_addr a{};
  if (::inet_pton(AF_INET, name.c_str(), &a) == 1) {
    return a;
  }
  if (name == "localhost") {
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  // A name no host can have is not worth a question to the resolver.
  bool wellFormed = !name.empty();
  for (char c : name) {
    wellFormed &= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_';
  }
  if (!wellFormed) {
    throw JSysError(JSysError::kSocketTag | kHostNotFound, "gethostbyname");
  }
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    throw JSysError(JSysError::kSocketTag | kHostNotFound, "gethostbyname");
  }
  a = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
  ::freeaddrinfo(result);
  return a;
}

void logStartFailure(const std::string& message) {
  JLog::log(kLevelError, message, __FILE__, __LINE__, nullptr, nullptr);
}

}  // namespace

JSysLog::JSysLog(const JSystemRegistryKey& key) : JGenericLog(key, true) {
  if (!key.getString("HostName", hostName_)) {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) == 0) {
      hostName_ = buf;
    }
  }
  hostName_ = sanitiseHostName(hostName_);
  if (!key.getString("Server", serverName_)) {
    logStartFailure("SysLog network logging not started: missing \"Server\" key in registry");
    return;
  }
  key.getDword("ServerPort", serverPort_);
  key.getDword("LocalPort", localPort_);
  key.getDword("IpInterfaceNumber", ipInterfaceNumber_);
  key.getDword("Precedence", precedence_);
  key.getDword("Facility", facility_);
  start();
}

JSysLog::~JSysLog() {
  if (socket_ >= 0) {
    ::close(socket_);
  }
}

void JSysLog::start() {
  in_addr local{};
  try {
    local = interfaceAddress(ipInterfaceNumber_);
  } catch (const JError& e) {
    logStartFailure(
        jformat("SysLog network logging not started: could not find IP interface #%d: %s",
                ipInterfaceNumber_, e.message().c_str()));
    return;
  }
  in_addr server{};
  try {
    server = resolve(serverName_);
  } catch (const JError& e) {
    logStartFailure(jformat(
        "SysLog network logging not started: could not resolve syslog server DNS name(%s): %s",
        serverName_.c_str(), e.message().c_str()));
    return;
  }
  int fd = -1;
  try {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
      throwSocketError("socket(AF_INET,SOCK_DGRAM,IPPROTO_UDP)");
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      throwSocketError("setsockopt(SO_REUSEADDR)");
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = local;
    a.sin_port = htons(static_cast<uint16_t>(localPort_));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      throwSocketError("bind");
    }
  } catch (const JError& e) {
    if (fd >= 0) {
      ::close(fd);
    }
    logStartFailure(
        jformat("SysLog network logging not started: could not bind on local port (%d): %s",
                localPort_, e.message().c_str()));
    return;
  }
  try {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = server;
    a.sin_port = htons(static_cast<uint16_t>(serverPort_));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      throwSocketError("connect");
    }
    if (precedence_ >= 0) {
      int tos = (precedence_ & 7) << 5;
      if (::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) {
        throwSocketError("setsockopt(IP_TOS)");
      }
    }
  } catch (const JError& e) {
    ::close(fd);
    logStartFailure(
        jformat("SysLog network logging not started: could not connect to syslog server: %s",
                e.message().c_str()));
    return;
  }
  socket_ = fd;
}

std::vector<uint32_t> JSysLog::interfaceAddresses(const struct ifaddrs* list) {
  // The socket layer's numbering, so that one interface number names one
  // address throughout the configuration.
  std::vector<uint32_t> addresses;
  for (const in_addr& address : numberedInterfaceAddresses(list)) {
    addresses.push_back(address.s_addr);
  }
  return addresses;
}

int JSysLog::severity(int level) {
  switch (level) {
    case 1:
    case 3:
    case 4:
      return 7;
    case 8:
      return 6;
    case 9:
      return 4;
    case 11:
      return 3;
    case 12:
      return 2;
    default:
      return 5;
  }
}

std::string JSysLog::sanitiseHostName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!allowed) {
      c = '_';
    }
  }
  return out;
}

void JSysLog::write(int level, const std::string& record, const std::string&, int) {
  if (socket_ < 0) {
    return;
  }
  time_t now = ::time(nullptr);
  struct tm t;
  ::localtime_r(&now, &t);
  char datagram[kMaxDatagram + 1];
  int n = std::snprintf(datagram, sizeof datagram, "<%d>%s %2d %02d:%02d:%02d %s %s",
                        severity(level) + facility_ * 8, kMonths[t.tm_mon], t.tm_mday, t.tm_hour,
                        t.tm_min, t.tm_sec, hostName_.c_str(), record.c_str());
  if (n < 0) {
    return;
  }
  size_t size = std::min(static_cast<size_t>(n), kMaxDatagram);
  // Fire and forget, as syslog over UDP is: a refused or lost datagram is not
  // reported, or every record would log a failure of its own.
  ssize_t ignored = ::send(socket_, datagram, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)ignored;
}

}  // namespace zq
