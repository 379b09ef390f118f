// NetCam: a camera whose frames come from the network. Its thread receives
// media packets from a data socket, reassembles each frame straight into a
// buffer of its own stream (PredictiveNetBuffer) and publishes it, until the
// sender disconnects, falls silent or the owner stops it. A lost peer is
// reported through the RPC client of the stream's control connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/log.h"
#include "base/thread.h"
#include "net/socket.h"
#include "rpc/rpc_client.h"
#include "stream/camera.h"
#include "stream/media_packet.h"
#include "stream/predictive_net_buffer.h"

namespace zq {

class NetCam : public Camera, public JThread, public JTraceableObject {
 public:
  /// The stream every NetCam writes: 131072-byte buffers, 5 (+1 +1) of
  /// them, non-blocking, shareable memory.
  static constexpr size_t kBufferSize = 131072;
  static constexpr int kBuffers = 5;
  static constexpr int kExtraBuffers = 1;
  /// A frame must complete this often, or the peer is taken as lost.
  static constexpr int kPublishTimeoutMs = 10000;
  static constexpr int kDefaultTimeoutMs = 10000;

  /// Takes the data socket (owned); `streamInfo` (`streamInfoSize` bytes,
  /// may be null) describes the stream; `rpcClient` (not owned, may be null)
  /// is told when the peer is lost and must outlive this object; on an ATM
  /// multicast leaf (`atmMulticast`) only the disconnection packet that
  /// names this leaf ends reception. `traceMask` (may be null: a mask of its
  /// own, initially 0) switches its trace lines. Logs "NetCam created,
  /// timeout: %d ms." and starts the reception thread at time-critical
  /// priority (as far as the process may). Throws as JStream does, or
  /// JTextError for a malformed description.
  NetCam(std::unique_ptr<JSocket> socket, const void* streamInfo, size_t streamInfoSize,
         JRPCClient* rpcClient, bool atmMulticast, JTraceMask* traceMask = nullptr,
         std::string_view name = {});
  /// Stops the thread (closing the socket to wake it, except on an ATM
  /// multicast leaf, whose thread ends at its next receive time-out or
  /// disconnection packet), waits for it and deletes the socket. Owner only.
  ~NetCam() override;

  /// The id this leaf answers to in ATM multicast disconnection packets (-1,
  /// the default: none). Owner's thread; read by the reception thread.
  void setTeardownId(int32_t id) { teardownId_.store(id, std::memory_order_relaxed); }
  int32_t teardownId() const { return teardownId_.load(std::memory_order_relaxed); }

  /// "NetCam.timeout_ms=N" sets the receive time-out (ms), "NetCam.
  /// timeout_ms?" answers it; other NetCam names -3; other prefixes go to
  /// the stream. Any thread; the next receive uses the new value.
  int control(const char* command, char* answer, size_t answerSize) override;
  int timeoutMs() const { return timeoutMs_.load(std::memory_order_relaxed); }

  /// Frames the sender numbered but that never arrived, since creation.
  /// Any thread.
  uint64_t lostFrames() const { return lostFrames_.load(std::memory_order_relaxed); }
  /// True after a pause frame, until the next ordinary frame. Any thread.
  bool paused() const { return paused_.load(std::memory_order_relaxed); }
  /// True once the reception thread has ended. Any thread.
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  /// The reassembly state and its counters: for other threads only once
  /// ended() is true.
  const PredictiveNetBuffer& netBuffer() const { return netBuffer_; }

 protected:
  void run() override;

 private:
  void receiveLoop();
  bool disconnectionApplies(size_t size);
  void takeBuffer();
  void publishFrame();

  JTraceMask ownMask_{0};
  std::unique_ptr<JSocket> socket_;
  JRPCClient* const rpcClient_;
  const bool atmMulticast_;
  std::atomic<int32_t> teardownId_{-1};
  std::atomic<int32_t> timeoutMs_{kDefaultTimeoutMs};
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> ended_{false};
  std::atomic<uint64_t> lostFrames_{0};

  // The reception thread's own.
  PredictiveNetBuffer netBuffer_;
  uint8_t* writeBuffer_ = nullptr;
  uint8_t frameHeader_[VideoFrameHeader::kSize] = {};
  uint8_t lastFrameHeader_[VideoFrameHeader::kSize] = {};
  bool haveLastFrame_ = false;
};

}  // namespace zq
