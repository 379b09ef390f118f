// The local access manager on loopback: a file list played to a receiver,
// with the gap it hears at each change of file, then two attacks of hostile
// peers: many short connections that each ask for a UDP channel towards a
// port nobody listens on and then reset, and a flood of "notifyAudioOut"
// announcements. For each attack it prints the process's threads, resident
// memory and CPU before and after, how long the channels took to go, and
// whether a well-behaved receiver is served again (the time to its first
// datagram); the list and each attack also as a row of bench/attacks' table.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "base/registry_key.h"
#include "base/format.h"
#include "bench_args.h"
#include "bench_process.h"
#include "net/inet_addr.h"
#include "net/udp_socket.h"
#include "stream/media_packet.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/status ("Threads:", "VmRSS:"), -1 when absent.
long statusField(const char* name) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name, 0) == 0) {
      return std::stol(line.substr(std::string(name).size()));
    }
  }
  return -1;
}

struct Figures {
  long threads = statusField("Threads:");
  long rssKb = statusField("VmRSS:");
  double cpu = cpuSeconds();
};

void print(const char* when, const Figures& f) {
  std::printf("  %-26s %6ld threads %9.1f MB resident %8.2f s CPU\n", when, f.threads,
              static_cast<double>(f.rssKb) / 1024.0, f.cpu);
}

// A raw RPC connection of the attacker: blocking, every wait bounded.
class Peer {
 public:
  explicit Peer(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval t{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~Peer() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  bool ok() const { return ok_; }
  bool send(const std::string& line) {
    const std::string data = line + "\r\n";
    return ok_ && ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(data.size());
  }
  // The next answer line ("" when the connection ended or went quiet).
  std::string answer() {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
          line.pop_back();
        }
        return line;
      }
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        return "";
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  // Ends the connection with a reset rather than a close.
  void reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool ok_ = false;
  std::string buffer_;
};

// A UDP port with nobody behind it: datagrams sent there are refused.
uint16_t deadPort() {
  zq::JUDPSocket s;
  s.bind(zq::JInetAddr("127.0.0.1", 0));
  return s.localAddress().port();
}

// A well-behaved receiver asks for a channel: the seconds to its first
// datagram, -1 when none came within 10 s or the request failed.
double servedAgain(uint16_t port) {
  zq::JUDPSocket receiver;
  receiver.bind(zq::JInetAddr("127.0.0.1", 0));
  receiver.setReadTimeout(10000);
  const auto t0 = Clock::now();
  Peer peer(port);
  if (!peer.send("addUDPClient(ip=\"127.0.0.1\", port=" +
                 std::to_string(receiver.localAddress().port()) + ")") ||
      peer.answer().find("StreamInfo=") == std::string::npos) {
    return -1;
  }
  try {
    char b[2048];
    receiver.read(b, sizeof b);
  } catch (const zq::JError&) {
    return -1;
  }
  return seconds(t0);
}

zq::MikeDesc liveTone() {
  zq::MikeDesc d;
  d.type = zq::MikeDesc::kLocal;
  d.channel = 1;
  d.inputConnector = zq::MikeDesc::kWaveInMicIn;
  d.setTargetBitRate(128000);
  return d;
}

// An MP3 file of `seconds` of a tone at `frequency` Hz, 128 kbit/s; its
// frames are kept in `frames`.
void writeTone(const std::string& path, double frequency, double seconds,
               std::vector<std::vector<uint8_t>>& frames) {
  zq::JMP3Encoder encoder(128000, 44100, 2, false);
  const uint32_t block = encoder.samplesPerFrame();
  std::vector<int16_t> pcm(block * 2);
  std::vector<uint8_t> out(4096);
  const uint8_t tag[3] = {0, 0, 0};
  std::ofstream file(path, std::ios::binary);
  for (uint64_t at = 0; at < static_cast<uint64_t>(seconds * 44100);) {
    for (uint32_t i = 0; i < block; ++i, ++at) {
      pcm[2 * i] = pcm[2 * i + 1] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * frequency * static_cast<double>(at) / 44100));
    }
    const int n = encoder.encode(pcm.data(), out.data(), sizeof tag, tag);
    if (n > 0) {
      frames.emplace_back(out.begin(), out.begin() + n);
      file.write(reinterpret_cast<const char*>(out.data()), n);
    }
  }
}

// A list of files played to one UDP receiver: the frames of each file that
// arrive and, at each change of file, the gap between the last frame of one
// and the first of the next.
void fileListGaps(zq::ZQAAMChannelManager& aam, int count, double fileSeconds) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zq-bench-list-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const zq::bench::ProcessFigures before = zq::bench::figuresOf();
  std::vector<std::vector<std::vector<uint8_t>>> frames(static_cast<size_t>(count));
  std::map<std::vector<uint8_t>, int> fileOf;
  zq::MikeDesc list;
  list.type = zq::MikeDesc::kFile;
  list.looping = false;
  for (int i = 0; i < count; ++i) {
    const std::string path = (dir / ("tone" + std::to_string(i) + ".mp3")).string();
    writeTone(path, 400.0 + 150.0 * i, fileSeconds, frames[static_cast<size_t>(i)]);
    for (const auto& f : frames[static_cast<size_t>(i)]) {
      fileOf.emplace(f, i);
    }
    list.fileName += (i == 0 ? "" : ",") + path;
  }
  zq::JUDPSocket receiver;
  receiver.bind(zq::JInetAddr("127.0.0.1", 0));
  receiver.setReceiveBufferSize(1 << 20);
  receiver.setReadTimeout(5000);
  Peer peer(aam.JRPCService::port());
  peer.send("addUDPClient(ip=\"127.0.0.1\", port=" + std::to_string(receiver.localAddress().port()) +
            ")");
  if (peer.answer().find("StreamInfo=") == std::string::npos || !aam.makeCurrent(list)) {
    std::printf("  the list could not be played\n");
    return;
  }
  struct Arrival {
    int file;  // -1: not a frame of the list (silence, the opening source)
    double at;
  };
  std::vector<Arrival> arrivals;
  const auto t0 = Clock::now();
  double backAt = -1;
  uint8_t b[2048];
  while (seconds(t0) < count * fileSeconds + 20) {
    size_t n = 0;
    try {
      n = receiver.read(b, sizeof b);
    } catch (const zq::JError&) {
      break;
    }
    const zq::MediaPacketHeader h = zq::MediaPacketHeader::read(b);
    if (h.fragmentCount != 1 || n < 28) {
      continue;  // the list's frames and their silence fit one datagram each
    }
    const auto found = fileOf.find(std::vector<uint8_t>(b + 28, b + n));
    arrivals.push_back({found != fileOf.end() ? found->second : -1, seconds(t0)});
    if (backAt < 0 && aam.openingSourceIsCurrent()) {
      backAt = seconds(t0);
    }
    if (backAt >= 0 && seconds(t0) > backAt + 0.5) {
      break;
    }
  }
  std::filesystem::remove_all(dir);
  std::printf("%d files of %.1f s at 128 kbit/s played to one UDP receiver:\n", count, fileSeconds);
  std::string gaps;
  std::string verdict = "held";
  for (int i = 0; i < count; ++i) {
    double first = -1;
    double last = -1;
    size_t got = 0;
    for (const Arrival& a : arrivals) {
      if (a.file == i) {
        first = first < 0 ? a.at : first;
        last = a.at;
        ++got;
      }
    }
    std::printf("  file %d: %zu of %zu frames", i + 1, got, frames[static_cast<size_t>(i)].size());
    if (i + 1 < count) {
      double next = -1;
      size_t between = 0;
      for (const Arrival& a : arrivals) {
        if (a.at > last && a.file == i + 1) {
          next = a.at;
          break;
        }
        between += a.at > last && a.file == -1 ? 1 : 0;
      }
      if (next >= 0 && got > 0) {
        std::printf("; gap to file %d: %.0f ms (%zu frames of silence)", i + 2,
                    (next - last) * 1000.0, between);
        gaps += zq::jformat("%s%.0f", gaps.empty() ? "" : ", ", (next - last) * 1000.0);
        verdict = next - last > 0.5 && verdict == "held" ? "FAILED: a gap over 500 ms" : verdict;
      } else {
        std::printf("; file %d never came", i + 2);
        verdict = "FAILED: a file never came";
      }
    }
    std::printf("\n");
  }
  zq::bench::printAttackRow(zq::jformat("StreamFiles list of %d files of %.1f s", count, fileSeconds),
                            "AAM (bench)", before, zq::bench::figuresOf(),
                            "gaps " + gaps + " ms", verdict);
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "A local access manager serving a 128 kbit/s test tone on loopback plays a list\n"
      "of MP3 files to a UDP receiver, then takes two attacks: connections that each\n"
      "ask for a UDP channel towards a port nobody listens on and reset at once, and\n"
      "a flood of notifyAudioOut announcements of distinct outputs over one connection.",
      "  the list: the frames of each file the receiver got and the gap it heard at\n"
      "  each change of file; per attack: threads, resident memory and CPU before,\n"
      "  right after and once the access manager settled, how long its channels took\n"
      "  to go, the CPU of 100 channels towards dead and live ports, the getStat\n"
      "  answer's size, and the seconds until a well-behaved receiver had its first\n"
      "  datagram.",
      {{"cycles", "connect, addUDPClient, reset cycles", 4000, 1, 100000},
       {"notifies", "notifyAudioOut announcements", 20000, 1, 1000000},
       {"files", "files in the list", 3, 2, 20},
       {"file-seconds", "length of each file", 3, 0.5, 30, false}});
  args.parse(argc, argv);
  zq::bench::ScratchRegistry registry;
  {
    zq::JSystemRegistryKey key(zq::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    key.setString("Type", "tone");
  }
  zq::AAMConfig config;
  config.provider.setUdp(zq::UdpConfig());
  config.provider.port = 0;
  config.id = "bench";
  config.desc = liveTone();
  zq::ZQAAMChannelManager aam(config, 0, "ZQAAMChannelManager");
  const uint16_t port = aam.JRPCService::port();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  fileListGaps(aam, static_cast<int>(args.integer(2)), args.number(3));
  aam.backToOpeningSource();

  const long cycles = args.integer(0);
  std::printf("\n%ld cycles of connect, addUDPClient towards a dead port, reset:\n", cycles);
  print("before", Figures());
  const zq::bench::ProcessFigures cyclesBefore = zq::bench::figuresOf();
  const uint16_t dead = deadPort();
  const auto t0 = Clock::now();
  long peak = 0;
  for (long i = 0; i < cycles; ++i) {
    // The request, and the reset at once, without waiting for the answer.
    Peer peer(port);
    peer.send("addUDPClient(ip=\"127.0.0.1\", port=" + std::to_string(dead) + ")");
    peer.reset();
    if (i % 100 == 0) {
      peak = std::max(peak, statusField("Threads:"));
    }
  }
  const double attack = seconds(t0);
  print("right after", Figures());
  const auto t1 = Clock::now();
  while (aam.udpClientCount() != 0 && seconds(t1) < 120) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double drained = seconds(t1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  print("settled", Figures());
  const size_t left = aam.udpClientCount();
  std::printf("  %ld cycles in %.2f s (%.0f/s), peak %ld threads; channels left: %zu, gone "
              "%.2f s after the last reset\n",
              cycles, attack, static_cast<double>(cycles) / attack, peak, left, drained);
  // The well-behaved receiver's own channel goes with its connection, after
  // this: the count that matters is the one taken before it came.
  const double again = servedAgain(port);
  std::printf("  a receiver is served again: first datagram after %.3f s\n", again);
  zq::bench::printAttackRow(
      zq::jformat("%ld cycles of connect, addUDPClient, reset", cycles), "AAM (bench)", cyclesBefore,
      zq::bench::figuresOf(), again < 0 ? "no" : zq::jformat("yes, %.3f s", again),
      left != 0                  ? "FAILED: channels left"
      : again < 0 || again > 1   ? "FAILED: a receiver is not served at once"
                                 : "held");

  // Channels that stay, their connections open: towards dead ports (every
  // other send refused) and towards a receiver that drains nothing.
  for (const bool toDead : {true, false}) {
    zq::JUDPSocket sink;
    sink.bind(zq::JInetAddr("127.0.0.1", 0));
    const uint16_t target = toDead ? dead : sink.localAddress().port();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 100; ++i) {
      peers.push_back(std::make_unique<Peer>(port));
      peers.back()->send("addUDPClient(ip=\"127.0.0.1\", port=" + std::to_string(target) + ")");
      peers.back()->answer();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double c0 = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::printf("  100 channels towards %s: %.1f %% of a core\n",
                toDead ? "a dead port" : "a live port", (cpuSeconds() - c0) * 100.0 / 5.0);
    peers.clear();
    const auto closed = Clock::now();
    while (aam.udpClientCount() != 0 && seconds(closed) < 60) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  const long notifies = args.integer(1);
  std::printf("\n%ld notifyAudioOut announcements of distinct outputs on one connection:\n",
              notifies);
  print("before", Figures());
  const zq::bench::ProcessFigures notifiesBefore = zq::bench::figuresOf();
  long refused = 0;
  const auto t2 = Clock::now();
  {
    Peer peer(port);
    for (long i = 0; i < notifies; ++i) {
      peer.send("notifyAudioOut(notification=0, equipmentName=\"unit" + std::to_string(i) +
                "\", equipmentAddress=\"10.0.0.1\", audioOutputName=\"out\", "
                "audioOutputChannel=0, audioOutputTcpPort=5000)");
      if (!peer.answer().starts_with("OK ")) {
        ++refused;
      }
    }
  }
  const double flood = seconds(t2);
  print("right after", Figures());
  Peer reader(port);
  reader.send("getStat()");
  const size_t statBytes = reader.answer().size();
  print("after one getStat", Figures());
  std::printf("  %.2f s (%.0f/s); %ld refused; %zu outputs kept; getStat answers %zu bytes\n",
              flood, static_cast<double>(notifies) / flood, refused, aam.audioOutputs().size(),
              statBytes);
  const double back = servedAgain(port);
  std::printf("  a receiver is served again: first datagram after %.3f s\n", back);
  zq::bench::printAttackRow(
      zq::jformat("%ld notifyAudioOut announcements", notifies), "AAM (bench)", notifiesBefore,
      zq::bench::figuresOf(), back < 0 ? "no" : zq::jformat("yes, %.3f s", back),
      aam.audioOutputs().size() > 1000 ? "FAILED: more than 1 000 outputs kept"
      : statBytes > (1u << 20)         ? "FAILED: getStat answers over 1 MB"
      : back < 0                       ? "FAILED: a receiver is not served"
                                       : "held");
  return 0;
}
