// The RPC line framing on a scripted socket: line ends, lines across reads, the
// buffer's growth and return, the cap, a peer closing, time-outs, partial writes.
#include <gmock/gmock.h>

#include <cstring>
#include <deque>

#include "rpc/line_io.h"
#include "rpc/rpc_client_test_support.h"

namespace zq {
namespace {

const std::string kTooLong = "<too long>";
const std::string kClosed = "<closed>";
const std::string kTimeout = "<time-out>";

struct Script {
  std::deque<std::string> chunks = {};  // read in turn; kTimeout throws a time-out
  size_t writeLimit = 0;                // the most bytes one write takes
  int reads = 0;
  std::string written = {};
};

// Each read returns the next chunk, or as much as fits, then 0 as a closed peer.
class ScriptedSocket : public JSocket {
 public:
  explicit ScriptedSocket(Script& script) : s_(script) {}

  size_t read(void* buffer, size_t length) override {
    ++s_.reads;
    if (s_.chunks.empty()) {
      return 0;
    }
    std::string& chunk = s_.chunks.front();
    if (chunk == kTimeout) {
      s_.chunks.pop_front();
      throw JTimeoutError();
    }
    const size_t n = std::min(length, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) {
      s_.chunks.pop_front();
    }
    return n;
  }
  size_t writev(const JSocketPiece* pieces, size_t count) override {
    size_t n = 0;
    for (size_t i = 0; i < count && n < s_.writeLimit; ++i) {
      const size_t take = std::min(pieces[i].length, s_.writeLimit - n);
      s_.written.append(static_cast<const char*>(pieces[i].buffer), take);
      n += take;
    }
    return n;
  }

 private:
  Script& s_;
};

// The next line, or kClosed, kTooLong, kTimeout.
std::string next(JLineIO& io) {
  std::string_view line;
  try {
    return io.readLine(line) ? std::string(line) : kClosed;
  } catch (const JLineTooLongError& e) {
    EXPECT_EQ(e.maxLength(), io.maxLineLength());
    EXPECT_EQ(e.message(), "line longer than " + std::to_string(io.maxLineLength()) + " bytes");
    return kTooLong;
  } catch (const JTimeoutError&) {
    return kTimeout;
  }
}

// `count` chunks of `size` bytes, then `last`.
std::deque<std::string> pieces(int count, size_t size, std::deque<std::string> last = {}) {
  std::deque<std::string> chunks(static_cast<size_t>(count), std::string(size, 'p'));
  chunks.insert(chunks.end(), last.begin(), last.end());
  return chunks;
}

TEST(LineIO, Reads) {
  struct Step {
    std::string line;
    size_t buffer = 0;  // the buffer's size after it; 0: not checked
  };
  const std::string x256(256, 'x'), y600(600, 'y'), z1000(1000, 'z');
  // A name, the cap, the most reads it may take (0: any number), the chunks read, the steps.
  const std::tuple<const char*, size_t, int, std::deque<std::string>, std::vector<Step>> cases[] = {
      // clang-format off
      {"LineEnds", 0, 2, {"one\ntwo\r\nthree\r\na\rb\r\n\r\r\n\r\n\n"},
       {{"one"}, {"two"}, {"three"}, {"a\rb"}, {"\r"}, {""}, {""}, {kClosed}}},
      {"LinesAcrossReadsTailDropped", 0, 8, {"ge", "tPar", "ams(", ")\r", "\nnext\r\nbcd", "ef\r\ng", "\nh"},
       {{"getParams()"}, {"next"}, {"bcdef"}, {"g"}, {kClosed}}},
      {"ReadTimeOutKeepsThePartialLine", 0, 0, {"hal", kTimeout, "f\r\n"}, {{kTimeout}, {"half"}}},
      {"BufferDoublesAndIsReused", 0, 0, {x256 + "\r\n", y600 + "\r\n", "short\r\n", z1000 + "\n"},
       {{x256, 512}, {y600, 1024}, {"short", 1024}, {z1000, 1024}}},
      // The bytes after the long line survive the buffer's return.
      {"BufferGrownPastTheRetainedSizeIsGivenBack", 0, 0,
       pieces(5000, 40, {"\r\nnext\r\npart", "ial\r\n"}),
       {{std::string(200000, 'p'), 262144}, {"next", 256}, {"partial", 256}}},
      {"ExactlyTheCapThenOneOver", 10, 0, {"0123456789\r\n0123456789\n01234567890\r\nafter\r\n"},
       {{"0123456789"}, {"0123456789"}, {kTooLong, 256}}},
      // The buffer grows to the cap and its CR LF, not to the next power; at
      // the cap, a CR without its LF may still end the line.
      {"ExactlyTheCapInPiecesCarriageReturnApart", 1000, 0, pieces(10, 100, {"\r", "\n"}),
       {{std::string(1000, 'p'), 1002}, {kClosed}}},
      // Refused once cap + CR are exceeded, long before the peer stops.
      {"NoLineFeedStopsReadingEarly", 1000, 20, pieces(1000, 100), {{kTooLong, 256}}},
      // clang-format on
  };
  for (const auto& [name, cap, reads, chunks, steps] : cases) {
    SCOPED_TRACE(name);
    Script script{chunks};
    JLineIO io(std::make_unique<ScriptedSocket>(script));
    io.setMaxLineLength(cap);
    for (const Step& step : steps) {
      EXPECT_EQ(next(io), step.line);
      if (step.buffer != 0) {
        EXPECT_EQ(io.bufferSize(), step.buffer);
      }
    }
    if (reads != 0) {
      EXPECT_LE(script.reads, reads);
    }
  }
}

// However little each write takes, the line and its CR LF go out whole.
TEST(LineIO, WritesWholeLines) {
  std::string line;
  for (int i = 0; i < 1000; ++i) {
    line += static_cast<char>('a' + i % 26);
  }
  for (const size_t limit : {1, 7, 1002}) {
    Script script{.writeLimit = limit};
    JLineIO io(std::make_unique<ScriptedSocket>(script));
    io.writeLine(line);
    io.writeLine("");
    EXPECT_EQ(script.written, line + "\r\n\r\n") << limit;
  }
}

// A new socket drops what was buffered from the old one; without one, reads
// and writes fail.
TEST(LineIO, SocketReplacedOrMissing) {
  Script first{{"first\r\nleft over"}}, second{{"fresh\r\n"}};
  JLineIO io(std::make_unique<ScriptedSocket>(first));
  EXPECT_EQ(next(io), "first");
  io.setSocket(std::make_unique<ScriptedSocket>(second));
  EXPECT_EQ(next(io), "fresh");
  io.setSocket(nullptr);
  std::string_view line;
  const auto noSocket = [](const char* function) {
    return testing::AllOf(testing::Property(&JSysError::code, JSysError::kSocketTag | 10038),
                          testing::Property(&JSysError::function, testing::StrEq(function)));
  };
  EXPECT_THAT([&] { io.readLine(line); }, testing::Throws<JSysError>(noSocket("recv")));
  EXPECT_THAT([&] { io.writeLine("x"); }, testing::Throws<JSysError>(noSocket("send")));
}

}  // namespace
}  // namespace zq
