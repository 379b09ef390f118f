// Figures of the RPC server and client under abuse: the resident memory a
// server takes while peers send a long run of bytes without a line feed,
// whether it still serves a new client after idle connections exhausted its
// descriptors, and, for three attacks, the process's memory and threads
// before, at the peak and after: a peer answering a client with an endless
// line, thousands of idle connections, and 200 connections each holding 1 MB
// of an unfinished line, each also as a row of bench/attacks' table.
//
// Runs against a registry made under /tmp for the run (removed at the end);
// the error and warning lines (levels 11 and 9) are collected by an
// in-process output.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "base/registry_key.h"
#include "bench_process.h"
#include "net/tcp_socket.h"
#include "rpc/line_buffer.h"
#include "rpc/line_io.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_service.h"

namespace {

namespace fs = std::filesystem;
using namespace zq;
using Clock = std::chrono::steady_clock;

// The log records of levels 11 and 9, kept for printing, and a count of
// those of level 10 (the exception lines).
class ErrorLines : public JInProcessLogReceiver {
 public:
  void write(int level, const std::string& record, const std::string&, int) override {
    std::lock_guard lock(mutex_);
    if (level == kLevelError || level == kLevelWarning) {
      lines_.push_back(record);
    } else {
      ++exceptions_;
    }
  }
  std::vector<std::string> take(size_t& exceptions) {
    std::lock_guard lock(mutex_);
    exceptions = std::exchange(exceptions_, 0);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  size_t exceptions_ = 0;
};

// A registry of the run's own whose one log output takes levels 10 and 11.
struct Scratch {
  fs::path root;
  ErrorLines errors;
  Scratch() {
    std::string pattern = "/tmp/zq-bench-rpc-limits-XXXXXX";
    root = ::mkdtemp(pattern.data());
    ::setenv("ZQ_REGISTRY_DIR", (root / "registry").c_str(), 1);
    JSystemRegistryKey out(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\Errors");
    out.setString("Type", "InProcess");
    out.setString("ReceiverID", "bench-rpc-limits");
    out.setDword("WarnLevel",
                 (1u << kLevelError) | (1u << kLevelException) | (1u << kLevelWarning));
    out.setString("Format", "%m");
    JLog::registerReceiver("bench-rpc-limits", &errors);
    JLog::reinitialise(0);
  }
  ~Scratch() {
    JLog::unregisterReceiver("bench-rpc-limits");
    JLog::shutdown();
    fs::remove_all(root);
  }
};

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
    };
    JRPCServer::registerFunctions(kFunctions);
  }
  void getParams(const JParams&, JParams& result) { result.set("Type", "Audio"); }
};

void printErrors(Scratch& scratch) {
  size_t exceptions = 0;
  const std::vector<std::string> lines = scratch.errors.take(exceptions);
  std::printf("  lines logged: %zu at levels 11 and 9 (error, warning), %zu at level 10 (exception)\n",
              lines.size(), exceptions);
  for (size_t i = 0; i < lines.size() && i < 4; ++i) {
    std::printf("    %s\n", lines[i].substr(0, 160).c_str());
  }
}

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:"); -1 when absent.
long statusKb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string name;
  while (in >> name) {
    if (name == field) {
      long kb = -1;
      in >> kb;
      return kb;
    }
    in.ignore(1 << 16, '\n');
  }
  return -1;
}

// Makes VmHWM start again from the current resident size.
bool resetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

bool waitUntil(const std::function<bool()>& condition, int limitMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (Clock::now() >= until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// `peers` clients each send 100 MB of one unterminated line at once.
void benchFlood(Scratch& scratch, int peers) {
  constexpr size_t kFlood = size_t{100} << 20;
  static const std::string chunk(64 << 10, 'x');
  auto service = std::make_unique<BenchService>();
  std::vector<std::unique_ptr<JTCPSocket>> sockets;
  for (int i = 0; i < peers; ++i) {
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(5000);
    socket->connect(JInetAddr("127.0.0.1", service->port()));
    socket->setWriteTimeout(30000);
    sockets.push_back(std::move(socket));
  }
  waitUntil([&] { return service->connectionCount() == static_cast<size_t>(peers); }, 5000);

  const long before = statusKb("VmRSS:");
  const bool peakReset = resetPeak();
  std::atomic<long> sampledPeak{before};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling.load()) {
      sampledPeak.store(std::max(sampledPeak.load(), statusKb("VmRSS:")));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::vector<size_t> sent(peers, 0);
  std::atomic<int> cutOff{0};
  const auto start = Clock::now();
  std::vector<std::thread> writers;
  for (int i = 0; i < peers; ++i) {
    writers.emplace_back([&, i] {
      try {
        while (sent[i] < kFlood) {
          sent[i] += sockets[i]->write(chunk.data(), std::min(chunk.size(), kFlood - sent[i]));
        }
      } catch (const JError&) {
        // The server closed the connection: the line was refused.
        ++cutOff;
      }
    });
  }
  for (std::thread& t : writers) {
    t.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // What is still in flight reaches the server.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sampling.store(false);
  sampler.join();
  const long peak = peakReset ? statusKb("VmHWM:") : sampledPeak.load();

  size_t total = 0;
  for (size_t n : sent) {
    total += n;
  }
  std::printf(
      "%d peer(s) sending 100 MB without a line feed: server resident memory +%.1f MB at the "
      "peak (%s); %d of %d connections cut off by the server, %.1f MB sent per peer on "
      "average, %.2f s\n",
      peers, static_cast<double>(peak - before) / 1024.0, peakReset ? "VmHWM" : "sampled VmRSS",
      cutOff.load(), peers, static_cast<double>(total) / peers / (1 << 20), seconds);
  sockets.clear();
  waitUntil([&] { return service->connectionCount() == 0; }, 10000);
  service.reset();
  printErrors(scratch);
}

// Lets a server take what connections it will: until its count has not
// moved for half a second (20 s at most). The most it served at once.
size_t settledPeak(JRPCService& service) {
  size_t last = 0;
  size_t peak = 0;
  auto lastChange = Clock::now();
  waitUntil(
      [&] {
        const size_t now = service.connectionCount();
        if (now != last) {
          last = now;
          lastChange = Clock::now();
        }
        peak = std::max(peak, now);
        return Clock::now() - lastChange > std::chrono::milliseconds(500);
      },
      20000);
  return peak;
}

// Whether a new client gets an answer from the service.
bool servesANewClient(uint16_t port) {
  try {
    JLineIO io;
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(2000);
    socket->connect(JInetAddr("127.0.0.1", port));
    socket->setReadTimeout(2000);
    io.setSocket(std::move(socket));
    io.writeLine("getParams()");
    std::string_view answer;
    return io.readLine(answer) && answer.substr(0, 3) == "OK ";
  } catch (const JError&) {
    return false;
  }
}

// Under a soft descriptor limit of `fdLimit`, `idle` connections arrive, stay
// a while and go; then a new client asks for an answer.
void benchExhaustion(Scratch& scratch, rlim_t fdLimit, int idle) {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min(fdLimit, saved.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &lowered);
  bool served = false;
  size_t peakServed = 0;
  int connected = 0;
  {
    BenchService service;
    bench::HeldConnections held(service.port(), idle, "");
    connected = held.connected();
    peakServed = settledPeak(service);
    held.release();
    waitUntil([&] { return service.connectionCount() == 0; }, 10000);
    served = servesANewClient(service.port());
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
  // The lines include those of the service's shut-down.
  std::printf(
      "descriptor limit %d, %d idle connections came and went (%zu served at once at the "
      "peak): a new client afterwards is served: %s\n",
      static_cast<int>(lowered.rlim_cur), connected, peakServed, served ? "yes" : "no");
  printErrors(scratch);
}

// The resident memory (and threads) of this process at the start of an
// attack, at its peak and once it is over.
class MemoryWatch {
 public:
  MemoryWatch()
      : settled_(settle()),
        before_(statusKb("VmRSS:")),
        peakReset_(resetPeak()),
        threadsBefore_(threads()) {
    sampler_ = std::thread([this] {
      while (sampling_.load()) {
        peak_.store(std::max(peak_.load(), statusKb("VmRSS:")));
        maxThreads_.store(std::max(maxThreads_.load(), threads()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~MemoryWatch() { stop(); }
  // The attack's peak is past.
  void stop() {
    if (sampler_.joinable()) {
      sampling_.store(false);
      sampler_.join();
    }
  }
  // The attack's row in the table of bench/attacks.
  void row(const char* attack, const char* process, const std::string& back,
           const std::string& verdict) {
    bench::printAttackRow(attack, process, figures_, bench::figuresOf(), back, verdict);
  }
  void print(const char* attack, const std::string& outcome) {
    stop();
    const long peak = peakReset_ ? statusKb("VmHWM:") : peak_.load();
    std::printf(
        "%s: resident %.1f MB before, %.1f MB at the peak, %.1f MB after; threads %ld before, "
        "%ld at the most; line buffers mapped now %zu KB; %s\n",
        attack, before_ / 1024.0, peak / 1024.0, statusKb("VmRSS:") / 1024.0, threadsBefore_,
        maxThreads_.load(), JLineBuffer::mappedBytes() / 1024, outcome.c_str());
  }

 private:
  static long threads() { return statusKb("Threads:"); }
  // Threads of an earlier attack may still be on their way out: waits until
  // their number has not changed for 200 ms (10 s at most).
  static bool settle() {
    long last = threads();
    auto since = Clock::now();
    return waitUntil(
        [&] {
          const long now = threads();
          if (now != last) {
            last = now;
            since = Clock::now();
          }
          return Clock::now() - since > std::chrono::milliseconds(200);
        },
        10000);
  }

  const bool settled_;
  const bench::ProcessFigures figures_ = bench::figuresOf();
  const long before_;
  const bool peakReset_;
  const long threadsBefore_;
  std::atomic<long> peak_{0};
  std::atomic<long> maxThreads_{0};
  std::atomic<bool> sampling_{true};
  std::thread sampler_;
};

// A peer that answers a client's call with one endless line (at most 1 GB).
void benchEndlessAnswer(Scratch& scratch) {
  constexpr size_t kMost = size_t{1} << 30;
  static const std::string chunk(64 << 10, 'x');
  JTCPSocket listener;
  listener.bind(JInetAddr("127.0.0.1", 0));
  listener.listen(1);
  std::atomic<size_t> sent{0};
  std::thread peer([&] {
    try {
      JLineIO io(listener.accept());
      std::string_view request;
      io.readLine(request);
      while (sent.load() < kMost) {
        sent += io.socket()->write(chunk.data(), chunk.size());
      }
    } catch (const JError&) {
      // The client dropped the link.
    }
  });
  MemoryWatch watch;
  std::string outcome;
  {
    JRPCClient client("127.0.0.1", listener.localAddress().port(), 5000, 5000, true, true, 0, 0,
                      false);
    try {
      client.callForText("getParams", "nop=0", 60000);
      outcome = "answered";
    } catch (const JError& e) {
      outcome = "the call failed: " + e.message();
    }
    client.shutdown();
  }
  peer.join();
  watch.print("A peer answering an endless line",
              outcome + jformat(", %.1f MB sent before the link was dropped",
                                static_cast<double>(sent.load()) / (1 << 20)));
  const bool dropped = sent.load() < kMost;
  watch.row("A peer answering an endless line (1 GB at most)", "RPC client (bench)",
            "n/a (the call fails)",
            dropped ? "held" : "FAILED: the whole answer was read");
  printErrors(scratch);
}

// `count` clients connect and hold `line` unfinished (or nothing), then go.
void benchHeldConnections(Scratch& scratch, const char* attack, int count, size_t lineBytes) {
  auto service = std::make_unique<BenchService>();
  MemoryWatch watch;
  bench::HeldConnections held(service->port(), count, std::string(lineBytes, 'x'));
  const size_t peakServed = settledPeak(*service);
  const size_t mappedAtPeak = JLineBuffer::mappedBytes();
  const uint64_t refused = service->refusedConnections();
  held.release();
  waitUntil([&] { return service->connectionCount() == 0; }, 20000);
  // Stopped threads give their stacks back as they are joined.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const bool served = servesANewClient(service->port());
  watch.print(attack, jformat("%d connected, %zu served at once, %llu closed at the limit of %zu; "
                              "line buffers mapped at the peak %zu KB",
                              held.connected(), peakServed, static_cast<unsigned long long>(refused),
                              service->maxConnections(), mappedAtPeak / 1024));
  watch.row(attack, "RPC server (bench)", served ? "served again" : "not served",
            !served                                 ? "FAILED: a new client is not served"
            : peakServed > service->maxConnections() ? "FAILED: past the connection bound"
            : JLineBuffer::mappedBytes() != 0        ? "FAILED: line buffers kept"
                                                     : "held");
  service.reset();
  printErrors(scratch);
}

constexpr const char* kUsage =
    "usage: bench_rpc_limits\n"
    "Prints what RPC servers and clients hold under abuse: resident memory while peers send\n"
    "100 MB without a line feed, service after idle connections exhausted the descriptors, and\n"
    "memory and threads before, at the peak and after an endless answer, 15 000 idle\n"
    "connections and 200 connections each holding 1 MB of an unfinished line. Takes no options;\n"
    "runs against a registry of its own under /tmp.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string arg = argv[1];
    const bool help = arg == "--help" || arg == "-h";
    if (!help) {
      std::fprintf(stderr, "bench_rpc_limits: unknown argument '%s'\n", arg.c_str());
    }
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  Scratch scratch;
  benchFlood(scratch, 1);
  benchFlood(scratch, 8);
  // Descriptors run out before connections do only without a bound on them.
  JSystemRegistryKey rpc(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC");
  rpc.setDword("MaxConnections", 0);
  benchExhaustion(scratch, 1024, 500);
  benchExhaustion(scratch, 1023, 500);
  benchExhaustion(scratch, 1024, 1500);
  rpc.deleteValue("MaxConnections");
  benchEndlessAnswer(scratch);
  benchHeldConnections(scratch, "15 000 idle connections", 15000, 0);
  benchHeldConnections(scratch, "200 connections holding 1 MB of an unfinished line", 200,
                       (size_t{1} << 20) - 100);
  return 0;
}
