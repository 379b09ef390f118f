// NetMike2: a microphone whose frames come from a remote provider. Its thread
// receives the media packets of one audio channel from a data socket,
// rebuilds each frame in a buffer of its own stream and publishes it, so that
// readers cannot tell it from a local sound card. A lost peer is reported
// through the RPC client of the stream's control connection.
//
// Reception. Packets that arrive in order are received straight into the
// stream buffer and only moved down over their 12-byte packet header; a
// packet that comes early (index below 12) waits in one of 12 parking slots
// until the packets before it have been placed. A packet of a later frame
// abandons the frame in progress; a packet that fits nowhere (an older frame,
// a malformed header) is a stray: the thread pauses 20 ms, and the eleventh
// stray of one frame ends reception as a lost connection. Hearing nothing
// from the sender for 2000 ms ends reception too, unless the sender paused
// the stream (a pause frame), in which case the thread retries every 10 ms
// until the next ordinary frame. A frame flagged with
// SVIDEOFRAMEHEADER_FLAGS_DISCONNECT ends reception.
//
// The sender. A data port can be reached by anyone, so datagrams are taken
// from one sender only: the provider's host when the owner names it (the
// port is that of the first valid packet from it), otherwise whoever sent
// the first valid packet of the channel (address and port). Datagrams from
// anyone else, and datagrams before the first valid packet that are not
// valid packets, are foreign: counted and dropped unread, without a pause,
// never a stray, and they do not keep a silent sender's channel alive.
//
// What the packet format leaves open is decided here as follows:
//  - a packet of index 12 or more that arrives before the packets ahead of it
//    cannot be parked, so its frame cannot be rebuilt: the frame's packets
//    are still taken in (they are not strays), but the frame is dropped when
//    its last packet arrives, or abandoned by the next frame, and never
//    published whole-looking with a hole in it;
//  - a second copy of a packet already placed (same frame, index and count,
//    of the frame in progress or of one of the last 64 frames) is a
//    duplicate: counted and dropped, without a pause and without counting
//    as a stray, so that a network that duplicates costs nothing;
//  - a fragment count of 0 or above 512, an index beyond the count, a count
//    that differs from the one the frame began with, and a datagram too
//    short for a packet header are strays, and never move the frame being
//    rebuilt;
//  - a frame number more than 64 frames away from the one expected, either
//    way, is a resynchronisation: the sender's numbering is taken afresh
//    from that packet, and the frames in between are counted neither lost
//    nor late (so a real loss of more than 64 frames in a row, 1.7 s of MP3
//    at 44.1 kHz, counts as a resynchronisation too);
//  - a datagram longer than the room left in the buffer is cut short by the
//    receive, so its sender cannot be told: it is dropped as a foreign one
//    (a sender whose frames never fit ends as a silent one);
//  - a frame whose packets together are shorter than its 16-byte frame
//    header, or whose parked packets no longer fit the buffer, is dropped;
//  - the owner's stop is not a lost connection: destruction reports nothing.
//
// Concurrency: one reception thread writes the stream; readers read it
// concurrently (see JStream). The counters and states below may be read from
// any thread at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/thread.h"
#include "net/inet_addr.h"
#include "net/socket.h"
#include "rpc/rpc_client.h"
#include "stream/mike.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq {

class NetMike2 : public Mike, public JThread {
 public:
  /// The stream every NetMike2 writes: 16444-byte buffers (16412 bytes of
  /// frame after the StreamFrameHeader), 5 (+1 +1) of them, non-blocking,
  /// shareable memory.
  static constexpr size_t kBufferSize = 16444;
  static constexpr int kBuffers = 5;
  static constexpr int kExtraBuffers = 1;
  static constexpr size_t kFrameRoom = kBufferSize - sizeof(StreamFrameHeader);
  /// A receive that finds nothing for this long ends reception (unless paused).
  static constexpr int kReceiveTimeoutMs = 2000;
  /// How often a paused receiver retries a failed receive.
  static constexpr int kPausedRetryMs = 10;
  /// Early packets of index below kParkingSlots wait in slots of this size.
  static constexpr int kParkingSlots = 12;
  static constexpr size_t kParkingSlotSize = 32768;
  /// Every stray costs this pause; more than kMaxStrays in one frame end
  /// reception.
  static constexpr int kStrayPauseMs = 20;
  static constexpr int kMaxStrays = 10;
  /// Frame numbers farther than this from the expected one resynchronise;
  /// copies of the packets of this many frames before it are told apart.
  static constexpr int32_t kResyncWindow = 64;
  /// The longest thread name.
  static constexpr size_t kMaxThreadName = 256;

  /// Takes the data socket (owned; null throws JTextError "null pointer")
  /// and the stream's description (owned; may be null). `rpcClient` (not
  /// owned, may be null) is told when the peer is lost and must outlive this
  /// object. `name` names the object in traces and, followed by "::NetMike -
  /// receiving from " and the socket's peer address (0.0.0.0:0 when the
  /// socket has none), the reception thread, which starts at once at
  /// time-critical priority (as far as the process may). `provider` is the
  /// host the datagrams must come from (its port is not looked at); the
  /// any-address takes the sender of the first valid packet. Throws as
  /// JStream does.
  NetMike2(std::unique_ptr<JSocket> socket, std::unique_ptr<StreamInfo> info, JRPCClient* rpcClient,
           std::string_view name, const JInetAddr& provider = JInetAddr());
  /// Stops the thread, closing the socket so that a receive under way ends
  /// at once, waits for it and deletes the socket. Reports no loss. Owner
  /// only; readers must have let go of the stream's frames.
  ~NetMike2() override;

  /// True after a pause frame, until the next ordinary frame.
  bool paused() const { return paused_.load(std::memory_order_relaxed); }
  /// True once the reception thread has ended; the stream stays readable.
  bool ended() const { return ended_.load(std::memory_order_acquire); }

  // Since creation.
  uint64_t framesPublished() const { return published_.load(std::memory_order_relaxed); }
  uint64_t strayPackets() const { return strays_.load(std::memory_order_relaxed); }
  uint64_t parkedPackets() const { return parked_.load(std::memory_order_relaxed); }
  /// Frames whose last packet arrived but that could not be rebuilt.
  uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }
  /// Frames left unfinished when a packet of a later frame arrived.
  uint64_t abandonedFrames() const { return abandoned_.load(std::memory_order_relaxed); }
  /// Receives that failed or timed out (while paused, each one is retried).
  uint64_t failedReceives() const { return failedReceives_.load(std::memory_order_relaxed); }
  /// Frames passed over by the frame numbers that have not arrived since
  /// (those of a mid-stream join are not counted; an abandoned one is not
  /// lost).
  uint64_t lostFrames() const { return lost_.load(std::memory_order_relaxed); }
  /// Frames that arrived after a later one had begun: too late to be
  /// played, and no longer counted lost.
  uint64_t lateFrames() const { return late_.load(std::memory_order_relaxed); }
  /// Second copies of packets already placed.
  uint64_t duplicatePackets() const { return duplicates_.load(std::memory_order_relaxed); }
  /// Datagrams dropped unread: from another sender than the provider (or,
  /// before its first valid packet, no valid packet), or cut short.
  uint64_t foreignPackets() const { return foreign_.load(std::memory_order_relaxed); }
  /// Frame numbers that jumped beyond the window, either way.
  uint64_t resyncs() const { return resyncs_.load(std::memory_order_relaxed); }

 protected:
  void run() override;

 private:
  struct Reception;
  enum class Verdict { kTaken, kComplete, kDuplicate, kStray };
  enum class Received { kDatagram, kNothing, kEnded };

  static std::string threadName(std::string_view name, const JSocket* socket);
  void receiveFrames(Reception& r);
  bool receiveFrame(Reception& r);
  Received receiveDatagram(Reception& r, uint8_t* at, size_t room, size_t& size);
  bool fromSender(Reception& r, const JInetAddr& from, const uint8_t* at, size_t size);
  bool receiveFailed(const JError& e);
  Verdict examine(Reception& r, uint8_t* at, size_t size, bool& jumped);
  void noteSkippedFrames(Reception& r, uint32_t count, bool firstBegun);
  void noteOlderFrame(Reception& r, uint32_t frame);
  bool finishFrame(Reception& r);
  void loseConnection();
  bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }

  // The socket is used by the reception thread only; the mutex keeps the
  // thread's deletion of it (on a lost connection) apart from the owner's
  // close.
  std::mutex socketMutex_;
  std::unique_ptr<JSocket> socket_;
  JRPCClient* const rpcClient_;
  const JInetAddr provider_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> ended_{false};

  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> strays_{0};
  std::atomic<uint64_t> parked_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> abandoned_{0};
  std::atomic<uint64_t> failedReceives_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> late_{0};
  std::atomic<uint64_t> duplicates_{0};
  std::atomic<uint64_t> foreign_{0};
  std::atomic<uint64_t> resyncs_{0};
};

}  // namespace zq
