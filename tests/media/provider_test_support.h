// A fake provider for the tests of the media layer: a real RPC service on
// 127.0.0.1 that answers the data-channel requests with a stream description
// and then sends numbered audio frames (test::AudioFrame) to the address the
// request named; a leaf that records the link events it hears; a reader of a
// stream's frames; and the source descriptions the media and AAM tests use.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/threads.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "media/provider_config.h"
#include "net/inet_addr.h"
#include "net/ip_multicast_socket.h"
#include "net/udp_socket.h"
#include "rpc/rpc_service.h"
#include "stream/media_test_support.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq::test {

enum class Answer {
  kPcm,
  kPcmUnplayable,  // 4.29 GHz
  kMp3,
  kVideoOwn,
  kVideoOther,
  kVideoUnknown,
  kOtherType,
  kNoInfo,
  kNoIp,
  kRefuse
};

// Frames of 1 to 3 packets.
inline size_t frameSize(uint32_t n) {
  return 200 + (n * 997) % 3000;
}

inline std::vector<uint8_t> infoBytes(Answer a) {
  if (a == Answer::kPcm || a == Answer::kPcmUnplayable || a == Answer::kMp3) {
    const auto i = a == Answer::kPcm ? StreamInfo::makePcmStreamInfo(8000, 16, 1, 160)
                   : a == Answer::kPcmUnplayable
                       ? StreamInfo::makePcmStreamInfo(4294967295u, 16, 1, 160)
                       : StreamInfo::makeMp3StreamInfo(64000, 44100, 1, 208);
    return {i->bytes().begin(), i->bytes().end()};
  }
  // Type, SubType, Content, InfoSize; a video one with its 40-byte bitmap header.
  const bool video = a != Answer::kOtherType;
  std::vector<uint8_t> b(video ? 84 : 16);
  const uint32_t content = a == Answer::kVideoOwn     ? StreamInfo::kWavelet97
                           : a == Answer::kVideoOther ? StreamInfo::kYuy2
                                                      : StreamInfo::kPcm;
  const uint32_t words[] = {video ? 1u : 4u, 3, content, static_cast<uint32_t>(b.size())};
  std::memcpy(b.data(), words, sizeof words);
  if (video) {
    b[44] = 40;
  }
  return b;
}

inline const JInetAddr kGroup("239.255.42.99", 0);

/// A port of kGroup that the system hands to no other socket while the
/// process runs: bound and held, with address reuse on, as the members of a
/// group share its port.
inline uint16_t freeUdpPort() {
  static std::mutex m;
  static std::vector<std::unique_ptr<JUDPSocket>> held;
  std::lock_guard l(m);
  held.push_back(std::make_unique<JUDPSocket>());
  held.back()->bind(JInetAddr(kGroup.hostText(), 0));
  held.back()->setIntOption(SOL_SOCKET, SO_REUSEADDR, 1);
  return held.back()->localAddress().port();
}

/// Frames that differ from each other and from byte to byte, `size` bytes
/// each.
inline std::vector<std::vector<uint8_t>> numberedFrames(size_t count, size_t size) {
  std::vector<std::vector<uint8_t>> frames(count, std::vector<uint8_t>(size));
  for (size_t n = 0; n < count; ++n) {
    for (size_t i = 0; i < size; ++i) {
      frames[n][i] = static_cast<uint8_t>(n * 31 + i * 7 + i / 251);
    }
  }
  return frames;
}

/// Source descriptions as the media tests use them: a sound-card or board
/// input (`bitRate` 0: no coding chosen), a network source, a file list, and
/// a soft source replaying `frames` one every `period` ms (0: once) as
/// 16-bit PCM.
inline MikeDesc localMike(int32_t channel, int32_t connector, int32_t bitRate = 0) {
  MikeDesc d;
  d.type = MikeDesc::kLocal;
  d.channel = channel;
  d.inputConnector = connector;
  if (bitRate != 0) {
    d.setTargetBitRate(bitRate);
  }
  return d;
}
inline MikeDesc networkMike(const std::string& host, int32_t port, int32_t proto) {
  MikeDesc d;
  d.type = MikeDesc::kNetwork;
  d.host = host;
  d.port = port;
  d.proto = proto;
  d.timeout = 5000;
  return d;
}
inline MikeDesc fileMike(const std::string& names) {
  MikeDesc d;
  d.type = MikeDesc::kFile;
  d.fileName = names;
  return d;
}
inline MikeDesc softMike(std::vector<std::vector<uint8_t>> frames, int32_t period,
                         uint32_t rate = 8000, uint16_t channels = 1, uint32_t block = 160) {
  MikeDesc d;
  d.type = MikeDesc::kSoft;
  d.frames = std::move(frames);
  d.period = period;
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(rate, 16, channels, block));
  return d;
}

/// The parameter list of `text` ("a=1, b=\"x\"").
inline JParams paramsOf(const char* text) {
  JParams p;
  p.parse(text);
  return p;
}

/// Whether a datagram to kGroup at `port` comes back on lo: false outside
/// the test command's network namespace, where multicast may not be routed.
inline bool multicastOnLo(uint16_t port) {
  try {
    const JInetAddr group(kGroup.address(), port);
    JIPMulticastSocket in(group, false, true, JInetAddr("127.0.0.1", 0));
    JIPMulticastSocket out(group, true, false, JInetAddr("127.0.0.1", 0));
    in.setReadTimeout(1000);
    char b[4] = "abc";
    out.write(b, sizeof b);
    return in.read(b, sizeof b) == sizeof b;
  } catch (const JError&) {
    return false;
  }
}

// The fake provider: one sender per RPC connection, replaced by a new
// request and stopped when the connection closes, as the real one drops its
// channels.
class FakeProvider : public JRPCService {
 public:
  /// `groupPort`: of kGroup, where a multicast channel sends.
  explicit FakeProvider(uint16_t port = 0, uint16_t groupPort = 0)
      : JRPCService(port, false, nullptr, "FakeProvider"), groupPort_(groupPort) {
    registerFunctions();
    start();
  }
  ~FakeProvider() override {
    shutdown();
    std::lock_guard l(m_);
    senders_.clear();
  }
  void registerFunctions() override {
    std::vector<Function> table;
    for (std::string name :
         {"addUDPClient", "addIPMClient", "getRawParams", "getParams", "getStat", "setParams"}) {
      table.push_back(
          {name, JRPCKind::kAnswerWithSocket,
           [this, name](JParams& q, JParams* r, JSocket& s) { answer(name, q, *r, s); }});
    }
    JRPCServer::registerFunctions(std::move(table));
  }
  std::unique_ptr<JParams> dispatch(std::string_view line, JSocket& socket) override {
    if (line != "PING") {
      std::lock_guard l(m_);
      lines_.emplace_back(line);
    }
    return JRPCService::dispatch(line, socket);
  }
  void connectionClosed(JSocket& socket) override {
    std::lock_guard l(m_);
    if (dropsChannels) {
      senders_.erase(&socket);
    }
  }
  std::vector<std::string> lines() const {
    std::lock_guard l(m_);
    return lines_;
  }
  std::atomic<Answer> mode{Answer::kPcm};
  // Cleared, the channels go on sending after their connection closed, so
  // that a receiver left behind goes on receiving.
  std::atomic<bool> dropsChannels{true};
  // When not 0, every frame whose number is a multiple of it is not sent
  // (frame 0 always is): a receiver sees one frame lost at each.
  std::atomic<uint32_t> skipEvery{0};
  // While set, the channels send nothing yet.
  std::atomic<bool> holdFrames{false};

 private:
  // A frame every 10 ms to `to`, on a thread of its own.
  struct Sender {
    Sender(const FakeProvider& p, std::unique_ptr<JSocket> s, JInetAddr to)
        : socket(std::move(s)), thread([this, &p, to] {
            for (uint32_t n = 0; !stop;
                 std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
              if (p.holdFrames) {
                continue;
              }
              const uint32_t every = p.skipEvery, frame = n++;
              if (frame > 0 && every != 0 && frame % every == 0) {
                continue;
              }
              for (const auto& packet :
                   AudioFrame::make(frame, frameSize(frame)).packets(frame, 1400)) {
                try {
                  socket->sendto(packet.data(), packet.size(), to);
                } catch (const JError&) {
                }
              }
            }
          }) {}
    ~Sender() {
      stop = true;
      thread.join();
    }
    std::unique_ptr<JSocket> socket;
    std::atomic<bool> stop{false};
    std::thread thread;
  };

  void answer(const std::string& name, JParams& q, JParams& r, JSocket& s) {
    const Answer a = mode.load();
    if (name != "addUDPClient" && name != "addIPMClient") {
      return;
    }
    if (a == Answer::kRefuse) {
      throw JTextError("provider refuses the channel");
    }
    std::unique_ptr<JSocket> socket;
    JInetAddr to(kGroup.address(), groupPort_);
    if (name == "addUDPClient") {
      std::string ip;
      int32_t port = 0;
      q.get("ip", ip, true);
      q.get("port", port, true);
      socket = std::make_unique<JUDPSocket>();
      to = JInetAddr(ip, static_cast<uint16_t>(port));
    } else {
      socket = std::make_unique<JIPMulticastSocket>(to, true, false, JInetAddr("127.0.0.1", 0));
      if (a != Answer::kNoIp) {
        r.set("ip", to.hostText());
      }
      r.set("port", int32_t{groupPort_});
    }
    if (a != Answer::kNoInfo) {
      const std::vector<uint8_t> b = infoBytes(a);
      r.set("StreamInfo", b.data(), b.size());
    }
    if (a == Answer::kVideoOwn || a == Answer::kVideoOther) {
      return;  // audio frames only
    }
    std::lock_guard l(m_);
    senders_[&s] = std::make_unique<Sender>(*this, std::move(socket), to);
  }

  const uint16_t groupPort_;
  mutable std::mutex m_;
  std::vector<std::string> lines_;
  std::map<JSocket*, std::unique_ptr<Sender>> senders_;
};

// The tests keep the provider and the log capture on the heap: a mutex
// without a destructor call at a stack address another test used before is
// the same lock to ThreadSanitizer, which then sees cycles that are none.

// A leaf that records what it hears, in order, with the context and the
// stream's bit rate (noted at once: the stream may be gone when the test
// looks); linkDown answers `keep`.
class Leaf : public LinkNotifier {
 public:
  struct Event {
    std::string what;  // "up" or "down:<reason>"
    JStream* stream;
    uint32_t context, rate;
  };
  explicit Leaf(bool keepIt = true) : keep(keepIt) {}
  virtual ~Leaf() = default;
  bool linkDown(const JError* reason, uint32_t context) override {
    note({"down:" + (reason != nullptr ? reason->message() : std::string("(none)")), nullptr,
          context, 0});
    return keep;
  }
  void linkUp(JStream* stream, uint32_t context) override {
    const auto info = stream != nullptr ? stream->copyStreamInfo() : nullptr;
    note({"up", stream, context, info ? info->averageBytesPerSecond() * 8 : 0});
  }
  /// One field of every event (`up`: of the linkUps only).
  template <class T>
  std::vector<T> each(T Event::*field, bool up = false) const {
    std::lock_guard l(m_);
    std::vector<T> out;
    for (const Event& e : events_) {
      if (!up || e.what == "up") {
        out.push_back(e.*field);
      }
    }
    return out;
  }
  std::vector<std::string> events() const { return each(&Event::what); }
  std::vector<JStream*> streams() const { return each(&Event::stream, true); }
  size_t upCount() const { return streams().size(); }
  size_t downCount() const { return events().size() - upCount(); }
  JStream* lastStream() const {
    const auto s = streams();
    return s.empty() ? nullptr : s.back();
  }
  const bool keep;

 private:
  void note(Event e) {
    std::lock_guard l(m_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex m_;
  std::vector<Event> events_;
};

/// Reads `count` frames of `stream` and hands each to `check`; detaches
/// before returning.
inline void readFrames(JStream* stream, int count,
                       const std::function<void(const StreamFrameHeader&)>& check) {
  ASSERT_NE(stream, nullptr);
  StreamClient reader;
  reader.setTimeout(10000);
  reader.listen(stream);
  std::atomic<bool> stop{false};
  for (int i = 0; i < count; ++i) {
    const StreamFrameHeader* h = frameHeaderOf(reader.readNext(&stop));
    ASSERT_NE(h, nullptr) << "frame " << i;
    check(*h);
  }
  reader.unlock();
  reader.listen(nullptr);
}

/// The threads of the server controllers of the process (their supervisors
/// and receivers), named "ServerController[...]".
inline size_t controllerThreads() {
  return threadCount("ServerControlle");
}

/// UDP on, and IP multicast to kGroup at `groupPort` from the loopback
/// address: a provider that serves both kinds of receiver on lo.
inline ProviderConfig loopbackTransports(uint16_t groupPort) {
  ProviderConfig c;
  c.setUdp(UdpConfig());
  IpmConfig ipm;
  ipm.setGroupAddress(kGroup.hostText());
  ipm.setPort(groupPort);
  const std::vector<in_addr> list = JInetAddr::interfaceAddresses();
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].s_addr == htonl(INADDR_LOOPBACK)) {
      ipm.setInterface(static_cast<int>(i + 1));
    }
  }
  c.setIpm(ipm);
  return c;
}

}  // namespace zq::test
