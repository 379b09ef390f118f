// The relays of a stream with more readers than reader slots.
#include "media/stream_fan_out.h"

#include <cstring>

#include "base/error.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_table.h"

namespace zq {

// One relay: a stream of the upstream's buffer size and description, and a
// thread that copies each frame of the upstream into it.
class StreamFanOut::Relay : public JThread {
 public:
  explicit Relay(JStream* upstream)
      : JThread("StreamRelay"),
        stream_(upstream->bufferSize(), kRelayBuffers, false, 1, true),
        upstream_(upstream) {
    stream_.setStreamInfo(upstream->copyStreamInfo());
    reader_.listen(upstream_, nullptr);
    // Publications and the stop wake the relay; the poll is a backstop.
    reader_.setPollInterval(1000);
    try {
      start(kTimeCritical);
    } catch (...) {
      reader_.listen(nullptr);
      throw;
    }
  }
  ~Relay() override {
    stop_.store(true, std::memory_order_release);
    upstream_->wakeReaders();
    join();
    reader_.listen(nullptr);
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  JStream& stream() { return stream_; }

 protected:
  void run() override {
    while (uint8_t* frame = reader_.readNext(&stop_)) {
      const StreamFrameHeader* in = frameHeaderOf(frame);
      const size_t bytes = sizeof(StreamFrameHeader) + in->size;
      uint8_t* out = stream_.tryGetWriteBuffer();
      // A frame that finds every buffer read (or too large, which cannot
      // happen between streams of one size) is lost to this relay's readers
      // only, as a slow reader loses frames on any stream.
      if (out == nullptr || bytes > stream_.bufferSize()) {
        continue;
      }
      std::memcpy(out, frame, bytes);
      stream_.publish(in->keyWord);
    }
    reader_.unlock();  // the reader's lock belongs to this thread
  }

 private:
  JStream stream_;
  JStream* upstream_;
  StreamClient reader_;
  std::atomic<bool> stop_{false};
};

StreamFanOut::StreamFanOut() = default;

StreamFanOut::~StreamFanOut() {
  std::lock_guard lock(mutex_);
  // Downstream relays first: each reads the one before it.
  for (auto& [source, relays] : chains_) {
    while (!relays.empty()) {
      relays.pop_back();
    }
  }
}

bool StreamFanOut::hasRoom(const JStream& stream) {
  return stream.clientCount() + kReservedSlots <= static_cast<size_t>(JS_MAXREADERS);
}

void StreamFanOut::attach(StreamClient& reader, JStream* source) {
  std::lock_guard lock(mutex_);
  if (source == nullptr || hasRoom(*source)) {
    reader.listen(source, nullptr);
    pruneLocked();
    return;
  }
  std::vector<std::unique_ptr<Relay>>& relays = chains_[source];
  for (const std::unique_ptr<Relay>& relay : relays) {
    if (hasRoom(relay->stream())) {
      reader.listen(&relay->stream(), nullptr);
      return;
    }
  }
  JStream* upstream = relays.empty() ? source : &relays.back()->stream();
  relays.push_back(std::make_unique<Relay>(upstream));
  reader.listen(&relays.back()->stream(), nullptr);
}

void StreamFanOut::detach(StreamClient& reader) {
  std::lock_guard lock(mutex_);
  reader.listen(nullptr);
  pruneLocked();
}

void StreamFanOut::pruneLocked() {
  for (auto it = chains_.begin(); it != chains_.end();) {
    std::vector<std::unique_ptr<Relay>>& relays = it->second;
    while (!relays.empty() && relays.back()->stream().clientCount() == 0) {
      relays.pop_back();
    }
    it = relays.empty() ? chains_.erase(it) : std::next(it);
  }
}

size_t StreamFanOut::relayCount() const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [source, relays] : chains_) {
    count += relays.size();
  }
  return count;
}

}  // namespace zq
