// Speed of the RPC framework on loopback, measured in one run:
//  1. calls per second of a getParams-like call (an answer of 20 entries) on
//     one connection, JRPCClient against JRPCService;
//  2. the same request and answer lines through a bare line echo (JTCPSocket
//     and JLineIO on both sides), the floor the framework adds to;
//  3. the time for 200 clients to connect and make one call each, from one
//     thread one after the other, then from 4 threads at once.
// Usage: bench_rpc [seconds per throughput figure, default 2]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "bench_args.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_server.h"
#include "rpc/rpc_service.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Twenty parameters of the kinds a service answers with.
zq::JParams makeParams() {
  zq::JParams params;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "Param" + std::to_string(i);
    switch (i % 4) {
      case 0:
        params.set(name, "value of parameter " + std::to_string(i));
        break;
      case 1:
        params.set(name, static_cast<int64_t>(i) * 100003);
        break;
      case 2:
        params.set(name, i * 0.125);
        break;
      default:
        params.set(name, i % 2 == 0);
        break;
    }
  }
  return params;
}

class BenchService : public zq::JRPCService {
 public:
  BenchService() : JRPCService(0, false, nullptr, "BenchService"), params_(makeParams()) {
    registerFunctions();
    start();
  }
  ~BenchService() override { shutdown(); }

  void registerFunctions() override {
    static const zq::JRPCFunction<BenchService> kFunctions[] = {
        {"getParams", &BenchService::getParams},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

 private:
  void getParams(const zq::JParams& request, zq::JParams& result) {
    int32_t nop = 0;
    request.get("nop", nop, false);
    for (const zq::JVariant& value : params_) {
      result.add(zq::JVariant(value));
    }
  }

  const zq::JParams params_;
};

// Answers every line with a fixed line, one thread per connection.
class EchoServer {
 public:
  explicit EchoServer(std::string answer) : answer_(std::move(answer)) {
    listener_.bind(zq::JInetAddr("127.0.0.1", 0));
    listener_.listen(64);
    port_ = listener_.localAddress().port();
    thread_ = std::thread([this] {
      for (;;) {
        std::unique_ptr<zq::JStreamSocket> socket;
        try {
          socket = listener_.accept();
        } catch (const zq::JError&) {
          return;
        }
        socket->setNoDelay(true);
        auto io = std::make_unique<zq::JLineIO>(std::move(socket));
        zq::JLineIO* raw = io.get();
        std::lock_guard lock(mutex_);
        connections_.push_back(std::move(io));
        workers_.emplace_back([this, raw] {
          try {
            std::string_view line;
            while (raw->readLine(line)) {
              raw->writeLine(answer_);
            }
          } catch (const zq::JError&) {
          }
        });
      }
    });
  }
  ~EchoServer() {
    listener_.close();
    thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& io : connections_) {
      io->socket()->close();
    }
    for (std::thread& worker : workers_) {
      worker.join();
    }
  }
  uint16_t port() const { return port_; }

 private:
  const std::string answer_;
  zq::JTCPSocket listener_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<zq::JLineIO>> connections_;
  std::vector<std::thread> workers_;
};

struct Throughput {
  double callsPerSecond;
  double p50Us;
  double p99Us;
};

template <typename Call>
Throughput measure(double seconds, Call call) {
  for (int i = 0; i < 200; ++i) {
    call();  // warm-up
  }
  std::vector<double> latencies;
  latencies.reserve(200000);
  const Clock::time_point start = Clock::now();
  while (secondsSince(start) < seconds) {
    const Clock::time_point before = Clock::now();
    call();
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  const double elapsed = secondsSince(start);
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))];
  };
  return {static_cast<double>(latencies.size()) / elapsed, at(0.5), at(0.99)};
}

std::unique_ptr<zq::JRPCClient> connectClient(uint16_t port) {
  // Connected at once, supervisor not started: the figure is connect + call.
  return std::make_unique<zq::JRPCClient>("127.0.0.1", port, 5000, 5000, false, true, 0, 0, false,
                                          true);
}

double connectAndCall(uint16_t port, int clients, int threads) {
  std::vector<std::unique_ptr<zq::JRPCClient>> done(static_cast<size_t>(clients));
  std::atomic<int> next{0};
  std::atomic<int> failures{0};
  const zq::JVariant nop("nop", int32_t{0});
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = next++; i < clients; i = next++) {
        try {
          auto client = connectClient(port);
          client->call("getParams", &nop, 5000);
          done[static_cast<size_t>(i)] = std::move(client);
        } catch (const zq::JError&) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  const double elapsed = secondsSince(start);
  for (auto& client : done) {
    if (client) {
      client->shutdown();
    }
  }
  if (failures.load() > 0) {
    std::printf("  (%d of %d clients failed)\n", failures.load(), clients);
  }
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Speed of the RPC framework on loopback: calls per second of a getParams-like call\n"
      "(20 entries) through JRPCClient and JRPCService, the same lines through a bare TCP\n"
      "line echo, and the time for 200 clients to connect and make one call each.",
      "  the request and answer sizes; for the framework and the raw echo, calls/s with\n"
      "  their p50 and p99 latency (us), and their ratio; then the time (ms) for 200\n"
      "  clients to connect and call once, from 1 thread and from 4 threads.",
      {{"seconds", "seconds per throughput figure", 2, 0.1, 3600, false}});
  args.parse(argc, argv);
  const double seconds = args.number(0);
  zq::bench::ScratchRegistry registry;
  const zq::JVariant nop("nop", int32_t{0});

  BenchService service;
  std::string answer;
  {
    auto client = connectClient(service.port());
    answer = "OK " + client->callForText("getParams", &nop, 5000);
    client->shutdown();
  }
  std::printf("request line: %zu bytes, answer line: %zu bytes (20 entries)\n",
              std::string("getParams(nop=0)").size(), answer.size());

  Throughput rpc{};
  {
    auto client = connectClient(service.port());
    rpc = measure(seconds, [&] { client->call("getParams", &nop, 5000); });
    client->shutdown();
  }

  Throughput raw{};
  {
    EchoServer echo(answer);
    auto socket = std::make_unique<zq::JTCPSocket>();
    socket->connect(zq::JInetAddr("127.0.0.1", echo.port()));
    socket->setNoDelay(true);
    zq::JLineIO io(std::move(socket));
    raw = measure(seconds, [&] {
      io.writeLine("getParams(nop=0)");
      std::string_view line;
      io.readLine(line);
    });
  }

  std::printf("JRPCClient -> JRPCService : %9.0f calls/s  (p50 %6.1f us, p99 %6.1f us)\n",
              rpc.callsPerSecond, rpc.p50Us, rpc.p99Us);
  std::printf("raw TCP line echo         : %9.0f calls/s  (p50 %6.1f us, p99 %6.1f us)\n",
              raw.callsPerSecond, raw.p50Us, raw.p99Us);
  std::printf("RPC / raw                 : %9.2f\n", rpc.callsPerSecond / raw.callsPerSecond);

  constexpr int kClients = 200;
  const double sequential = connectAndCall(service.port(), kClients, 1);
  std::printf("%d clients connect + 1 call, sequentially from 1 thread: %7.1f ms (%.0f us each)\n",
              kClients, sequential * 1000, sequential * 1e6 / kClients);
  const double parallel = connectAndCall(service.port(), kClients, 4);
  std::printf("%d clients connect + 1 call, in parallel from 4 threads: %7.1f ms\n", kClients,
              parallel * 1000);
  return 0;
}
