// The web console's figures, with the programs as they run: zqweb and
// zqoutput processes on loopback, this program as the operator's page. A
// talk sends 20 ms chunks in real time over /api/talk, silence with a 50 ms
// burst of 1000 Hz every second; one output writes a WAVE file, which is
// watched as it grows, the others play to nothing. Printed: the time from
// the chunk that carries a burst's start to that start leaving the output
// (what the browser adds before the chunk is not in it), zqweb's CPU while
// the talk goes to every output, and zqweb's memory per open page (an
// events socket each).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_args.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kChunk = kRate / 50;

struct Child {
  pid_t pid = -1;
  std::string log;
};

Child spawn(const std::vector<std::string>& args, const std::string& log) {
  Child c{::fork(), log};
  if (c.pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  return c;
}

// Waits (at most 30 s) for `pattern` in the child's output; its first group.
std::string await(const Child& c, const std::regex& pattern) {
  for (int i = 0; i < 3000; ++i) {
    std::ifstream in(c.log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch m;
    if (std::regex_search(text, m, pattern)) {
      return m[1];
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "bench_console: %s never said it was ready\n", c.log.c_str());
  std::exit(1);
}

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14 || i == 15) {
      ticks += std::stod(f);
    }
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long rssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmRSS:")) {
      return std::stol(line.substr(6));
    }
  }
  return 0;
}

json request(uint16_t port, http::verb verb, const std::string& target, const json& body = {}) {
  net::io_context io;
  beast::tcp_stream stream(io);
  stream.connect({net::ip::make_address("127.0.0.1"), port});
  http::request<http::string_body> req{verb, target, 11};
  req.set(http::field::host, "127.0.0.1");
  if (!body.is_null()) {
    req.body() = body.dump();
  }
  req.prepare_payload();
  http::write(stream, req);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res);
  return res.body().empty() ? json() : json::parse(res.body());
}

websocket::stream<beast::tcp_stream> socket(net::io_context& io, uint16_t port, const char* path) {
  websocket::stream<beast::tcp_stream> ws(io);
  beast::get_lowest_layer(ws).connect({net::ip::make_address("127.0.0.1"), port});
  ws.handshake("127.0.0.1", path);
  return ws;
}

// Follows a WAVE file as it is written and notes, for each burst (a sample
// over the threshold after 45 ms of quiet), when its first sample left.
class WaveWatcher {
 public:
  explicit WaveWatcher(std::string path) : path_(std::move(path)) {}
  void poll() {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0) {
      return;
    }
    struct stat st {};
    ::fstat(fd, &st);
    const auto size = static_cast<size_t>(st.st_size);
    if (size > done_ && size > 44) {
      std::vector<uint8_t> bytes(size - std::max<size_t>(done_, 44));
      const ssize_t got =
          ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(std::max<size_t>(done_, 44)));
      const Clock::time_point now = Clock::now();
      // Stereo 16-bit frames at 44.1 kHz: the output's format.
      const size_t frames = static_cast<size_t>(std::max<ssize_t>(got, 0)) / 4;
      for (size_t i = 0; i < frames; ++i) {
        const int x = static_cast<int16_t>(bytes[4 * i] | (bytes[4 * i + 1] << 8));
        if (std::abs(x) > 4000) {
          if (quiet_ > 2000) {
            // The 10 ms period holding it was written when its first sample was due.
            const size_t inPeriod = (written_ + i) % (kRate / 100);
            onsets.push_back(now + std::chrono::microseconds(int64_t(inPeriod) * 1000000 / kRate));
          }
          quiet_ = 0;
        } else {
          ++quiet_;
        }
      }
      written_ += frames;
      done_ = std::max<size_t>(done_, 44) + frames * 4;
    }
    ::close(fd);
  }
  std::vector<Clock::time_point> onsets;

 private:
  std::string path_;
  size_t done_ = 0;
  size_t written_ = 0;
  size_t quiet_ = 0;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) {
    return NAN;
  }
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "The web console on loopback: zqweb and zqoutput processes, this program as\n"
      "the page; a talk of 20 ms chunks in real time with a 50 ms burst of 1000 Hz\n"
      "every second, to every output (one writes a WAVE file that is watched).",
      "  the time from the chunk carrying a burst's start to that start leaving the\n"
      "  output (median, p99, largest); zqweb's CPU during the talk (% of one core);\n"
      "  zqweb's memory per open page (an events socket each).",
      {{"outputs", "outputs talked to", 100, 1, 200},
       {"seconds", "how long the talk lasts", 20, 5, 600},
       {"pages", "pages opened to measure memory", 50, 1, 60}});
  args.parse(argc, argv);
  const int outputs = args.integer(0);
  const int seconds = args.integer(1);
  const int pages = args.integer(2);
  zq::bench::ScratchRegistry registry(true);
  const std::string dir = std::filesystem::path(std::getenv("ZQ_REGISTRY_DIR")).parent_path();
  const std::string bin = std::filesystem::path(argv[0]).parent_path().parent_path().string();

  std::vector<Child> children;
  std::vector<int> ports;
  const std::regex listening("listening 127\\.0\\.0\\.1:(\\d+)");
  for (int i = 0; i < outputs; ++i) {
    const std::string out = i == 0 ? "wav:" + dir + "/probe.wav" : "null";
    children.push_back(
        spawn({bin + "/apps/zqoutput/zqoutput", "--port", "0", "--listen", "127.0.0.1", "--id",
               "out" + std::to_string(i), "--output", out, "--log-level", "error"},
              dir + "/out" + std::to_string(i) + ".log"));
  }
  for (const Child& c : children) {
    ports.push_back(std::stoi(await(c, listening)));
  }
  const Child web =
      spawn({bin + "/apps/zqweb/zqweb", "--listen", "127.0.0.1:0", "--aam-port",
             std::to_string(ports.back() + 1000 > 65000 ? 20001 : ports.back() + 1000),
             "--rehash-s", "0"},
            dir + "/zqweb.log");
  const auto port = static_cast<uint16_t>(
      std::stoi(await(web, std::regex("serving http://127\\.0\\.0\\.1:(\\d+)/"))));
  for (int p : ports) {
    request(port, http::verb::post, "/api/outputs", {{"server", "127.0.0.1"}, {"port", p}});
  }
  for (int i = 0; i < 600; ++i) {
    const json list = request(port, http::verb::get, "/api/outputs");
    if (std::count_if(list.begin(), list.end(), [](const json& o) { return o["link"] == "up"; }) ==
        outputs) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("%d outputs up\n", outputs);

  {
    net::io_context io;
    const long before = rssKb(web.pid);
    std::vector<websocket::stream<beast::tcp_stream>> open;
    for (int i = 0; i < pages; ++i) {
      open.push_back(socket(io, port, "/api/events"));
      beast::flat_buffer b;
      open.back().read(b);  // the snapshot
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long after = rssKb(web.pid);
    std::printf("memory per open page: %.1f KiB (zqweb %ld KiB with none, %ld KiB with %d)\n",
                double(after - before) / pages, before, after, pages);
  }

  net::io_context io;
  auto talk = socket(io, port, "/api/talk");
  talk.write(net::buffer(json{{"type", "start"}, {"sampleRate", kRate}, {"channels", 1}}.dump()));
  talk.binary(true);
  // Watched every millisecond: each 10 ms period is seen soon after it is written.
  WaveWatcher watcher(dir + "/probe.wav");
  std::atomic<bool> watching{true};
  std::thread watch([&] {
    while (watching) {
      watcher.poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<Clock::time_point> sent;
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(20);
  const int chunks = seconds * 50;
  double cpuFrom = 0;
  Clock::time_point cpuStart;
  std::vector<int16_t> pcm(kChunk);
  for (int k = 0; k < chunks; ++k) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * k));
    const bool burst = k % 50 < 3 && k >= 50;  // from the second second on
    for (uint32_t n = 0; n < kChunk; ++n) {
      pcm[n] =
          burst ? static_cast<int16_t>(std::lround(16000 * std::sin(2 * std::numbers::pi * 1000 *
                                                                    (k % 50 * kChunk + n) / kRate)))
                : 0;
    }
    if (burst && k % 50 == 0) {
      // The sine starts at 0: its first sample over the threshold is a few in.
      sent.push_back(Clock::now());
    }
    talk.write(net::buffer(pcm.data(), pcm.size() * 2));
    if (k == 150) {
      cpuFrom = cpuSeconds(web.pid);
      cpuStart = Clock::now();
    }
  }
  const double cpu = (cpuSeconds(web.pid) - cpuFrom) /
                     std::chrono::duration<double>(Clock::now() - cpuStart).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  watching = false;
  watch.join();
  talk.write(net::buffer(std::string(R"({"type":"stop"})")));

  std::vector<double> latency;
  for (const Clock::time_point s : sent) {
    for (const Clock::time_point o : watcher.onsets) {
      if (o > s && o - s < std::chrono::seconds(1)) {
        latency.push_back(std::chrono::duration<double, std::milli>(o - s).count());
        break;
      }
    }
  }
  std::printf(
      "chunk to output: median %.1f ms, p99 %.1f ms, largest %.1f ms over %zu of %zu bursts\n",
      percentile(latency, 0.5), percentile(latency, 0.99), percentile(latency, 1.0), latency.size(),
      sent.size());
  std::printf("zqweb's CPU while talking to %d outputs: %.1f %% of one core\n", outputs, cpu * 100);
  for (const Child& c : children) {
    ::kill(c.pid, SIGTERM);
  }
  ::kill(web.pid, SIGTERM);
  for (size_t i = 0; i <= children.size(); ++i) {
    ::wait(nullptr);
  }
  return 0;
}
