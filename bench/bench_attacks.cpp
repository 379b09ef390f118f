// Hostile peers, bad files and racing requests replayed against a running
// zqoutput (a child process, --output null) and a local AAM in this process,
// on loopback only, each attack bounded in count and time. For each it
// prints one row: the process attacked, its resident memory before and
// after, the CPU it used, whether audio came back (the output's decoded
// frames advance again once it is told to play the AAM's tone) and a
// verdict. bench/attacks gathers these rows with those of bench_rpc_limits
// and bench_aam into one table.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/wave_test_support.h"
#include "base/format.h"
#include "base/registry_key.h"
#include "bench_args.h"
#include "bench_process.h"
#include "files/file_test_support.h"
#include "helpers/line_client.h"
#include "helpers/line_reader.h"
#include "net/udp_socket.h"
#include "stream/media_test_support.h"
#include "stream/stream_info.h"

extern char** environ;

namespace {

using namespace zq;
using Clock = std::chrono::steady_clock;
using bench::figuresOf;
using bench::ProcessFigures;

/// A program run as a child process: its standard output on a pipe, read a
/// line at a time with a time-out, its standard error into a file; killed
/// when this object goes.
class ChildProgram {
 public:
  ChildProgram(std::vector<std::string> argv, const std::string& errorFile) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (std::string& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_.attach(out[0]);
  }
  ~ChildProgram() {
    if (alive()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_.fd() >= 0) {
      ::close(out_.fd());
    }
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  pid_t pid() const { return pid_; }
  /// False once it has ended (its status is then kept).
  bool alive() {
    if (pid_ <= 0 || ended_) {
      return false;
    }
    ended_ = ::waitpid(pid_, &status_, WNOHANG) == pid_;
    return !ended_;
  }
  int status() const { return status_; }
  /// The next line of its output, or nothing within `limitMs`.
  std::optional<std::string> line(int limitMs) { return out_.next(limitMs); }

 private:
  pid_t pid_ = -1;
  test::LineReader out_;
  bool ended_ = false;
  int status_ = 0;
};

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A getStat value ("FramesDecoded=12, ..."), -1 when absent.
long statOf(const std::string& answer, const std::string& key) {
  const size_t at = answer.find(key + "=");
  return at == std::string::npos ? -1
                                 : std::strtol(answer.c_str() + at + key.size() + 1, nullptr, 10);
}

// An access manager of the attacker's: it answers addUDPClient with the
// description it was given and sends its frames, in a loop, at their
// real-time period, to the port the request named, from one socket. A frame
// may be sent once under another number (inject()).
class FakeAam : public JRPCService {
 public:
  FakeAam(std::vector<uint8_t> info, std::vector<test::Bytes> frames, int periodUs)
      : JRPCService(0, false, nullptr, "FakeAam"),
        info_(std::move(info)),
        frames_(std::move(frames)),
        periodUs_(periodUs) {
    registerFunctions();
    start();
  }
  ~FakeAam() override {
    shutdown();
    stop_ = true;
    if (sender_.joinable()) {
      sender_.join();
    }
  }
  void registerFunctions() override {
    std::vector<Function> table;
    for (std::string name : {"addUDPClient", "getParams", "getStat", "notifyAudioOut"}) {
      table.push_back({name, JRPCKind::kAnswerWithSocket,
                       [this, name](JParams& q, JParams* r, JSocket&) { answer(name, q, *r); }});
    }
    JRPCServer::registerFunctions(std::move(table));
  }
  // The receiver's data port, once it asked (0 before).
  uint16_t dataPort() const { return dataPort_.load(); }
  uint32_t framesSent() const { return sent_.load(); }
  void inject(uint32_t number) { inject_ = number; }

 private:
  void answer(const std::string& name, JParams& q, JParams& r) {
    if (name != "addUDPClient") {
      return;
    }
    int32_t port = 0;
    q.get("port", port, true);
    r.set("StreamInfo", info_.data(), info_.size());
    std::lock_guard lock(mutex_);
    dataPort_ = static_cast<uint16_t>(port);
    if (!sender_.joinable()) {
      sender_ = std::thread([this] { send(); });
    }
  }
  void send() {
    JUDPSocket socket;
    auto next = Clock::now();
    for (uint32_t n = 0; !stop_; ++n) {
      const JInetAddr to("127.0.0.1", dataPort_.load());
      test::AudioFrame frame;
      frame.tail = {0, 0x1000ull + n * 26, n};
      frame.data = frames_[n % frames_.size()];
      uint32_t number = n;
      if (const uint32_t odd = inject_.exchange(0); odd != 0) {
        number = odd;
        --n;  // the numbering goes on where it was
      }
      for (const auto& p : frame.packets(number, 1400)) {
        try {
          socket.sendto(p.data(), p.size(), to);
        } catch (const JError&) {
        }
      }
      ++sent_;
      next += std::chrono::microseconds(periodUs_);
      std::this_thread::sleep_until(next);
    }
  }

  const std::vector<uint8_t> info_;
  const std::vector<test::Bytes> frames_;
  const int periodUs_;
  std::mutex mutex_;
  std::thread sender_;
  std::atomic<bool> stop_{false};
  std::atomic<uint16_t> dataPort_{0};
  std::atomic<uint32_t> inject_{0};
  std::atomic<uint32_t> sent_{0};
};

std::vector<uint8_t> bytesOf(const std::unique_ptr<StreamInfo>& info) {
  return {info->bytes().begin(), info->bytes().end()};
}

// 20 ms blocks of a 1 kHz tone, 8-bit PCM at 8 kHz.
std::vector<test::Bytes> pcm8Blocks() {
  std::vector<test::Bytes> blocks(50, test::Bytes(160));
  for (size_t b = 0; b < blocks.size(); ++b) {
    for (size_t i = 0; i < 160; ++i) {
      blocks[b][i] = static_cast<uint8_t>(
          128 + 100 * std::sin(2 * M_PI * 1000 * static_cast<double>(b * 160 + i) / 8000));
    }
  }
  return blocks;
}

// What every attack runs against: the AAM (a 1 kHz tone, 128 kbit/s, UDP)
// and zqoutput with a media folder.
class Bench {
 public:
  Bench(const std::filesystem::path& root, const char* zqoutput)
      : media_(root / "media"), aam_(aamConfig(), 0, "ZQAAMChannelManager") {
    std::filesystem::create_directories(media_);
    out_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{zqoutput, "--port", "0", "--listen", "127.0.0.1", "--output",
                                 "null", "--id", "attacked", "--media-dir", media_.string(),
                                 "--log-level", "warning"},
        (root / "zqoutput.log").string());
    const auto listening = out_->line(20000);
    if (listening && listening->rfind("listening 127.0.0.1:", 0) == 0) {
      outPort_ = static_cast<uint16_t>(std::stoi(listening->substr(20)));
    }
  }
  bool ready() const { return outPort_ != 0; }
  const std::filesystem::path& media() const { return media_; }
  uint16_t aamPort() { return aam_.JRPCService::port(); }
  ZQAAMChannelManager& aam() { return aam_; }
  pid_t outPid() const { return out_->pid(); }

  // One request to the output on a connection of its own.
  std::string call(const std::string& request) {
    try {
      test::LineClient c(outPort_);
      return c.call(request);
    } catch (const JError& e) {
      return "(no connection: " + e.message() + ")";
    }
  }
  std::string stat() { return call("getStat()"); }
  uint16_t outPort() const { return outPort_; }

  // Tells the output to play the AAM's tone: the seconds until it decoded
  // 20 frames more, -1 when it did not within 10 s.
  double audioBack() {
    const auto t0 = Clock::now();
    if (call("setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" + std::to_string(aamPort()) +
             ")") != "OK ") {
      return -1;
    }
    const long base = statOf(stat(), "FramesDecoded");
    while (since(t0) < 10) {
      if (statOf(stat(), "FramesDecoded") >= base + 20) {
        return since(t0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  // Runs one attack against the output (`onOutput`) or the AAM and prints
  // its row; the attack says whether what it checked held, and why not.
  void attack(const std::string& name, bool onOutput, const std::function<std::string()>& body) {
    const pid_t pid = onOutput ? out_->pid() : 0;
    call("resetSource()");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ProcessFigures before = figuresOf(pid);
    std::string why = body();
    const double back = out_->alive() ? audioBack() : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ProcessFigures after = figuresOf(pid);
    if (!out_->alive()) {
      why = "zqoutput ended (status " + std::to_string(out_->status()) + ")";
    } else if (back < 0 && why.empty()) {
      why = "no audio within 10 s";
    } else if (after.rssKb - before.rssKb > 50 * 1024 && why.empty()) {
      why = "kept more than 50 MB";
    }
    bench::printAttackRow(name, onOutput ? "zqoutput" : "AAM (bench)", before, after,
                          back < 0 ? "no" : jformat("yes, %.2f s", back),
                          why.empty() ? "held" : "FAILED: " + why);
  }

 private:
  static AAMConfig aamConfig() {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    key.setString("Type", "tone");
    AAMConfig config;
    config.provider.setUdp(UdpConfig());
    config.provider.port = 0;
    config.id = "bench";
    config.desc.type = MikeDesc::kLocal;
    config.desc.channel = 1;
    config.desc.inputConnector = MikeDesc::kWaveInMicIn;
    config.desc.setTargetBitRate(128000);
    return config;
  }

  std::filesystem::path media_;
  ZQAAMChannelManager aam_;
  std::unique_ptr<ChildProgram> out_;
  uint16_t outPort_ = 0;
};

// Each answer of `requests` must start with "FAILED"; says which did not.
std::string allRefused(const std::function<std::string(const std::string&)>& send,
                       const std::vector<std::string>& requests) {
  for (const std::string& r : requests) {
    const std::string a = send(r);
    if (!a.starts_with("FAILED")) {
      return r + " answered '" + a.substr(0, 60) + "'";
    }
  }
  return "";
}

void runAttacks(Bench& b, int switches) {
  const std::string aam = std::to_string(b.aamPort());
  const std::string media = b.media().string();
  const test::Bytes mp3 = test::join(test::encodeFrames(128000, 115));  // 3 s

  b.attack("1 KB WAVE file declaring 2 GHz (setFileSource)", true, [&] {
    test::writeFile(media + "/2ghz.wav",
                    test::riff({test::chunk("fmt ", test::fmt(1, 1, 2000000000u, 16)),
                                test::chunk("data", test::Bytes(960))}));
    return allRefused([&](const std::string& r) { return b.call(r); },
                      {"setFileSource(fileSource=\"2ghz.wav\")"});
  });

  b.attack("PCM StreamInfo at 4.29 GHz from a fake AAM, 3 s", true, [&] {
    FakeAam fake(bytesOf(StreamInfo::makePcmStreamInfo(4294967295u, 16, 1, 160)),
                 {test::Bytes(320)}, 20000);
    const long decoded = statOf(b.stat(), "FramesDecoded");
    b.call("setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" + std::to_string(fake.port()) +
           ")");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // Refused: the source, or each of its frames.
    const long played = statOf(b.stat(), "FramesDecoded") - decoded;
    return played == 0 ? std::string() : jformat("%ld frames played", played);
  });

  b.attack("8-bit PCM for 2 s, then MP3 (a fresh decoder)", true, [&] {
    FakeAam fake(bytesOf(StreamInfo::makePcmStreamInfo(8000, 8, 1, 160)), pcm8Blocks(), 20000);
    if (b.call("setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" +
               std::to_string(fake.port()) + ")") != "OK ") {
      return std::string("the PCM source was refused");
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string s = b.stat();
    // audioBack() then plays MP3: a decoder still set for PCM would refuse it.
    return statOf(s, "FramesReceived") >= 50
               ? std::string()
               : "only " + std::to_string(statOf(s, "FramesReceived")) + " PCM frames played";
  });

  b.attack("setNetSource to ports -1, 0, 65536, 70000, 4294967297", true, [&] {
    std::vector<std::string> requests;
    for (const char* port : {"-1", "0", "65536", "70000", "4294967297"}) {
      requests.push_back(std::string("setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=") +
                         port + ")");
    }
    return allRefused([&](const std::string& r) { return b.call(r); }, requests);
  });

  b.attack(
      "addUDPClient to 0.0.0.0, multicast, broadcast, class E, ports 0 and 2^32+1", false, [&] {
        test::LineClient peer(b.aamPort());
        const size_t channels = b.aam().udpClientCount();
        std::vector<std::string> requests;
        for (const char* to : {"ip=\"0.0.0.0\", port=5000", "ip=\"224.1.2.3\", port=5000",
                               "ip=\"255.255.255.255\", port=5000", "ip=\"240.0.0.1\", port=5000",
                               "ip=\"127.0.0.1\", port=0", "ip=\"127.0.0.1\", port=4294967297"}) {
          requests.push_back(std::string("addUDPClient(") + to + ")");
        }
        std::string why = allRefused([&](const std::string& r) { return peer.call(r); }, requests);
        if (why.empty() && b.aam().udpClientCount() != channels) {
          why = "a channel was made";
        }
        return why;
      });

  b.attack("1 000 empty and 1 000 foreign datagrams, then frame 0x7FFFFFFF, at a playing receiver",
           true, [&] {
             FakeAam fake(bytesOf(StreamInfo::makeMp3StreamInfo(128000, 44100, 2, 418)),
                          test::encodeFrames(128000, 40), 26122);
             if (b.call("setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" +
                        std::to_string(fake.port()) + ")") != "OK ") {
               return std::string("the source was refused");
             }
             const auto t0 = Clock::now();
             while (fake.dataPort() == 0 && since(t0) < 5) {
               std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             std::this_thread::sleep_for(std::chrono::milliseconds(500));
             const std::string s0 = b.stat();
             JUDPSocket stranger;
             const JInetAddr to("127.0.0.1", fake.dataPort());
             const test::Bytes foreign = test::AudioFrame::make(5, 300).packets(5, 1400)[0];
             for (int i = 0; i < 1000; ++i) {
               stranger.sendto(foreign.data(), 0, to);
               stranger.sendto(foreign.data(), foreign.size(), to);
               std::this_thread::sleep_for(std::chrono::microseconds(500));
             }
             fake.inject(0x7FFFFFFF);
             std::this_thread::sleep_for(std::chrono::seconds(1));
             const std::string s1 = b.stat();
             const long stray = statOf(s1, "StrayPackets") - statOf(s0, "StrayPackets");
             const long lost = statOf(s1, "FramesLost") - statOf(s0, "FramesLost");
             const long decoded = statOf(s1, "FramesDecoded") - statOf(s0, "FramesDecoded");
             std::printf(
                 "  strays counted %ld of 2000, frames lost %ld, decoded %ld while attacked\n",
                 stray, lost, decoded);
             if (stray < 2000) {
               return jformat("only %ld strays counted", stray);
             }
             if (lost > 64) {
               return jformat("FramesLost jumped by %ld", lost);
             }
             return decoded >= 30 ? std::string() : jformat("only %ld frames decoded", decoded);
           });

  b.attack(jformat("%d source switches at random intervals, every kind, one connection", switches),
           true, [&] {
             test::writeFile(media + "/tone.mp3", mp3);
             const std::vector<std::string> requests = {
                 "setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" + aam + ")",
                 "resetSource()",
                 "setFileSource(fileSource=\"tone.mp3\")",
                 "setHardSource(cardNumber=1, connector=\"wavein_mic_in\")",
             };
             std::mt19937 random(26);
             test::LineClient c(b.outPort());
             int failed = 0;
             for (int i = 0; i < switches; ++i) {
               // A switch right after another most of the time, now and then after a pause.
               const std::string& r = requests[i % 2 == 1 ? 1 : random() % requests.size()];
               std::string a = test::kClosed;
               try {
                 a = c.call(r);
               } catch (const JError&) {  // no answer within the client's wait
               }
               if (a == test::kClosed) {
                 return "no answer to switch " + std::to_string(i) + ", " + r;
               }
               failed += a.starts_with("OK ") ? 0 : 1;
               std::this_thread::sleep_for(
                   std::chrono::milliseconds(random() % 4 == 0 ? random() % 50 : 0));
             }
             std::printf("  %d switches answered, %d of them FAILED\n", switches, failed);
             return std::string();
           });

  b.attack("ID3v2-tagged MP3 of 3 s (setFileSource)", true, [&] {
    test::Bytes tagged = test::id3v2Tag(4000);
    tagged.insert(tagged.end(), mp3.begin(), mp3.end());
    test::writeFile(media + "/tagged.mp3", tagged);
    const std::string s0 = b.stat();
    const long base = statOf(s0, "FramesDecoded");
    const long errors = statOf(s0, "DecodeErrors");
    if (const std::string a = b.call("setFileSource(fileSource=\"tagged.mp3\")"); a != "OK ") {
      return "refused: " + a;
    }
    const auto t0 = Clock::now();
    while (statOf(b.stat(), "FramesDecoded") < base + 100 && since(t0) < 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string s = b.stat();
    return statOf(s, "FramesDecoded") >= base + 100 && statOf(s, "DecodeErrors") == errors
               ? std::string()
               : jformat("%ld frames decoded, %ld errors", statOf(s, "FramesDecoded") - base,
                         statOf(s, "DecodeErrors") - errors);
  });
}

}  // namespace

int main(int argc, char** argv) {
  bench::Args args(
      "Hostile peers, bad files and racing requests against a zqoutput (a child\n"
      "process, null output, a media folder) and a local AAM in this process, on\n"
      "loopback: a WAVE file declaring 2 GHz, a PCM stream at 4.29 GHz from a fake\n"
      "AAM, 8-bit PCM then MP3, out-of-range ports and addresses, foreign and empty\n"
      "datagrams and frame 0x7FFFFFFF at a playing receiver, racing source switches,\n"
      "an ID3v2-tagged MP3. The file list and the flood attacks are bench_aam's and\n"
      "bench_rpc_limits'; bench/attacks runs all three.",
      "  one row per attack, tab-separated after the word \"attack\": the attack, the\n"
      "  process attacked, its resident memory before and after, the CPU it used,\n"
      "  whether audio came back (the output decoded 20 frames of the AAM's tone\n"
      "  within 10 s) and the verdict.",
      {{"switches", "source switches of the race", 200, 1, 10000}});
  args.parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  bench::ScratchRegistry registry(true);
  Bench b(registry.root(), ZQ_ZQOUTPUT);
  if (!b.ready()) {
    std::fprintf(stderr, "bench_attacks: zqoutput did not start (%s)\n", ZQ_ZQOUTPUT);
    return 1;
  }
  runAttacks(b, static_cast<int>(args.integer(0)));
  return 0;
}
