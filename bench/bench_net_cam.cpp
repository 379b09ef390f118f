// Reassembly speed of NetCam on loopback: a sender cuts frames of several
// sizes into packets of one MTU (1400 by default) and sends them on UDP to a
// NetCam, keeping a bounded number of frames in flight so that the socket
// never overflows; the figures are the datagrams and frames per second that
// NetCam turned into published frames, and the CPU time per 1 000 frames of
// the whole process (sender included) and of NetCam's reception thread.
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "base/error.h"
#include "bench_args.h"
#include "net/udp_socket.h"
#include "stream/media_frame_cutter.h"
#include "stream/net_cam.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSizes[] = {1000, 8000, 32000, 131000};
// Frame bytes allowed in flight: well below the receive buffer asked for.
constexpr size_t kBytesInFlight = 512 * 1024;
constexpr int kReceiveBuffer = 8 * 1024 * 1024;
// A frame that is not published in this time is taken as lost (a datagram
// dropped); the sender then goes on.
constexpr auto kStall = std::chrono::milliseconds(500);

double processCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// CPU time of the thread with kernel id `tid`, through its per-thread CPU
// clock (the clock id that pthread_getcpuclockid builds from a thread id).
double threadCpuMs(int tid) {
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
  timespec t{};
  if (tid == 0 || clock_gettime(clock, &t) != 0) {
    return -1;
  }
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Figures {
  size_t packetsPerFrame = 0;
  int sent = 0;
  int published = 0;
  double seconds = 0;
  double processCpuMs = 0;
  double threadCpuMs = 0;
};

Figures measure(size_t dataSize, size_t mtu, int frames) {
  auto socket = std::make_unique<zq::JUDPSocket>();
  socket->bind(zq::JInetAddr("127.0.0.1", 0));
  // As root the receive buffer may pass the system's maximum.
  if (!socket->trySetIntOption(SOL_SOCKET, SO_RCVBUFFORCE, kReceiveBuffer)) {
    socket->trySetIntOption(SOL_SOCKET, SO_RCVBUF, kReceiveBuffer);
  }
  const zq::JInetAddr address = socket->localAddress();
  zq::NetCam cam(std::move(socket), nullptr, 0, nullptr, false);
  char answer[16];
  cam.control("NetCam.timeout_ms=-1", answer, sizeof answer);
  zq::JUDPSocket sender;
  sender.bind(zq::JInetAddr("127.0.0.1", 0));
  sender.connect(address);

  std::vector<uint8_t> header(zq::VideoFrameHeader::kSize, 0);
  std::vector<uint8_t> data(dataSize, 0x5A);
  const size_t frameBytes = header.size() + data.size();
  const int window = static_cast<int>(std::max<size_t>(1, kBytesInFlight / frameBytes));

  Figures f;
  // Frames published, read from the table the readers use.
  const auto published = [&] { return cam.table()->lastSequence.load() + 1; };
  int givenUp = 0;
  const auto waitUntil = [&](int inFlight) {
    Clock::time_point progress = Clock::now();
    int seen = published();
    while (f.sent - seen - givenUp > inFlight) {
      std::this_thread::yield();
      const int now = published();
      if (now != seen) {
        seen = now;
        progress = Clock::now();
      } else if (Clock::now() - progress > kStall) {
        givenUp = f.sent - seen;
      }
    }
  };

  const double cpuBefore = processCpuMs();
  const double threadBefore = threadCpuMs(cam.threadId());
  const Clock::time_point start = Clock::now();
  for (int n = 0; n < frames; ++n) {
    zq::VideoFrameHeader video;
    video.setFrameNumber(static_cast<uint32_t>(n));
    std::copy(video.bytes, video.bytes + sizeof video.bytes, header.begin());
    const zq::MediaFrameCutter cutter(static_cast<uint32_t>(n), header, data, mtu);
    f.packetsPerFrame = cutter.fragmentCount();
    waitUntil(window - 1);
    for (uint32_t i = 0; i < cutter.fragmentCount(); ++i) {
      uint8_t packetHeader[zq::kPacketHeaderSize];
      zq::JSocketPiece pieces[zq::MediaFrameCutter::kMaxPieces];
      sender.writev(pieces, cutter.packet(i, packetHeader, pieces));
    }
    ++f.sent;
  }
  waitUntil(0);
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count() -
              (givenUp > 0 ? std::chrono::duration<double>(kStall).count() : 0);
  f.processCpuMs = processCpuMs() - cpuBefore;
  f.threadCpuMs = threadCpuMs(cam.threadId()) - threadBefore;
  f.published = published();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Datagrams per second that NetCam reassembles into published frames, from a\n"
      "sender on loopback that cuts frames of 1000, 8000, 32000 and 131000 data bytes\n"
      "(plus the 40-byte video frame header) into packets of one MTU, with a bounded\n"
      "number of frames in flight.",
      "  for each frame size: packets per frame, frames sent and published, datagrams\n"
      "  and frames per second, and the CPU time per 1000 frames of the process\n"
      "  (sender included) and of NetCam's reception thread, in milliseconds.",
      {{"frames", "frames sent for each size", 3000, 10, 1000000},
       {"mtu", "the channel's MTU in bytes", 1400, 1200, 65507}});
  args.parse(argc, argv);
  const int frames = args.integer(0);
  const auto mtu = static_cast<size_t>(args.integer(1));
  zq::bench::ScratchRegistry registry;
  try {
    (void)measure(8000, mtu, std::min(frames, 200));  // warms caches and paths
    std::printf("NetCam reassembly on loopback, MTU %zu, %d frames per size\n", mtu, frames);
    std::printf("%-12s %8s %8s %10s %14s %12s %18s %18s\n", "data bytes", "packets", "sent",
                "published", "datagrams/s", "frames/s", "process CPU ms/1k", "thread CPU ms/1k");
    for (size_t size : kSizes) {
      const Figures f = measure(size, mtu, frames);
      const double perSecond = f.published / f.seconds;
      std::printf("%-12zu %8zu %8d %10d %14.0f %12.0f %18.1f %18.1f\n", size, f.packetsPerFrame,
                  f.sent, f.published, perSecond * static_cast<double>(f.packetsPerFrame),
                  perSecond, f.processCpuMs * 1000 / f.published,
                  f.threadCpuMs * 1000 / f.published);
    }
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "bench_net_cam: %s\n", e.message().c_str());
    return 1;
  }
  return 0;
}
