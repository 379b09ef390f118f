// The provider serving one 128 kbit/s stream (417-byte MP3-sized frames from
// a soft source) over UDP on loopback: the CPU it takes for 1, 10 and 100
// receivers, the datagrams a channel sends per second at its limit, and the
// wake-ups of the sender's sucker thread while the stream is idle.
//
// The receivers live in a child process that drains their sockets, so that
// the figures are the serving process's own.
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/registry_key.h"
#include "bench_args.h"
#include "media/audio_media.h"
#include "media/packetizer.h"
#include "media/provider.h"
#include "media/shared_soft_mike.h"
#include "net/inet_addr.h"
#include "net/udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFrameBytes = 417;     // one 128 kbit/s MPEG-1 frame
constexpr double kFramesPerSecond = 128000.0 / 8 / kFrameBytes;

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The child: asked for n receivers, opens them and answers their ports;
// drains them until asked for the count; answers it and closes them.
void receiverProcess(int in, int out) {
  for (;;) {
    uint32_t n = 0;
    if (::read(in, &n, sizeof n) != sizeof n || n == 0) {
      return;
    }
    std::vector<std::unique_ptr<zq::JUDPSocket>> sockets;
    std::vector<pollfd> fds;
    std::vector<uint16_t> ports;
    for (uint32_t i = 0; i < n; ++i) {
      sockets.push_back(std::make_unique<zq::JUDPSocket>());
      sockets.back()->bind(zq::JInetAddr("127.0.0.1", 0));
      sockets.back()->setReceiveBufferSize(1 << 20);
      ports.push_back(sockets.back()->localAddress().port());
      fds.push_back({sockets.back()->handle(), POLLIN, 0});
    }
    fds.push_back({in, POLLIN, 0});
    (void)!::write(out, ports.data(), ports.size() * sizeof(uint16_t));
    uint64_t datagrams = 0;
    char buffer[2048];
    for (bool done = false; !done;) {
      ::poll(fds.data(), fds.size(), 1000);
      for (size_t i = 0; i < n; ++i) {
        if ((fds[i].revents & POLLIN) != 0) {
          while (::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            ++datagrams;
          }
        }
      }
      if ((fds[n].revents & POLLIN) != 0) {
        uint32_t stop = 0;
        done = ::read(in, &stop, sizeof stop) == sizeof stop;
      }
    }
    (void)!::write(out, &datagrams, sizeof datagrams);
  }
}

struct Child {
  int toChild = -1;
  int fromChild = -1;
  pid_t pid = -1;

  std::vector<uint16_t> open(uint32_t n) {
    (void)!::write(toChild, &n, sizeof n);
    std::vector<uint16_t> ports(n);
    size_t got = 0;
    auto* bytes = reinterpret_cast<char*>(ports.data());
    while (got < n * sizeof(uint16_t)) {
      const ssize_t r = ::read(fromChild, bytes + got, n * sizeof(uint16_t) - got);
      if (r <= 0) {
        break;
      }
      got += static_cast<size_t>(r);
    }
    return ports;
  }
  uint64_t close() {
    const uint32_t stop = 1;
    (void)!::write(toChild, &stop, sizeof stop);
    uint64_t datagrams = 0;
    (void)!::read(fromChild, &datagrams, sizeof datagrams);
    return datagrams;
  }
};

class BenchProvider : public zq::IProvider {
 public:
  explicit BenchProvider(const zq::ProviderConfig& c) : IProvider(c, nullptr, "bench") {}
  ~BenchProvider() override { setMedia(nullptr); }
  std::unique_ptr<zq::IProviderPacketizer> createPacketizer() override {
    return std::make_unique<zq::IPacketizer>();
  }
};

zq::MikeDesc softDesc(int32_t period) {
  zq::MikeDesc d;
  d.type = zq::MikeDesc::kSoft;
  d.setStreamInfo(zq::StreamInfo::makeMp3StreamInfo(128000, 44100, 2, 0));
  d.frames.assign(1, std::vector<uint8_t>(kFrameBytes, 0x55));
  d.period = period;
  return d;
}

zq::ProviderConfig udpOnly() {
  zq::ProviderConfig c;
  c.setUdp(zq::UdpConfig());
  return c;
}

// Channels for `ports` under keys of their own.
void addReceivers(BenchProvider& provider, const std::vector<uint16_t>& ports,
                  std::vector<zq::JSocket>& keys) {
  for (size_t i = 0; i < ports.size(); ++i) {
    zq::JParams request;
    request.set("ip", "127.0.0.1");
    request.set("port", static_cast<int32_t>(ports[i]));
    zq::JParams reply;
    if (!provider.addUDPClient(request, reply, &keys[i])) {
      std::fprintf(stderr, "addUDPClient refused receiver %zu\n", i);
      std::exit(1);
    }
  }
}

// Voluntary context switches of this process's sucker threads (the UDP
// sender has one for all its channels).
uint64_t suckerWakeUps() {
  uint64_t total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name.rfind("zqsec_provider", 0) != 0) {
      continue;
    }
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        total += std::stoull(line.substr(line.find(':') + 1));
      }
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Serves one 128 kbit/s stream of 417-byte frames from a soft source through the\n"
      "provider's UDP channels to receivers on loopback (drained by a child process),\n"
      "replayed `speed` times faster than real time.",
      "  per receiver count: the serving process's CPU (user + system) for the audio\n"
      "  length, per receiver, and as a share of one core at the real-time rate, with\n"
      "  the datagrams the receivers got against those due; then the datagrams per\n"
      "  second one channel sends at its limit, and the sucker wake-ups per second of\n"
      "  100 UDP channels on an idle stream (one sucker serves them all).",
      {{"audio-seconds", "audio served per receiver count", 60, 1, 3600},
       {"speed", "replay speed against real time", 4, 1, 26},
       {"max-receivers", "the largest receiver count (1, 10, then this)", 100, 10, 1000}});
  args.parse(argc, argv);

  // Before the fork: the child's sockets log into the same scratch registry.
  zq::bench::ScratchRegistry registry;
  int down[2];
  int up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) {
    std::perror("pipe");
    return 1;
  }
  Child child;
  child.pid = ::fork();
  if (child.pid == 0) {
    ::close(down[1]);
    ::close(up[0]);
    receiverProcess(down[0], up[1]);
    ::_exit(0);
  }
  ::close(down[0]);
  ::close(up[1]);
  child.toChild = down[1];
  child.fromChild = up[0];

  const double audioSeconds = args.number(0);
  const int period = std::max(1, static_cast<int>(1000.0 / kFramesPerSecond / args.integer(1)));
  const double frameRate = 1000.0 / period;
  const double wallSeconds = audioSeconds * kFramesPerSecond / frameRate;

  std::printf("serving %.0f s of audio (%zu-byte frames) at %.1f frames/s (%.1fx real time)\n",
              audioSeconds, kFrameBytes, frameRate, frameRate / kFramesPerSecond);
  std::printf("%10s %12s %14s %14s %18s\n", "receivers", "CPU ms", "ms/receiver",
              "core % (1x)", "got / due");
  for (uint32_t n : {1u, 10u, static_cast<uint32_t>(args.integer(2))}) {
    zq::AudioSoft media(softDesc(period));
    media.connect(nullptr, 0, 0, true);
    const std::vector<uint16_t> ports = child.open(n);
    std::vector<zq::JSocket> keys(n);
    double cpu = 0;
    uint64_t due = 0;
    auto* source = dynamic_cast<zq::SharedSoftMike*>(media.source());
    {
      BenchProvider provider(udpOnly());
      provider.setMedia(&media);
      addReceivers(provider, ports, keys);
      // Every frame published from here on is due at every receiver.
      const uint64_t first = source->framesPublished() + 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settled
      const double cpu0 = cpuSeconds();
      std::this_thread::sleep_for(std::chrono::duration<double>(wallSeconds));
      cpu = cpuSeconds() - cpu0;
      due = (source->framesPublished() - first) * n;
    }
    media.disconnect();
    const uint64_t got = child.close();
    const double msPer60 = cpu * 1000.0;
    std::printf("%10u %12.1f %14.2f %14.3f %9llu/%-8llu\n", n, msPer60, msPer60 / n,
                100.0 * cpu / (audioSeconds), static_cast<unsigned long long>(got),
                static_cast<unsigned long long>(due));
  }

  // One channel at its limit: the packetizer and the socket, frame after frame.
  {
    const std::vector<uint16_t> ports = child.open(1);
    zq::JUDPSocket socket;
    socket.bind(0, 0);
    socket.connect(zq::JInetAddr("127.0.0.1", ports[0]));
    zq::IPacketizer packetizer;
    packetizer.init(&socket, 1468, 2);
    std::vector<uint8_t> header(16, 0);
    std::printf("\none channel at its limit (packetizer + UDP send on loopback, 2 s each):\n");
    for (size_t bytes : {kFrameBytes, size_t{3000}}) {
      std::vector<uint8_t> payload(bytes, 0x55);
      const zq::GatherPiece pieces[] = {{header.data(), header.size()},
                                        {payload.data(), payload.size()}};
      uint64_t frames = 0;
      const auto t0 = Clock::now();
      while (Clock::now() - t0 < std::chrono::seconds(2)) {
        for (int i = 0; i < 100; ++i) {
          packetizer.packetize(pieces, 2);
        }
        frames += 100;
      }
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      const uint64_t perFrame = (bytes + 16 + 1455) / 1456;
      std::printf("  %5zu-byte frames: %9.0f frames/s, %9.0f datagrams/s\n", bytes, frames / s,
                  static_cast<double>(frames * perFrame) / s);
    }
    child.close();
  }

  // An idle stream: the frames went out at open, none come after.
  {
    const uint32_t n = static_cast<uint32_t>(args.integer(2));
    zq::AudioSoft media(softDesc(0));
    media.connect(nullptr, 0, 0, true);
    const std::vector<uint16_t> ports = child.open(n);
    std::vector<zq::JSocket> keys(n);
    {
      BenchProvider provider(udpOnly());
      provider.setMedia(&media);
      addReceivers(provider, ports, keys);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const uint64_t w0 = suckerWakeUps();
      std::this_thread::sleep_for(std::chrono::seconds(5));
      const uint64_t w1 = suckerWakeUps();
      std::printf("\nidle stream, %u UDP channels: %.1f sucker wake-ups/s in all (%.2f per channel)\n",
                  n, static_cast<double>(w1 - w0) / 5.0, static_cast<double>(w1 - w0) / 5.0 / n);
    }
    media.disconnect();
    child.close();
  }
  const uint32_t end = 0;
  (void)!::write(child.toChild, &end, sizeof end);
  ::waitpid(child.pid, nullptr, 0);
  return 0;
}
