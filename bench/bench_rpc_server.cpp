// Figures of the RPC server: the cost of dispatching one request line, the
// round trip of a request on loopback (percentiles), the request rate with
// several clients at once, and connecting plus disconnecting a client.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_args.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/rpc_service.h"

namespace {

using namespace zq;
using Clock = std::chrono::steady_clock;

class BenchService : public JRPCService {
 public:
  BenchService() : JRPCService(0, false, nullptr, "Bench") {
    registerFunctions();
    start();
  }
  ~BenchService() override { shutdown(); }

  void registerFunctions() override {
    static const JRPCFunction<BenchService> kFunctions[] = {
        {"getParams", &BenchService::getParams},
        {"setParams", &BenchService::setParams},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  // An answer of the size a real parameter query gets.
  void getParams(const JParams&, JParams& result) {
    result.set("Type", "Audio");
    result.set("ServerMode", "LIVE");
    result.set("BitRate", int64_t{32000});
    result.set("SampleRate", int64_t{16000});
    result.set("Channels", int64_t{1});
    result.set("Name", "loudspeaker hall 1");
  }
  void setParams(const JParams& request, JParams&) {
    int32_t volume = 0;
    request.get("volume", volume, false);
  }
};

class Client {
 public:
  explicit Client(uint16_t port) {
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(5000);
    socket->connect(JInetAddr("127.0.0.1", port));
    socket->setNoDelay(true);
    socket->setReadTimeout(5000);
    io_.setSocket(std::move(socket));
  }
  bool call(std::string_view line) {
    io_.writeLine(line);
    std::string_view answer;
    return io_.readLine(answer) && answer.substr(0, 3) == "OK ";
  }

 private:
  JLineIO io_;
};

double percentile(std::vector<double>& values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

void benchDispatch(BenchService& service) {
  JTCPSocket socket;
  constexpr int kCount = 200000;
  const auto start = Clock::now();
  for (int i = 0; i < kCount; ++i) {
    service.dispatch("setParams(volume=10, name=\"hall\", gain=0.5)", socket);
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  std::printf("dispatch of a 3-parameter request: %.0f ns\n", ns / kCount);
}

void benchRoundTrip(uint16_t port) {
  Client client(port);
  constexpr int kCount = 20000;
  std::vector<double> micros;
  micros.reserve(kCount);
  for (int i = 0; i < kCount; ++i) {
    const auto start = Clock::now();
    if (!client.call("getParams()")) {
      std::printf("round trip failed\n");
      return;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const double p50 = percentile(micros, 0.50);
  const double p99 = percentile(micros, 0.99);
  std::printf("getParams round trip, one client: p50 %.1f us, p99 %.1f us, max %.1f us\n", p50, p99,
              micros.back());
}

void benchRate(uint16_t port, int clients) {
  constexpr auto kDuration = std::chrono::milliseconds(1000);
  std::atomic<long> calls{0};
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      Client client(port);
      long n = 0;
      while (Clock::now() - start < kDuration && client.call("getParams()")) {
        ++n;
      }
      calls += n;
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("getParams rate, %d clients: %.0f requests/s\n", clients,
              static_cast<double>(calls.load()) / seconds);
}

void benchConnect(BenchService& service) {
  constexpr int kCount = 500;
  const auto start = Clock::now();
  double connectMicros = 0;
  double callMicros = 0;
  for (int i = 0; i < kCount; ++i) {
    const auto t0 = Clock::now();
    Client client(service.port());
    const auto t1 = Clock::now();
    client.call("getParams()");
    connectMicros += std::chrono::duration<double, std::micro>(t1 - t0).count();
    callMicros += std::chrono::duration<double, std::micro>(Clock::now() - t1).count();
  }
  std::printf("new client: connect %.0f us, first request answered %.0f us later\n",
              connectMicros / kCount, callMicros / kCount);
  while (service.connectionCount() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  std::printf("connect, one request, disconnect: %.0f us per client\n", micros / kCount);
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Figures of the RPC server: the cost of dispatching one request line, the round\n"
      "trip of a request on loopback, the request rate with one and four clients, and\n"
      "connecting plus disconnecting a client.",
      "  the dispatch time (ns); the getParams round trip with one client (p50, p99, max,\n"
      "  in us); the getParams rate (requests/s) with 1 and 4 clients; the connect time,\n"
      "  the first answer's delay and the whole connect-call-disconnect cost (us).");
  args.parse(argc, argv);
  zq::bench::ScratchRegistry registry;
  BenchService service;
  benchDispatch(service);
  benchRoundTrip(service.port());
  benchRate(service.port(), 1);
  benchRate(service.port(), 4);
  benchConnect(service);
  return 0;
}
