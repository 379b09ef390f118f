// The RPC line framing: line ends, lines across and within reads, the read
// buffer's growth and reuse, a peer closing mid-line and read time-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"

namespace zq {
namespace {

// A socket whose reads return prepared chunks, one chunk (or as much of it as
// fits) per read, then 0 as a closed peer would.
class ScriptedSocket : public JSocket {
 public:
  explicit ScriptedSocket(std::deque<std::string> chunks, int* reads)
      : chunks_(std::move(chunks)), reads_(reads) {}

  size_t read(void* buffer, size_t length) override {
    ++*reads_;
    if (chunks_.empty()) {
      return 0;
    }
    std::string& chunk = chunks_.front();
    const size_t n = std::min(length, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) {
      chunks_.pop_front();
    }
    return n;
  }

 private:
  std::deque<std::string> chunks_;
  int* reads_;
};

class LineIOScripted : public ::testing::Test {
 protected:
  void script(std::deque<std::string> chunks) {
    io_.setSocket(std::make_unique<ScriptedSocket>(std::move(chunks), &reads_));
  }
  std::optional<std::string> next() {
    std::string_view line;
    if (!io_.readLine(line)) {
      return std::nullopt;
    }
    return std::string(line);
  }

  JLineIO io_;
  int reads_ = 0;
};

TEST_F(LineIOScripted, LineFeedAndCarriageReturnLineFeedBothEndALine) {
  script({"one\ntwo\r\nthree\r\n"});
  EXPECT_EQ(next(), "one");
  EXPECT_EQ(next(), "two");
  EXPECT_EQ(next(), "three");
  EXPECT_EQ(next(), std::nullopt);
}

TEST_F(LineIOScripted, CarriageReturnInsideALineIsKept) {
  script({"a\rb\r\n\r\r\n\r\n\n"});
  EXPECT_EQ(next(), "a\rb");
  EXPECT_EQ(next(), "\r");
  EXPECT_EQ(next(), "");
  EXPECT_EQ(next(), "");
}

TEST_F(LineIOScripted, SeveralLinesFromOneRead) {
  script({"a\r\nbb\r\nccc\r\n"});
  EXPECT_EQ(next(), "a");
  EXPECT_EQ(next(), "bb");
  EXPECT_EQ(next(), "ccc");
  EXPECT_EQ(reads_, 1);
}

TEST_F(LineIOScripted, LineSplitAcrossReads) {
  script({"ge", "tPar", "ams(", ")\r", "\nnext\r\n"});
  EXPECT_EQ(next(), "getParams()");
  EXPECT_EQ(reads_, 5);
  EXPECT_EQ(next(), "next");
  EXPECT_EQ(reads_, 5);
}

TEST_F(LineIOScripted, PartialLineAfterACompleteOneIsCarriedOver) {
  script({"a\r\nbcd", "ef\r\ng", "\n"});
  EXPECT_EQ(next(), "a");
  EXPECT_EQ(next(), "bcdef");
  EXPECT_EQ(next(), "g");
}

TEST_F(LineIOScripted, LongLinesDoubleTheBufferWhichIsThenReused) {
  EXPECT_EQ(io_.bufferSize(), JLineIO::kInitialBufferSize);
  const std::string exact(256, 'x');
  const std::string longer(600, 'y');
  script({exact + "\r\n", longer + "\r\n", "short\r\n", std::string(1000, 'z') + "\n"});
  EXPECT_EQ(next(), exact);
  EXPECT_EQ(io_.bufferSize(), 512u);
  EXPECT_EQ(next(), longer);
  EXPECT_EQ(io_.bufferSize(), 1024u);
  EXPECT_EQ(next(), "short");
  EXPECT_EQ(io_.bufferSize(), 1024u);
  EXPECT_EQ(next(), std::string(1000, 'z'));
  EXPECT_EQ(io_.bufferSize(), 1024u);
}

TEST_F(LineIOScripted, VeryLongLineArrivingInSmallPieces) {
  std::deque<std::string> chunks;
  std::string line;
  for (int i = 0; i < 2000; ++i) {
    chunks.push_back(std::string(37, static_cast<char>('a' + i % 26)));
    line += chunks.back();
  }
  chunks.push_back("\r\n");
  script(chunks);
  EXPECT_EQ(next(), line);
  EXPECT_EQ(io_.bufferSize(), 131072u);
}

TEST_F(LineIOScripted, PeerClosingMidLineDropsTheTail) {
  script({"whole\r\npart"});
  EXPECT_EQ(next(), "whole");
  EXPECT_EQ(next(), std::nullopt);
}

TEST_F(LineIOScripted, NewSocketForgetsBufferedBytes) {
  script({"first\r\nleft over"});
  EXPECT_EQ(next(), "first");
  script({"fresh\r\n"});
  EXPECT_EQ(next(), "fresh");
}

TEST_F(LineIOScripted, BufferGrownByALongLineIsGivenBackAfterIt) {
  const std::string longLine(200000, 'l');
  // The next line and part of the one after arrive with the long one.
  script({longLine + "\r\nnext\r\npart", "ial\r\n"});
  EXPECT_EQ(next(), longLine);
  EXPECT_GT(io_.bufferSize(), JLineIO::kRetainedBufferSize);
  EXPECT_EQ(next(), "next");
  EXPECT_EQ(io_.bufferSize(), JLineIO::kInitialBufferSize);
  EXPECT_EQ(next(), "partial");
}

// ---- the line length cap ----------------------------------------------------------

constexpr char kTooLong[] = "<too long>";
constexpr char kClosed[] = "<closed>";

struct CapCase {
  const char* what;
  size_t cap;
  std::deque<std::string> chunks;
  std::vector<std::string> expected;  // lines, kTooLong or kClosed
  int maxReads;                       // -1: any number
  size_t maxBuffer;                   // the largest buffer seen; 0: any size
};

void PrintTo(const CapCase& c, std::ostream* os) {
  *os << c.what;
}

class LineIOCap : public LineIOScripted, public ::testing::WithParamInterface<CapCase> {};

TEST_P(LineIOCap, LinesAreReadUpToTheCap) {
  const CapCase& c = GetParam();
  io_.setMaxLineLength(c.cap);
  script(c.chunks);
  size_t largest = 0;
  for (const std::string& wanted : c.expected) {
    std::string got;
    try {
      got = next().value_or(kClosed);
    } catch (const JLineTooLongError& e) {
      EXPECT_EQ(e.maxLength(), c.cap);
      EXPECT_EQ(e.message(), "line longer than " + std::to_string(c.cap) + " bytes");
      got = kTooLong;
    }
    EXPECT_EQ(got, wanted);
    largest = std::max(largest, io_.bufferSize());
  }
  if (c.maxReads >= 0) {
    EXPECT_LE(reads_, c.maxReads);
  }
  if (c.maxBuffer != 0) {
    EXPECT_LE(largest, c.maxBuffer);
  }
}

std::deque<std::string> pieces(int count, size_t size, const std::string& last = "") {
  std::deque<std::string> chunks(static_cast<size_t>(count), std::string(size, 'p'));
  if (!last.empty()) {
    chunks.push_back(last);
  }
  return chunks;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineIOCap,
    ::testing::Values(
        CapCase{"ZeroIsNoCap", 0, {std::string(5000, 'z') + "\n"}, {std::string(5000, 'z')}, -1, 0},
        CapCase{"ExactlyTheCapWithCarriageReturn",
                10,
                {"0123456789\r\n0123456789\n"},
                {"0123456789", "0123456789"},
                -1,
                0},
        CapCase{"OneOverTheCapInOneRead",
                10,
                {"ok\n01234567890\r\nafter\r\n"},
                {"ok", kTooLong},
                -1,
                0},
        // Refused once cap + CR are exceeded, long before the peer stops.
        CapCase{"NoLineFeedStopsReadingEarly", 1000, pieces(1000, 100), {kTooLong}, 20, 1002},
        // The buffer grows to the cap and its CR LF, not to the next power.
        CapCase{"LineOfExactlyTheCapInSmallPieces",
                1000,
                pieces(10, 100, "\r\n"),
                {std::string(1000, 'p'), kClosed},
                -1,
                1002},
        CapCase{"ShortLinesKeepTheInitialBuffer",
                300,
                {"a\r\nb\n"},
                {"a", "b", kClosed},
                -1,
                JLineIO::kInitialBufferSize}),
    [](const ::testing::TestParamInfo<CapCase>& param) { return std::string(param.param.what); });

TEST(LineIO, WithoutSocketReadAndWriteFail) {
  JLineIO io;
  std::string_view line;
  try {
    io.readLine(line);
    FAIL() << "no error";
  } catch (const JSysError& e) {
    EXPECT_EQ(e.code(), JSysError::kSocketTag | 10038);
    EXPECT_STREQ(e.function(), "recv");
  }
  try {
    io.writeLine("x");
    FAIL() << "no error";
  } catch (const JSysError& e) {
    EXPECT_EQ(e.code(), JSysError::kSocketTag | 10038);
    EXPECT_STREQ(e.function(), "send");
  }
}

// ---- on a real connection ---------------------------------------------------------

class LineIOLoopback : public ::testing::Test {
 protected:
  LineIOLoopback() {
    listener_.bind(0);
    listener_.listen(1);
    listener_.setAcceptTimeout(5000);
    auto client = std::make_unique<JTCPSocket>();
    client->setConnectTimeout(5000);
    client->connect(JInetAddr("127.0.0.1", listener_.localAddress().port()));
    client->setReadTimeout(5000);
    clientSocket_ = client.get();
    client_.setSocket(std::move(client));
    auto server = listener_.accept();
    server->setReadTimeout(5000);
    serverSocket_ = server.get();
    server_.setSocket(std::move(server));
  }

  std::optional<std::string> readServer() {
    std::string_view line;
    if (!server_.readLine(line)) {
      return std::nullopt;
    }
    return std::string(line);
  }

  JTCPSocket listener_;
  JLineIO client_;
  JLineIO server_;
  JTCPSocket* clientSocket_ = nullptr;
  JSocket* serverSocket_ = nullptr;
};

TEST_F(LineIOLoopback, WrittenLinesEndWithCarriageReturnLineFeed) {
  client_.writeLine("abc");
  client_.writeLine("");
  char bytes[7] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    got += serverSocket_->read(bytes + got, sizeof bytes - got);
  }
  EXPECT_EQ(std::string(bytes, sizeof bytes), "abc\r\n\r\n");
}

TEST_F(LineIOLoopback, LargeLineIsWrittenWhole) {
  const std::string line(4 << 20, 'q');
  std::thread writer([&] { client_.writeLine(line); });
  EXPECT_EQ(readServer(), line);
  writer.join();
}

TEST_F(LineIOLoopback, ReadTimeOutKeepsThePartialLine) {
  serverSocket_->setReadTimeout(50);
  const char part[] = "hal";
  clientSocket_->writeAll(part, 3);
  std::string_view line;
  EXPECT_THROW(server_.readLine(line), JTimeoutError);
  serverSocket_->setReadTimeout(5000);
  const char rest[] = "f\r\n";
  clientSocket_->writeAll(rest, 3);
  EXPECT_EQ(readServer(), "half");
}

TEST_F(LineIOLoopback, PeerClosingMidLineEndsReading) {
  const char bytes[] = "done\r\nhalf a li";
  clientSocket_->writeAll(bytes, sizeof bytes - 1);
  clientSocket_->close();
  EXPECT_EQ(readServer(), "done");
  EXPECT_EQ(readServer(), std::nullopt);
}

}  // namespace
}  // namespace zq
