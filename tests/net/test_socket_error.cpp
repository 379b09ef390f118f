// The translation of system and resolver failures into socket error numbers,
// and the messages the resulting errors carry.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "net/socket_error.h"

namespace zq {
namespace {

TEST(SocketErrorFromErrno, ConnectionFailuresGetTheirSocketNumbers) {
  EXPECT_EQ(socketErrorFromErrno(ECONNRESET), 10054u);
  EXPECT_EQ(socketErrorFromErrno(ECONNREFUSED), 10061u);
  EXPECT_EQ(socketErrorFromErrno(ETIMEDOUT), 10060u);
  EXPECT_EQ(socketErrorFromErrno(ECONNABORTED), 10053u);
  EXPECT_EQ(socketErrorFromErrno(ENOTCONN), 10057u);
  EXPECT_EQ(socketErrorFromErrno(EISCONN), 10056u);
  EXPECT_EQ(socketErrorFromErrno(ENETUNREACH), 10051u);
  EXPECT_EQ(socketErrorFromErrno(EHOSTUNREACH), 10065u);
  EXPECT_EQ(socketErrorFromErrno(EHOSTDOWN), 10064u);
}

TEST(SocketErrorFromErrno, CallAndArgumentFailuresGetTheirSocketNumbers) {
  EXPECT_EQ(socketErrorFromErrno(EINTR), 10004u);
  EXPECT_EQ(socketErrorFromErrno(EBADF), 10009u);
  EXPECT_EQ(socketErrorFromErrno(EACCES), 10013u);
  EXPECT_EQ(socketErrorFromErrno(EFAULT), 10014u);
  EXPECT_EQ(socketErrorFromErrno(EINVAL), 10022u);
  EXPECT_EQ(socketErrorFromErrno(EMFILE), 10024u);
  EXPECT_EQ(socketErrorFromErrno(EWOULDBLOCK), 10035u);
  EXPECT_EQ(socketErrorFromErrno(EAGAIN), 10035u);
  EXPECT_EQ(socketErrorFromErrno(EINPROGRESS), 10036u);
  EXPECT_EQ(socketErrorFromErrno(ENOTSOCK), 10038u);
  EXPECT_EQ(socketErrorFromErrno(EMSGSIZE), 10040u);
  EXPECT_EQ(socketErrorFromErrno(ENOPROTOOPT), 10042u);
  EXPECT_EQ(socketErrorFromErrno(EPROTONOSUPPORT), 10043u);
  EXPECT_EQ(socketErrorFromErrno(EOPNOTSUPP), 10045u);
  EXPECT_EQ(socketErrorFromErrno(EAFNOSUPPORT), 10047u);
  EXPECT_EQ(socketErrorFromErrno(EADDRINUSE), 10048u);
  EXPECT_EQ(socketErrorFromErrno(EADDRNOTAVAIL), 10049u);
  EXPECT_EQ(socketErrorFromErrno(ENOBUFS), 10055u);
  EXPECT_EQ(socketErrorFromErrno(ENAMETOOLONG), 10063u);
  EXPECT_EQ(socketErrorFromErrno(ESHUTDOWN), 10058u);
}

TEST(SocketErrorFromErrno, BrokenPipeCountsAsAResetByThePeer) {
  // A send on a connection the peer closed or reset; the socket turns it into
  // 10058 itself when it was shut down locally.
  EXPECT_EQ(socketErrorFromErrno(EPIPE), 10054u);
}

TEST(SocketErrorFromErrno, NearestNumberForErrnoWithoutAnExactOne) {
  EXPECT_EQ(socketErrorFromErrno(ENOMEM), 10055u);
  EXPECT_EQ(socketErrorFromErrno(ENFILE), 10024u);
  EXPECT_EQ(socketErrorFromErrno(EPERM), 10013u);
}

TEST(SocketErrorFromErrno, EveryMappedNumberHasATextInTheSocketTable) {
  for (int err = 1; err < 200; ++err) {
    const uint32_t number = socketErrorFromErrno(err);
    if (number == 0) {
      continue;
    }
    JSysError error(JSysError::kSocketTag | number, "recv");
    EXPECT_EQ(error.message().find("Unknown socket error"), std::string::npos)
        << "errno " << err << " -> " << number;
  }
}

TEST(SocketErrorCode, UnmappedErrnoStaysAnUntaggedSystemCodeWithTheSystemText) {
  EXPECT_EQ(socketErrorFromErrno(ENOENT), 0u);
  EXPECT_EQ(socketErrorCode(ENOENT), static_cast<uint32_t>(ENOENT));
  JSysError error(socketErrorCode(ENOENT), "bind");
  EXPECT_EQ(error.message(),
            std::string("system call error at function 'bind' : ") + std::strerror(ENOENT));
}

TEST(SocketErrorCode, MappedErrnoCarriesTheSocketTag) {
  EXPECT_EQ(socketErrorCode(ECONNREFUSED), JSysError::kSocketTag | 10061u);
  // Success is the tagged 0, whose text says so.
  EXPECT_EQ(socketErrorCode(0), JSysError::kSocketTag);
}

TEST(SocketErrorFromResolver, LookupResultsGetTheHostLookupNumbers) {
  EXPECT_EQ(socketErrorFromResolver(EAI_NONAME, 0), 11001u);
  EXPECT_EQ(socketErrorFromResolver(EAI_AGAIN, 0), 11002u);
  EXPECT_EQ(socketErrorFromResolver(EAI_FAIL, 0), 11003u);
  EXPECT_EQ(socketErrorFromResolver(EAI_NODATA, 0), 11004u);
  EXPECT_EQ(socketErrorFromResolver(EAI_ADDRFAMILY, 0), 11004u);
}

TEST(SocketErrorFromResolver, SystemFailureUsesItsErrno) {
  EXPECT_EQ(socketErrorFromResolver(EAI_SYSTEM, EMFILE), 10024u);
  EXPECT_EQ(socketErrorFromResolver(EAI_SYSTEM, ENOENT), 0u);
  EXPECT_EQ(socketErrorFromResolver(EAI_MEMORY, 0), 10055u);
  EXPECT_EQ(socketErrorFromResolver(EAI_FAMILY, 0), 10047u);
}

TEST(ThrowSocketError, ThrowsTheTaggedCodeWithCallNameAndTag) {
  try {
    throwSocketError(ECONNREFUSED, "WSAConnect", 17);
    FAIL() << "nothing thrown";
  } catch (const JSysError& e) {
    EXPECT_EQ(e.code(), JSysError::kSocketTag | 10061u);
    EXPECT_STREQ(e.function(), "WSAConnect");
    EXPECT_EQ(e.tag(), 17);
    EXPECT_EQ(e.message(),
              "system call error at function 'WSAConnect' : No connection could be made "
              "because the target machine actively refused it");
    // The throw site is the caller's line, not the helper's.
    EXPECT_NE(std::string(e.file()).find("test_socket_error.cpp"), std::string::npos);
  }
}

TEST(ThrowSocketError, DefaultTagIsTheCommonOne) {
  const JSysError error = makeSocketError(ECONNRESET, "recv");
  EXPECT_EQ(error.tag(), JSysError::kDefaultTag);
  EXPECT_EQ(error.message(),
            "system call error at function 'recv' : An existing connection was forcibly closed "
            "by the remote host");
}

}  // namespace
}  // namespace zq
