// Sockets on loopback and what they are built from: addresses, URLs, error numbers, the socket
// layer; UDP, broadcast and multicast datagrams; TCP connections, their time-outs, failures, log
// lines and keep-alive; close or shutdown from another thread; no handle leaks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "base/format.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "net/broadcast_socket.h"
#include "net/ip_multicast_socket.h"
#include "net/rtsp_addr.h"
#include "net/sock_addr_factory.h"
#include "net/socket.h"
#include "net/socket_error.h"
#include "net/socket_layer.h"
#include "net/tcp_socket.h"

namespace zq {
namespace {

using namespace test;
using namespace std::literals;

/// What `body` throws: "<number> <call>[ tag <tag>]" of a JSysError, the message of any other
/// error; else "none".
template <class F>
std::string failureOf(F&& body) {
  try {
    body();
  } catch (const JSysError& e) {
    const auto tag = e.tag() == JSysError::kDefaultTag ? "" : " tag " + std::to_string(e.tag());
    return std::to_string(e.code() & ~JSysError::kSocketTag) + " " + e.function() + tag;
  } catch (const JError& e) {
    return e.message();
  }
  return "none";
}

/// The level of the one record whose text is exactly `text`; -1 when there is none or several.
inline int levelOf(const LogCapture& log, const std::string& text) {
  std::vector<int> levels;
  for (const LogCapture::Record& record : log.records()) {
    if (record.text == text)
      levels.push_back(record.level);
  }
  return levels.size() == 1 ? levels[0] : -1;
}

/// Its end is awaited with a bound, past which the program ends (the test fails, not hangs).
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          tid_ = ::gettid();
          failureOf(body);
          done_ = true;
        }) {}
  ~BoundedThread() { join(); }

  void join() {
    if (!eventually([this] { return done_.load(); }, 10000)) {
      std::fprintf(stderr, "a socket call did not end within 10 s\n");
      std::_Exit(3);
    }
    if (thread_.joinable())
      thread_.join();
  }

  /// Waits (up to 5 s) until the thread sits blocked in one of `calls`.
  bool blockedIn(const std::set<long>& calls) const {
    return eventually([&] {
      std::ifstream file("/proc/self/task/" + std::to_string(tid_.load()) + "/syscall");
      long number = -1;
      return tid_.load() != 0 && (file >> number) && calls.count(number) > 0;
    });
  }

 private:
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

/// What `call`, blocked in one of `calls` on another thread, ends with when `end` is done here.
inline std::string endBlocked(const std::function<void()>& call, const std::set<long>& calls,
                              const std::function<void()>& end) {
  std::string failure = "?";
  BoundedThread thread([&] { failure = failureOf(call); });
  EXPECT_TRUE(thread.blockedIn(calls));
  end();
  thread.join();
  return failure;
}

/// Expects `body` to time out, no earlier than `minMs` (it did wait); a body that never ends
/// stops the program after 10 s (BoundedThread): the bound of a hang, not of a time.
template <class F>
void expectTimeout(F&& body, int64_t minMs) {
  const Clock::time_point start = Clock::now();
  std::string failure;
  BoundedThread([&] { failure = failureOf(body); }).join();
  EXPECT_EQ(failure, "Time out!");
  EXPECT_GE(msSince(start), minMs);
}

TEST(InetAddr, TextFormsCopiesAndInterfaceNumbers) {
  const JInetAddr dotted("192.168.10.254", 8080);
  EXPECT_EQ(dotted.address().s_addr, htonl(0xC0A80AFE));
  EXPECT_TRUE(JInetAddr().isAny() && !dotted.isAny());
  EXPECT_EQ(ntohl(JInetAddr("localhost", 554).address().s_addr) >> 24, 127u);
  // A copy through the base keeps the most derived type.
  const auto copy = static_cast<const JSockAddr&>(JRTSPAddr("10.1.2.3", 554, "cam/1.mp3")).copy();
  const auto* rtsp = dynamic_cast<const JRTSPAddr*>(copy.get());
  ASSERT_NE(rtsp, nullptr);
  EXPECT_EQ(rtsp->text() + " " + rtsp->mediaFile(), "10.1.2.3:554 cam/1.mp3");
  // Interfaces are numbered from 1.
  const std::vector<in_addr> numbered = JInetAddr::interfaceAddresses();
  const size_t count = numbered.size();
  ASSERT_NE(count, 0u) << "no interface is up";
  for (size_t n = 1; n <= count; ++n) {
    EXPECT_EQ(JInetAddr::fromInterface(static_cast<int>(n)).text(),
              JInetAddr(numbered[n - 1], 0).text());
  }
  EXPECT_EQ(JInetAddr::fromInterface(0).text(), "0.0.0.0:0");
  EXPECT_EQ(
      failureOf([&] { JInetAddr::fromInterface(static_cast<int>(count) + 1); }),
      "invalid interface number : " + std::to_string(count + 1) + "/" + std::to_string(count));
}

TEST(SockAddrFactory, UrlsGiveTheirAddressOrTheirErrorText) {
  const std::pair<const char*, const char*> cases[] = {
      {"tcp://127.0.0.1:000080", "127.0.0.1:80"},
      {"ipmq://239.1.1.1", "239.1.1.1:0"},
      {"rtsp://127.0.0.1:0000065535/a.mp3", "127.0.0.1:65535 a.mp3"},
      {"rtsp://10.0.0.7/cam1.mp3", "10.0.0.7:554 cam1.mp3"},
      {"svc://47.0005.80ffe1000000f21a26d8.0020481a26d8.00", "(none)"},
      {"rtsp://10.0.0.7:554", "bad rtsp url format, missing mediafile"}};
  std::vector<std::pair<const char*, const char*>> all(std::begin(cases), std::end(cases));
  for (const char* url : {"tcp://127.0.0.1", "udp://127.0.0.1:12x", "tcp://127.0.0.1:65536"})
    all.emplace_back(url, "bad ip url format");
  all.emplace_back("udp:/127.0.0.1:5", "unknown url type");
  for (const auto& [url, result] : all) {
    std::string got;
    const std::string error = failureOf([&] {
      const auto address = createSockAddr(url);
      const auto* rtsp = dynamic_cast<JRTSPAddr*>(address.get());
      got = !address ? "(none)" : address->text() + (rtsp ? " " + rtsp->mediaFile() : "");
    });
    EXPECT_EQ(error == "none" ? got : error, result) << url;
  }
}

TEST(SocketError, ErrnoAndResolverResultsGiveTheirSocketNumbersAndThrownErrorsTheirCaller) {
  // EPIPE is a reset (10058 after a local shutdown); ENOMEM, ENFILE, EPERM: the nearest number.
  const std::pair<int, uint32_t> errnos[] = {{ECONNRESET, 10054}, {EAGAIN, 10035},
                                             {ESHUTDOWN, 10058},  {EPIPE, 10054},
                                             {ENOMEM, 10055},     {ENOENT, 0}};
  for (const auto& [err, number] : errnos) {
    EXPECT_EQ(socketErrorFromErrno(err), number) << std::strerror(err);
    EXPECT_EQ(socketErrorCode(err), number != 0 ? JSysError::kSocketTag | number : err);
  }
  EXPECT_EQ(socketErrorCode(0), JSysError::kSocketTag);
  const std::tuple<int, int, uint32_t> resolver[] = {{EAI_NONAME, 0, 11001},
                                                     {EAI_AGAIN, 0, 11002},
                                                     {EAI_SYSTEM, EMFILE, 10024},
                                                     {EAI_SYSTEM, ENOENT, 0}};
  for (const auto& [result, err, number] : resolver)
    EXPECT_EQ(socketErrorFromResolver(result, err), number) << gai_strerror(result);
  // A thrown error carries its call, its tag and the caller's file.
  try {
    throwSocketError(ECONNREFUSED, "WSAConnect", 17);
  } catch (const JSysError& e) {
    EXPECT_EQ(failureOf([&] { throw e; }), "10061 WSAConnect tag 17");
    EXPECT_TRUE(std::string_view(e.file()).ends_with("test_sockets.cpp")) << e.file();
  }
}

TEST(SocketLayer, UsersAreCountedAcrossThreadsAndTheFirstAndLastLogged) {
  while (JSocketLayer::users() > 0)
    JSocketLayer::stop();
  EXPECT_FALSE(JSocketLayer::stop());
  LogCapture log;
  {
    JSocketLayer::Holder outer, inner;
    EXPECT_EQ(JSocketLayer::users(), 2);
    for (std::vector<std::jthread> threads(2); auto& thread : threads) {
      thread = std::jthread([] {
        for (int i = 0; i < 500; ++i) {
          JSocketLayer::start();
          JSocketLayer::stop();
        }
      });
    }
  }
  EXPECT_EQ(JSocketLayer::users(), 0);
  EXPECT_EQ(levelOf(log, "Socket layer started"), 3);
  EXPECT_EQ(levelOf(log, "Socket layer stopped"), 3);
}

constexpr char kGroup[] = "239.23.45.67";

std::unique_ptr<JUDPSocket> boundReceiver() {
  auto socket = std::make_unique<JUDPSocket>();
  socket->bind(JInetAddr("127.0.0.1", 0));
  socket->setReadTimeout(5000);
  return socket;
}

// One datagram, as text.
std::string receive(JSocket& socket, JInetAddr* from = nullptr) {
  char buffer[64];
  return std::string(buffer, socket.receiveFrom(buffer, sizeof buffer, from));
}

TEST(Udp, DatagramsKeepTheirBoundariesAndTellTheirSenderBroadcastsArriveFailuresTellTheirCall) {
  auto receiver = boundReceiver();
  JUDPSocket sender;
  sender.bind(JInetAddr("127.0.0.1", 0));
  EXPECT_EQ(sender.sendto("frame-1", 7, receiver->localAddress()), 7u);
  JInetAddr from;
  EXPECT_EQ(receive(*receiver, &from), "frame-1");
  EXPECT_EQ(from.text(), sender.localAddress().text());
  sender.connect(receiver->localAddress());
  EXPECT_EQ(sender.write("one", 3), 3u);
  // More pieces than the stack holds, empty ones among them.
  std::string text = "HDR:payload";
  std::vector<JSocketPiece> out;
  for (char& c : text) {
    out.push_back({&c, 1});
    out.push_back({&c, 0});
  }
  char first[6], second[16];
  const JSocketPiece in[] = {{first, 6}, {second, 16}};
  EXPECT_EQ(sender.writev(out.data(), out.size()), 11u);
  EXPECT_EQ(receiver->read(second, sizeof second), 3u);
  ASSERT_EQ(receiver->readv(in, 2), 11u);
  EXPECT_EQ(std::string(first, 6) + "|" + std::string(second, 5), "HDR:pa|yload");
  JBroadcastSocket broadcast;
  broadcast.setDestination(receiver->localAddress());
  EXPECT_EQ(broadcast.write("all", 3), 3u);
  EXPECT_EQ(receive(*receiver), "all");
  EXPECT_NE(broadcast.intOption(SOL_SOCKET, SO_BROADCAST), 0);
  // A datagram larger than the buffer, no peer, no destination, an address in use.
  JUDPSocket other, unbound;
  char buffer[10];
  const JSocketPiece pieces[] = {{buffer, 3}, {buffer + 3, 3}};
  const std::string big(100, 'z');
  // `receive` once a datagram larger than the buffer is on its way.
  const auto tooBigThen = [&](std::function<void()> receive) {
    return [&, receive] {
      sender.write(big.data(), big.size());
      receive();
    };
  };
  const std::pair<std::function<void()>, const char*> cases[] = {
      {tooBigThen([&] { receiver->read(buffer, sizeof buffer); }), "10040 recv"},
      {tooBigThen([&] { receiver->receiveFrom(buffer, 4, nullptr); }), "10040 revfrom"},
      {tooBigThen([&] { receiver->readv(pieces, 2); }), "10040 WSARecv"},
      {[&] { (void)receiver->peerAddress(); }, "10057 getpeername"},
      {[&] { other.write("x", 1); }, "10039 send"},
      {[&] { other.sendto("x", 1, JSockAddr()); }, "10039 sendto"},
      {[&] { unbound.bind(receiver->localAddress()); }, "10048 bind"}};
  for (const auto& [call, failure] : cases)
    EXPECT_EQ(failureOf(call), failure);
  EXPECT_EQ(std::string(buffer, 10), std::string(10, 'z'));
  // By number, the last interface is loopback in every namespace.
  const std::vector<in_addr> interfaces = JInetAddr::interfaceAddresses();
  unbound.bind(static_cast<int>(interfaces.size()), 0);
  EXPECT_EQ(unbound.localAddress().address().s_addr, interfaces.back().s_addr);
}

std::unique_ptr<JIPMulticastSocket> member(uint16_t port, bool sender, bool receiver,
                                           JTraceMask* mask = nullptr) {
  auto socket = std::make_unique<JIPMulticastSocket>(JInetAddr(kGroup, port), sender, receiver,
                                                     JInetAddr("127.0.0.1", 0), mask);
  socket->setReadTimeout(3000);
  return socket;
}

TEST(Multicast, MembersHearTheGroupSendersOnlyWhenTheyReceiveAndSetupFailuresAreReported) {
  auto receiver = member(0, false, true);
  const JInetAddr local = receiver->localAddress();
  EXPECT_EQ(local.hostText(), kGroup);
  auto sender = member(local.port(), true, false);
  EXPECT_EQ(sender->intOption(IPPROTO_IP, IP_MULTICAST_LOOP), 0);
  EXPECT_EQ(static_cast<in_addr_t>(sender->intOption(IPPROTO_IP, IP_MULTICAST_IF)),
            htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sender->write("voice", 5), 5u);
  EXPECT_EQ(receive(*receiver), "voice");
  auto both = member(local.port(), true, true);
  EXPECT_EQ(both->write("echo", 4), 4u);
  EXPECT_EQ(receive(*both) + receive(*receiver), "echoecho");
  // A receiver binds its own port when it is given one, else the group's.
  JUDPSocket probes[2];
  for (JUDPSocket& probe : probes) {
    probe.bind(JInetAddr(kGroup, 0));  // distinct ports, then shared
    probe.setIntOption(SOL_SOCKET, SO_REUSEADDR, 1);
  }
  const uint16_t own = probes[0].localAddress().port(), group = probes[1].localAddress().port();
  JIPMulticastSocket withOwn(JInetAddr(kGroup, group), false, true, JInetAddr("127.0.0.1", own));
  EXPECT_EQ(withOwn.localAddress().port(), own);
  JIPMulticastSocket withGroups(JInetAddr(kGroup, group), false, true, JInetAddr());
  EXPECT_EQ(withGroups.localAddress().port(), group);
  EXPECT_EQ(
      failureOf([] { JIPMulticastSocket s(JInetAddr(kGroup, 0), false, false, JInetAddr()); }),
      "specify sender or receiver or both for ip multicast socket");
  EXPECT_EQ(failureOf([] { JIPMulticastSocket s(JInetAddr("127.0.0.2", 0), false, true, {}); }),
            "10022 WSAJoinLeaf tag 17");
}

constexpr uint32_t kNetworkBit = 1u << kLevelTraceNetwork;

bool nonBlocking(const JSocket& socket) {
  return (fcntl(socket.handle(), F_GETFL) & O_NONBLOCK) != 0;
}

// Reads until `count` bytes or the end of data.
std::string readExactly(JSocket& socket, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  for (size_t n = 1; got < count && n != 0; got += n)
    n = socket.read(data.data() + got, count - got);
  return data.substr(0, got);
}

// A listening loopback socket and a connection to it, all with trace bit 18 set, and their log.
class Tcp : public ::testing::Test {
 protected:
  void SetUp() override {
    listener.bind(0);
    listener.listen(16);
    listener.setAcceptTimeout(5000);
    std::tie(client, server) = connectPair();
  }

  JInetAddr address() const { return JInetAddr("127.0.0.1", listener.localAddress().port()); }

  // A client connected with a time-out, and the server side.
  std::pair<std::unique_ptr<JTCPSocket>, std::unique_ptr<JStreamSocket>> connectPair() {
    auto connected = std::make_unique<JTCPSocket>(&mask);
    connected->setConnectTimeout(5000);
    connected->connect(address());
    return {std::move(connected), listener.accept()};
  }

  // Leaves an unaccepted connection in a backlog of 0, so that new requests are dropped. A
  // listener reports queue length and backlog in these two fields.
  bool fillQueue() {
    listener.listen(0);
    spare.connect(address());
    return eventually([this] {
      tcp_info info{};
      socklen_t length = sizeof info;
      listener.getsockopt(IPPROTO_TCP, TCP_INFO, &info, &length);
      return info.tcpi_unacked > info.tcpi_sacked;
    });
  }

  LogCapture log;
  JTraceMask mask{kNetworkBit};
  JTCPSocket listener{&mask}, spare;  // the spare with a mask of its own
  std::unique_ptr<JTCPSocket> client;
  std::unique_ptr<JStreamSocket> server;
};

TEST_F(Tcp, FailuresGiveTheirNumberCallAndTextAndSomeAreLogged) {
  JTCPSocket idle, closed, refused, refusedTimed, refusing;
  refusing.bind(0);  // never listening
  const JInetAddr target("127.0.0.1", refusing.localAddress().port());
  refusedTimed.setConnectTimeout(2000);
  EXPECT_EQ(closed.close(), 0);
  EXPECT_EQ(closed.close(), -1);
  listener.setAcceptTimeout(200);
  expectTimeout([&] { listener.accept(); }, 190);
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { refused.connect(target); }, "10061 WSAConnect"},
      {[&] { refusedTimed.connect(target); }, "10061 WSAConnect"},
      {[&] { idle.setIntOption(SOL_SOCKET, 12345, 1); }, "10042 setsockopt"},
      {[&] { idle.shutdown(); }, "10057 shutdown"},
      {[&] { idle.accept(); }, "10022 accept"},
      {[&] { idle.applyQoS(); }, "10022 WSAIoctl(SIO_SET_QOS)"},
      {[&] { client->listen(5); }, "none"},
      {[&] { readExactly(closed, 1); }, "10038 recv"},
      {[&] { closed.connect(address()); }, "10038 WSAConnect"}};
  for (const auto& [call, failure] : cases)
    EXPECT_EQ(failureOf(call), failure);
  EXPECT_FALSE(nonBlocking(refused) || nonBlocking(refusedTimed) || nonBlocking(*client));
  const auto notConnected = [&](const JTCPSocket& socket) {
    return jformat(
        "Failed to connect socket '%d' to '%s': system call error at function "
        "'WSAConnect' : No connection could be made because the target machine "
        "actively refused it",
        socket.handle(), target.text().c_str());
  };
  for (const std::string& line :
       {notConnected(refused), notConnected(refusedTimed),
        "Could not accept connection: system call error at function 'accept' : An invalid "
        "argument was supplied"s,
        jformat("Could not listen on socket '%d' with backlog '5'", client->handle())})
    EXPECT_EQ(levelOf(log, line), 11) << line;
}

TEST_F(Tcp, AcceptedConnectionsGetKeepAliveInWholeSecondsAndTheMaskValue) {
  const auto keepAlive = [](const JSocket& s) {
    return std::tuple(s.intOption(SOL_SOCKET, SO_KEEPALIVE), s.intOption(IPPROTO_TCP, TCP_KEEPIDLE),
                      s.intOption(IPPROTO_TCP, TCP_KEEPINTVL));
  };
  EXPECT_EQ(keepAlive(*server), std::tuple(1, 3, 3));
  EXPECT_NE(server->traceMask(), &mask);  // a copy of the value
  EXPECT_EQ(server->traceMask()->load(), kNetworkBit);
  listener.setKeepAlive(true, 1200, 10000);
  EXPECT_EQ(keepAlive(*connectPair().second), std::tuple(1, 2, 10));
  listener.setKeepAlive(false);
  EXPECT_EQ(connectPair().second->intOption(SOL_SOCKET, SO_KEEPALIVE), 0);
  // An idle time the system refuses, even rounded up, is logged and the connection kept.
  listener.setKeepAlive(true, INT_MAX, 3000);
  auto [writer, reader] = connectPair();
  EXPECT_EQ(levelOf(log, jformat("Couldn't set keepalive value on client socket '%d'!",
                                 reader->handle())),
            11);
  writer->writeAll("x", 1);
  EXPECT_EQ(readExactly(*reader, 1), "x");
}

TEST_F(Tcp, ReadTimeoutsInTurn) {
  client->writeAll("ready", 5);
  server->setReadTimeout(30000);
  ASSERT_EQ(readExactly(*server, 1), "r");
  // 0 takes what is there, and throws at once when nothing is.
  server->setReadTimeout(0);
  ASSERT_EQ(readExactly(*server, 4), "eady");
  expectTimeout([&] { readExactly(*server, 16); }, 0);
  // A time-out shorter than the first read's holds.
  server->setReadTimeout(200);
  expectTimeout([&] { readExactly(*server, 16); }, 190);
  // None at all waits past the earlier ones for late data.
  server->setReadTimeout(-1);
  BoundedThread late([&] { std::this_thread::sleep_for(600ms), client->writeAll("late", 4); });
  EXPECT_EQ(readExactly(*server, 4), "late");
  // A timed read waits even when the handle does not block.
  ASSERT_EQ(fcntl(server->handle(), F_SETFL, O_NONBLOCK), 0);
  server->setReadTimeout(5000);
  BoundedThread again([&] { std::this_thread::sleep_for(200ms), client->writeAll("again", 5); });
  EXPECT_EQ(readExactly(*server, 5), "again");
}

TEST_F(Tcp, WriteTimeoutsOnAFullSendBuffer) {
  listener.setReceiveBufferSize(4096);  // inherited by the accepted side
  auto [writer, reader] = connectPair();
  writer->setSendBufferSize(4096);
  writer->setWriteTimeout(0);
  EXPECT_EQ(writer->write("x", 1), 1u);
  std::vector<char> block(65536, 'b');
  // Filled by writes that may not wait. Acknowledgements may then free a little room, which
  // writes of 200 ms take until one of them waits its whole time.
  std::string filled = "none", waited = "none";
  Clock::time_point start;
  BoundedThread([&] {
    for (size_t total = 0; filled == "none" && total < (64u << 20);)
      filled = failureOf([&] { total += writer->write(block.data(), block.size()); });
    writer->setWriteTimeout(200);
    for (int i = 0; waited == "none" && i < 1000; ++i) {
      start = Clock::now();
      waited = failureOf([&] { writer->write(block.data(), block.size()); });
    }
  }).join();
  ASSERT_EQ(filled + " " + waited, "Time out! Time out!");
  EXPECT_GE(msSince(start), 190);
  // Room the reader makes ends a longer wait.
  writer->setWriteTimeout(10000);
  BoundedThread drain([&reader = reader] {
    reader->setReadTimeout(5000);
    while (readExactly(*reader, 65536).size() == 65536) {
    }
  });
  EXPECT_GT(writer->write(block.data(), block.size()), 0u);
  writer->shutdown();
}

TEST_F(Tcp, APeerThatClosedEndsReadsAndFailsWritesWithoutSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the program
  auto [quiet, quietServer] = connectPair();
  quiet->shutdown();
  EXPECT_EQ(failureOf([&] { quiet->write("x", 1); }), "10058 send");
  quiet->close();
  quietServer->setReadTimeout(5000);
  EXPECT_EQ(readExactly(*quietServer, 4), "");
  std::string failure;
  EXPECT_TRUE(eventually(
      [&] { return (failure = failureOf([&] { quietServer->write("data", 4); })) != "none"; }));
  EXPECT_EQ(failure, "10054 send");  // a read after a reset: the table below
}

// Shut down, closed or reset, before a read or while it waits: the read ends at once with the
// socket's closing error (or a stream's end), whatever time it has left; with nothing to read
// and no time left it is a time-out. A read that never ends stops the program (BoundedThread).
TEST_F(Tcp, AReadEndsAtOnceOnASocketShutDownClosedOrReset) {
  const linger abortive{1, 0};
  const struct {
    bool tcp;
    int32_t timeout;
    std::string end;  // "<what> before" the read, or "<what> while" it waits
    std::string outcome;
  } cases[] = {
      {false, 0, "shutdown before", "10058 recv"}, {false, -1, "shutdown while", "10058 recv"},
      {false, 20000, "close while", "10004 recv"}, {true, 0, "shutdown before", "0 bytes"},
      {true, -1, "close while", "10004 recv"},     {true, 20000, "close while", "10004 recv"},
      {true, 0, "reset before", "10054 recv"},     {true, 20000, "reset while", "10054 recv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE((c.tcp ? "tcp " : "udp ") + std::to_string(c.timeout) + " " + c.end);
    auto [other, tcpReader] = connectPair();
    std::unique_ptr<JSocket> reader = boundReceiver();
    if (c.tcp)
      reader = std::move(tcpReader);
    reader->setReadTimeout(c.timeout);
    const auto end = [&] {
      if (c.end.starts_with("shutdown"))
        reader->shutdown();
      else if (c.end.starts_with("close"))
        EXPECT_EQ(reader->close(), 0);
      else if (c.end.starts_with("reset")) {
        other->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        other->close();
      }
    };
    std::string outcome = "?";
    const auto read = [&] {
      char buffer[8];
      size_t n = 0;
      outcome = failureOf([&] { n = reader->read(buffer, sizeof buffer); });
      outcome = outcome == "none" ? std::to_string(n) + " bytes" : outcome;
    };
    const size_t before = openDescriptors();
    if (c.end.ends_with("while")) {
      EXPECT_EQ(endBlocked(read, {SYS_recvmsg}, end), "none");
    } else {
      end();
      pollfd entry{reader->handle(), POLLIN, 0};
      ASSERT_TRUE(c.end != "reset before" || eventually([&] { return ::poll(&entry, 1, 0) > 0; }));
      BoundedThread(read).join();
    }
    EXPECT_EQ(outcome, c.outcome);
    // Closed (by the reader or the resetting peer): one handle less, none left behind.
    EXPECT_EQ(openDescriptors(),
              before - (c.end.starts_with("close") || c.end.starts_with("reset")));
  }
}

TEST_F(Tcp, CloseOrShutdownFromAnotherThreadEndsABlockedAccept) {
  spare.bind(0);
  spare.listen(1);
  listener.setAcceptTimeout(-1);
  const auto accept = [&] { listener.accept(); };
  EXPECT_EQ(endBlocked(accept, {SYS_accept4}, [&] { listener.shutdown(); }), "10022 accept");
  EXPECT_EQ(endBlocked([&] { spare.accept(); }, {SYS_accept4}, [&] { spare.close(); }),
            "10004 accept");
}

TEST_F(Tcp, ConnectToAFullQueueTimesOutOrEndsWithClose) {
  ASSERT_TRUE(fillQueue()) << "the accept queue never filled";
  JTCPSocket timed;
  timed.setConnectTimeout(500);
  expectTimeout([&] { timed.connect(address()); }, 450);
  EXPECT_TRUE(nonBlocking(timed));  // left for its owner to close
  for (int32_t timeout : {-1, 20000}) {
    JTCPSocket socket, early(&mask);
    socket.setConnectTimeout(timeout);
    early.setConnectTimeout(timeout);
    EXPECT_EQ(endBlocked([&] { socket.connect(address()); }, {SYS_connect, SYS_poll, SYS_ppoll},
                         [&] { socket.close(); }),
              "10004 WSAConnect")
        << timeout;
    // A close while the connect writes its first line, before it asks the system to connect.
    log.onRecord = [&](const std::string& text) {
      if (text.starts_with("Connecting socket"))
        early.close();
    };
    std::string failure = "?";
    BoundedThread([&] { failure = failureOf([&] { early.connect(address()); }); }).join();
    log.onRecord = nullptr;
    EXPECT_EQ(failure, "10004 WSAConnect") << timeout;
  }
}

}  // namespace
}  // namespace zq
