// Round-trip time of a 100-byte request and a 100-byte answer over a loopback
// TCP connection made of JTCPSocket and an accepted JStreamSocket, with and
// without TCP_NODELAY. Each side writes its 100 bytes as two writes (40 + 60),
// the pattern in which the Nagle algorithm holds the second write back until
// the first is acknowledged.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "base/error.h"
#include "bench_args.h"
#include "net/tcp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMessage = 100;
constexpr size_t kFirstPart = 40;
constexpr int32_t kRoundLimitMs = 10000;

void readExactly(zq::JSocket& socket, char* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    const size_t n = socket.read(buffer + got, count - got);
    if (n == 0) {
      throw zq::JTextError("peer closed during a round");
    }
    got += n;
  }
}

void writeInTwo(zq::JSocket& socket, const char* message) {
  socket.writeAll(message, kFirstPart);
  socket.writeAll(message + kFirstPart, kMessage - kFirstPart);
}

struct Figures {
  double medianUs;
  double p99Us;
  double meanUs;
};

Figures measure(bool noDelay, int rounds) {
  zq::JTCPSocket listener;
  listener.bind(0);
  listener.listen(1);
  const zq::JInetAddr address("127.0.0.1", listener.localAddress().port());

  zq::JTCPSocket client;
  client.setConnectTimeout(5000);
  client.connect(address);
  std::unique_ptr<zq::JStreamSocket> server = listener.accept();
  client.setNoDelay(noDelay);
  server->setNoDelay(noDelay);
  // A side that stops answering ends the run instead of hanging it.
  client.setReadTimeout(kRoundLimitMs);
  server->setReadTimeout(kRoundLimitMs);

  std::thread answering([&server, rounds] {
    char request[kMessage];
    char answer[kMessage];
    std::fill(answer, answer + kMessage, 'a');
    try {
      for (int i = 0; i < rounds; ++i) {
        readExactly(*server, request, kMessage);
        writeInTwo(*server, answer);
      }
    } catch (const zq::JError& e) {
      std::fprintf(stderr, "answering side: %s\n", e.message().c_str());
      server->close();  // the measuring side reads the end at once
    }
  });

  char request[kMessage];
  std::fill(request, request + kMessage, 'r');
  char answer[kMessage];
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(rounds));
  try {
    for (int i = 0; i < rounds; ++i) {
      const Clock::time_point start = Clock::now();
      writeInTwo(client, request);
      readExactly(client, answer, kMessage);
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  } catch (const zq::JError&) {
    client.close();  // ends the answering side's read
    answering.join();
    throw;
  }
  answering.join();

  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (double s : samples) {
    sum += s;
  }
  const size_t n = samples.size();
  return {samples[n / 2], samples[std::min(n - 1, n * 99 / 100)], sum / static_cast<double>(n)};
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Round-trip time of a 100-byte request and a 100-byte answer over a loopback TCP\n"
      "connection (JTCPSocket and an accepted JStreamSocket), each side writing its\n"
      "message as 40 + 60 bytes, with and without TCP_NODELAY.",
      "  for TCP_NODELAY on and off: the rounds, then the median, p99 and mean round\n"
      "  trip in microseconds.",
      {{"rounds-with-nodelay", "rounds with TCP_NODELAY on", 5000, 1, 10000000},
       {"rounds-without", "rounds with TCP_NODELAY off (about 40 ms each)", 200, 1, 100000}});
  args.parse(argc, argv);
  const int withRounds = args.integer(0);
  const int withoutRounds = args.integer(1);
  zq::bench::ScratchRegistry registry;
  try {
    // A first short run warms caches and the connection path.
    (void)measure(true, 200);
    std::printf("TCP loopback round trip, 100-byte request and answer, each written 40 + 60\n");
    std::printf("%-22s %8s %12s %12s %12s\n", "", "rounds", "median (us)", "p99 (us)", "mean (us)");
    const Figures on = measure(true, withRounds);
    std::printf("%-22s %8d %12.1f %12.1f %12.1f\n", "TCP_NODELAY on", withRounds, on.medianUs,
                on.p99Us, on.meanUs);
    const Figures off = measure(false, withoutRounds);
    std::printf("%-22s %8d %12.1f %12.1f %12.1f\n", "TCP_NODELAY off", withoutRounds, off.medianUs,
                off.p99Us, off.meanUs);
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "bench_socket: %s\n", e.message().c_str());
    return 1;
  }
  return 0;
}
