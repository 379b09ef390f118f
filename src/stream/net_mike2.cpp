// NetMike2: the reception thread (the sender's datagrams, in-order placement
// and parking, duplicates, strays and resynchronisations, frame flags,
// publication) and its end.
#include "stream/net_mike2.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"
#include "net/inet_addr.h"
#include "stream/media_packet.h"

namespace zq {
namespace {

// The socket layer's code of a datagram cut short ("message too long").
constexpr uint32_t kMessageTooLong = 10040;

using Clock = std::chrono::steady_clock;

// A packet header that could belong to a channel: the only kind that may
// name the sender of a channel.
bool wellFormed(const MediaPacketHeader& packet) {
  return packet.frameSequence != kDisconnectionFrame && packet.fragmentCount != 0 &&
         packet.fragmentCount <= kMaxFragmentsPerFrame &&
         packet.fragmentSequence < packet.fragmentCount;
}

bool sameAddress(const JInetAddr& a, const JInetAddr& b) {
  return a.address().s_addr == b.address().s_addr;
}

}  // namespace

// The thread's own state: the frame being rebuilt and the parking slots.
struct NetMike2::Reception {
  struct Slot {
    std::vector<uint8_t> data = std::vector<uint8_t>(kParkingSlotSize);
    bool held = false;
    size_t length = 0;
  };
  // The packets placed of a frame that is over (complete or abandoned).
  struct Past {
    bool known = false;
    uint32_t frame = 0;
    uint32_t count = 0;
    std::bitset<kMaxFragmentsPerFrame> taken;
  };

  uint32_t expected = 0;      // the frame number being rebuilt
  uint8_t* buffer = nullptr;  // the stream buffer held for writing
  uint8_t* frame = nullptr;   // its payload
  size_t placed = 0;          // frame bytes in place: the write position
  uint32_t count = 0;         // fragment count, fixed by the frame's first packet
  uint32_t received = 0;
  uint32_t next = 0;  // the index that goes in place next
  std::bitset<kMaxFragmentsPerFrame> taken;
  std::array<Slot, kParkingSlots> slots;
  int strays = 0;
  bool spoiled = false;  // the frame cannot be rebuilt whole
  bool begun = false;    // a packet was taken: frame numbers now count
  // Bit i: frame expected - 1 - i was skipped and has not arrived since;
  // in `late`, it was skipped and has arrived since.
  uint64_t missing = 0;
  uint64_t late = 0;
  // The last kResyncWindow frames that are over, by frame number.
  std::array<Past, kResyncWindow> past;
  bool senderKnown = false;
  JInetAddr sender;
  Clock::time_point heard = Clock::now();  // the sender's last datagram

  // The frame in progress is over: copies of its packets are duplicates.
  void rememberFrame() {
    Past& p = past[expected % kResyncWindow];
    p.known = true;
    p.frame = expected;
    p.count = count;
    p.taken = taken;
  }

  bool placedBefore(const MediaPacketHeader& packet) const {
    const Past& p = past[packet.frameSequence % kResyncWindow];
    return p.known && p.frame == packet.frameSequence && p.count == packet.fragmentCount &&
           p.taken.test(packet.fragmentSequence);
  }

  // The numbering starts afresh: nothing before it is missing, late or
  // remembered.
  void forgetPast() {
    missing = 0;
    late = 0;
    for (Past& p : past) {
      p.known = false;
    }
  }

  void clearFrame() {
    placed = 0;
    count = 0;
    received = 0;
    next = 0;
    taken.reset();
    for (Slot& s : slots) {
      s.held = false;
    }
    strays = 0;
    spoiled = false;
  }

  // Moves the parked packets that are now due into place, in index order.
  void placeParked() {
    while (next < kParkingSlots && slots[next].held) {
      Slot& s = slots[next];
      s.held = false;
      if (placed + s.length > kFrameRoom) {
        spoiled = true;
        return;
      }
      std::memcpy(frame + placed, s.data.data(), s.length);
      placed += s.length;
      ++next;
    }
  }
};

NetMike2::NetMike2(std::unique_ptr<JSocket> socket, std::unique_ptr<StreamInfo> info,
                   JRPCClient* rpcClient, std::string_view name, const JInetAddr& provider)
    : Mike(kBufferSize, kBuffers, false, kExtraBuffers, kShareableStreamMemory, name),
      JThread(threadName(name, socket.get())),
      socket_(std::move(socket)),
      rpcClient_(rpcClient),
      provider_(provider) {
  if (info != nullptr) {
    setStreamInfo(std::move(info));
  }
  start(JThread::kTimeCritical);
}

NetMike2::~NetMike2() {
  stop_.store(true, std::memory_order_relaxed);
  {
    // Ends a receive under way at once instead of at its time-out.
    std::lock_guard lock(socketMutex_);
    if (socket_ != nullptr) {
      socket_->close();
    }
  }
  join();
  socket_.reset();
}

std::string NetMike2::threadName(std::string_view name, const JSocket* socket) {
  if (socket == nullptr) {
    throw JTextError("null pointer");
  }
  // A socket that receives from anyone has no peer: the any-address says so.
  JInetAddr peer;
  try {
    socket->connectedPeer(peer);
  } catch (const JError&) {
    // Logged where it arose; the name says the any-address.
  }
  std::string out(name);
  out += jformat("::NetMike - receiving from %s", peer.text().c_str());
  if (out.size() > kMaxThreadName) {
    out.resize(kMaxThreadName);
  }
  return out;
}

void NetMike2::run() {
  try {
    Reception r;
    receiveFrames(r);
  } catch (const JError& e) {
    // No write buffer to be had: reception cannot go on, and the owner
    // learns it as it learns of a lost peer.
    logCaught(e);
    if (!stopRequested()) {
      loseConnection();
    }
  }
  abortWrite();
  {
    std::lock_guard lock(socketMutex_);
    socket_.reset();
  }
  ended_.store(true, std::memory_order_release);
}

void NetMike2::loseConnection() {
  {
    std::lock_guard lock(socketMutex_);
    socket_.reset();
  }
  if (rpcClient_ != nullptr) {
    rpcClient_->connectionLost();
  }
}

void NetMike2::receiveFrames(Reception& r) {
  while (!stopRequested()) {
    // While paused, or after a frame that was not published, this is the
    // buffer already held.
    r.buffer = getWriteBuffer();
    r.frame = frameHeaderOf(r.buffer)->payload();
    if (!receiveFrame(r) || !finishFrame(r)) {
      return;
    }
    r.rememberFrame();
    ++r.expected;
    r.missing <<= 1;
    r.late <<= 1;
    r.clearFrame();
  }
}

// Receives packets until the frame is complete (true) or reception ends.
bool NetMike2::receiveFrame(Reception& r) {
  for (;;) {
    if (stopRequested()) {
      return false;
    }
    uint8_t* const at = r.frame + r.placed;
    size_t size = 0;
    const Received received = receiveDatagram(r, at, kFrameRoom - r.placed, size);
    if (received == Received::kEnded) {
      return false;
    }
    if (received == Received::kNothing) {
      continue;
    }
    bool jumped = false;
    const Verdict verdict = examine(r, at, size, jumped);
    // A packet that began a new frame costs a stray all the same, counted
    // against the new frame.
    if (jumped || verdict == Verdict::kStray) {
      strays_.fetch_add(1, std::memory_order_relaxed);
      JThread::sleep(kStrayPauseMs);
      if (++r.strays > kMaxStrays) {
        loseConnection();
        return false;
      }
    }
    if (verdict == Verdict::kComplete) {
      return true;
    }
  }
}

// One datagram of the sender at `at`, or nothing (a foreign datagram, or a
// failed receive retried while paused), or the end of reception.
NetMike2::Received NetMike2::receiveDatagram(Reception& r, uint8_t* at, size_t room, size_t& size) {
  JInetAddr from;
  try {
    // Datagrams of others do not count: the time-out runs from the sender's
    // last one.
    int32_t wait = kReceiveTimeoutMs;
    if (!paused()) {
      const auto since =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r.heard).count();
      if (since >= kReceiveTimeoutMs) {
        throw JTimeoutError();
      }
      wait = kReceiveTimeoutMs - static_cast<int32_t>(since);
    }
    socket_->setReadTimeout(wait);
    size = socket_->receiveFrom(at, room, &from);
  } catch (const JSysError& e) {
    // A datagram that overflows the room left is cut short, and who sent it
    // cannot be told: it is dropped as a foreign one.
    if (e.code() == (JSysError::kSocketTag | kMessageTooLong) && !stopRequested()) {
      foreign_.fetch_add(1, std::memory_order_relaxed);
      return Received::kNothing;
    }
    return receiveFailed(e) ? Received::kNothing : Received::kEnded;
  } catch (const JError& e) {
    return receiveFailed(e) ? Received::kNothing : Received::kEnded;
  }
  if (!fromSender(r, from, at, size)) {
    foreign_.fetch_add(1, std::memory_order_relaxed);
    return Received::kNothing;
  }
  r.heard = Clock::now();
  return Received::kDatagram;
}

// Whether the datagram comes from the channel's sender; the first valid
// packet from the provider's host (from anyone when the host is not known)
// makes its address and port the sender's.
bool NetMike2::fromSender(Reception& r, const JInetAddr& from, const uint8_t* at, size_t size) {
  if (r.senderKnown) {
    return sameAddress(from, r.sender) && from.port() == r.sender.port();
  }
  if (!provider_.isAny() && !sameAddress(from, provider_)) {
    return false;
  }
  if (size < kPacketHeaderSize || !wellFormed(MediaPacketHeader::read(at))) {
    return false;
  }
  r.senderKnown = true;
  r.sender = from;
  JLog::logTraceable(kLevelTraceInfo, this, "NetMike2 - taking the channel's packets from %s.",
                     from.text().c_str());
  return true;
}

// True when reception goes on after the failed receive: only while paused.
bool NetMike2::receiveFailed(const JError& e) {
  failedReceives_.fetch_add(1, std::memory_order_relaxed);
  if (stopRequested()) {
    return false;
  }
  logCaught(e);
  if (paused()) {
    JThread::sleep(kPausedRetryMs);
    return true;
  }
  loseConnection();
  return false;
}

NetMike2::Verdict NetMike2::examine(Reception& r, uint8_t* at, size_t size, bool& jumped) {
  if (size < kPacketHeaderSize) {
    return Verdict::kStray;
  }
  const MediaPacketHeader packet = MediaPacketHeader::read(at);
  // A malformed packet never moves the frame being rebuilt.
  if (!wellFormed(packet)) {
    return Verdict::kStray;
  }
  const auto ahead = static_cast<int32_t>(packet.frameSequence - r.expected);
  const bool resync = r.begun && (ahead > kResyncWindow || ahead < -kResyncWindow);
  if (r.begun && ahead < 0 && !resync) {
    if (r.placedBefore(packet)) {
      duplicates_.fetch_add(1, std::memory_order_relaxed);
      return Verdict::kDuplicate;
    }
    noteOlderFrame(r, packet.frameSequence);
    return Verdict::kStray;
  }
  if (ahead != 0 || !r.begun) {
    // A later frame has begun (or the first, or the numbering starts
    // afresh): the one in progress will never complete.
    if (r.received > 0) {
      abandoned_.fetch_add(1, std::memory_order_relaxed);
      r.rememberFrame();
    }
    if (resync) {
      resyncs_.fetch_add(1, std::memory_order_relaxed);
      JLog::logTraceable(kLevelWarning, this,
                         "NetMike2 - frame number %u after %u: resynchronising.",
                         packet.frameSequence, r.expected);
      r.forgetPast();
    } else if (r.begun) {
      noteSkippedFrames(r, static_cast<uint32_t>(ahead), r.received > 0);
    }
    r.clearFrame();
    r.expected = packet.frameSequence;
    jumped = ahead != 0;
    // Where an in-order packet of the new frame is received.
    std::memmove(r.frame, at, size);
    at = r.frame;
  }
  const uint32_t index = packet.fragmentSequence;
  if (r.count != 0 && packet.fragmentCount != r.count) {
    return Verdict::kStray;
  }
  if (r.taken.test(index)) {
    duplicates_.fetch_add(1, std::memory_order_relaxed);
    return Verdict::kDuplicate;
  }
  r.begun = true;
  r.count = packet.fragmentCount;
  r.taken.set(index);
  ++r.received;
  const size_t length = size - kPacketHeaderSize;
  if (index == r.next) {
    std::memmove(at, at + kPacketHeaderSize, length);
    r.placed += length;
    ++r.next;
    r.placeParked();
  } else if (index < kParkingSlots) {
    Reception::Slot& slot = r.slots[index];
    std::memcpy(slot.data.data(), at + kPacketHeaderSize, length);
    slot.held = true;
    slot.length = length;
    parked_.fetch_add(1, std::memory_order_relaxed);
  } else {
    r.spoiled = true;
  }
  return r.received == r.count ? Verdict::kComplete : Verdict::kTaken;
}

// The frames from r.expected to r.expected + count - 1 are passed over; the
// first of them was partly received when `firstBegun`.
void NetMike2::noteSkippedFrames(Reception& r, uint32_t count, bool firstBegun) {
  lost_.fetch_add(count - (firstBegun ? 1 : 0), std::memory_order_relaxed);
  const uint64_t skipped = count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
  r.missing = (count >= 64 ? 0 : r.missing << count) | skipped;
  r.late = count >= 64 ? 0 : r.late << count;
  if (firstBegun && count <= 64) {
    r.missing &= ~(uint64_t{1} << (count - 1));  // abandoned, not lost
  }
}

// A packet of a frame before the one being rebuilt that was not placed: the
// late arrival of a frame counted lost (it stays unplayed, but it was not
// lost), another packet of such a frame, or a packet an abandoned frame
// missed.
void NetMike2::noteOlderFrame(Reception& r, uint32_t frame) {
  const uint32_t back = r.expected - 1 - frame;
  const uint64_t bit = back < 64 ? uint64_t{1} << back : 0;
  if ((r.missing & bit) != 0) {
    r.missing &= ~bit;
    r.late |= bit;
    lost_.fetch_sub(1, std::memory_order_relaxed);
    late_.fetch_add(1, std::memory_order_relaxed);
  }
}

// Publishes a complete frame, or keeps the buffer for the next one. False
// when the frame ends reception.
bool NetMike2::finishFrame(Reception& r) {
  if (r.spoiled || r.placed < kAudioFrameHeaderSize) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  const MediaFrameTail tail = MediaFrameTail::read(r.frame);
  if ((tail.flags & SVIDEOFRAMEHEADER_FLAGS_PAUSE) != 0) {
    paused_.store(true, std::memory_order_relaxed);
    return true;
  }
  if ((tail.flags & SVIDEOFRAMEHEADER_FLAGS_DISCONNECT) != 0) {
    loseConnection();
    return false;
  }
  paused_.store(false, std::memory_order_relaxed);
  const size_t size = r.placed - kAudioFrameHeaderSize;
  std::memmove(r.frame, r.frame + kAudioFrameHeaderSize, size);
  StreamFrameHeader* header = frameHeaderOf(r.buffer);
  header->size = static_cast<uint32_t>(size);
  header->setTimeStamp(tail.timeStamp);
  header->keyWord = tail.keyWord;
  publish(0);
  published_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

}  // namespace zq
