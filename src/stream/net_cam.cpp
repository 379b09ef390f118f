// NetCam: the reception thread (receive, disconnection packets, time-outs,
// frame flags, loss accounting, publication), its command and its end.
#include "stream/net_cam.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <span>

#include "base/error.h"
#include "stream/stream_frame_header.h"
#include "stream/video_ctl.h"

namespace zq {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

NetCam::NetCam(std::unique_ptr<JSocket> socket, const void* streamInfo, size_t streamInfoSize,
               JRPCClient* rpcClient, bool atmMulticast, JTraceMask* traceMask,
               std::string_view name)
    : Camera(kBufferSize, kBuffers, false, kExtraBuffers, false),
      JThread("NetCam"),
      JTraceableObject(name, traceMask != nullptr ? traceMask : &ownMask_),
      socket_(std::move(socket)),
      rpcClient_(rpcClient),
      atmMulticast_(atmMulticast) {
  if (socket_ == nullptr) {
    throw JTextError("NetCam: no data socket");
  }
  if (streamInfo != nullptr && streamInfoSize > 0) {
    setStreamInfo(
        StreamInfo::fromBytes(std::span(static_cast<const uint8_t*>(streamInfo), streamInfoSize)));
  }
  JLog::logTraceable(kLevelTraceFile, this, "NetCam created, timeout: %d ms.", timeoutMs());
  start(JThread::kTimeCritical);
}

NetCam::~NetCam() {
  stop_.store(true, std::memory_order_relaxed);
  if (!atmMulticast_) {
    // A receive blocked in the thread ends with the close.
    JLog::logTraceable(kLevelTraceFile, this, "Attempting to close socket.");
    socket_->close();
    JLog::logTraceable(kLevelTraceFile, this, "Socket closed.");
  }
  join();
  socket_.reset();
  JLog::logTraceable(kLevelTraceFile, this, "NetCam destroyed");
}

int NetCam::control(const char* command, char* answer, size_t answerSize) {
  JControlCommand parsed;
  const int result = parseControlCommand(command, "NetCam", parsed);
  if (result == kNotMine) {
    return Camera::control(command, answer, answerSize);
  }
  if (result != kDone) {
    return result;
  }
  if (parsed.name != "timeout_ms") {
    return kNotMine;
  }
  if (parsed.query) {
    return answerControlInt(timeoutMs(), answer, answerSize);
  }
  int value = 0;
  // -1 waits without limit, 0 only looks.
  if (!parseControlInt(parsed.value, value) || value < -1) {
    return kMalformed;
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Chaning time out to %d ms.", value);
  timeoutMs_.store(value, std::memory_order_relaxed);
  return kDone;
}

void NetCam::run() {
  bool unwound = false;
  try {
    receiveLoop();
  } catch (const JError& e) {
    logCaught(e);
    unwound = true;
  }
  abortWrite();
  if (unwound && atmMulticast_) {
    JLog::logTraceable(kLevelTraceNetwork, this,
                       "Calling close on multicast data socket to signal SvcClient::tearDown().");
    socket_->close();
  }
  JLog::logTraceable(kLevelTraceFile, this, "Run - exit:%p\n", static_cast<void*>(this));
  ended_.store(true, std::memory_order_release);
}

void NetCam::takeBuffer() {
  writeBuffer_ = tryGetWriteBuffer();
  if (writeBuffer_ == nullptr) {
    // The next receive fails with the reassembly buffer's own error.
    netBuffer_.setDataBuffer(nullptr, 0);
    return;
  }
  netBuffer_.setDataBuffer(frameHeaderOf(writeBuffer_)->payload(),
                           bufferSize() - sizeof(StreamFrameHeader));
}

void NetCam::receiveLoop() {
  takeBuffer();
  netBuffer_.setHeaderBuffer(frameHeader_, sizeof frameHeader_);
  Clock::time_point published = Clock::now();
  while (!stop_.load(std::memory_order_relaxed)) {
    if (!paused() && Clock::now() - published > std::chrono::milliseconds(kPublishTimeoutMs)) {
      if (rpcClient_ != nullptr) {
        JLog::logTraceable(kLevelError, this,
                           "NetCam::run - frame publish time out. Reporting connection loss.\n");
        rpcClient_->connectionLost();
      }
      return;
    }
    size_t size = 0;
    try {
      size = netBuffer_.receive(*socket_, timeoutMs());
    } catch (const JTimeoutError& e) {
      logCaught(e);
      if (paused()) {
        continue;
      }
      JLog::logTraceable(kLevelError, this, "NetCam::run (%p) - read time out.\n",
                         static_cast<void*>(this));
      return;
    }
    if (disconnectionApplies(size)) {
      return;
    }
    if (netBuffer_.process(size) != PredictiveNetBuffer::Outcome::kCompleted) {
      continue;
    }
    published = Clock::now();
    const uint32_t flags = MediaFrameTail::read(frameHeader_ + VideoFrameHeader::kTailOffset).flags;
    if ((flags & SVIDEOFRAMEHEADER_FLAGS_PAUSE) != 0) {
      // Nothing to publish: the same buffer takes the next frame.
      paused_.store(true, std::memory_order_relaxed);
      continue;
    }
    if ((flags & SVIDEOFRAMEHEADER_FLAGS_DISCONNECT) != 0) {
      if (rpcClient_ != nullptr) {
        JLog::logTraceable(
            kLevelWarning, this,
            "run() - received SVIDEOFRAMEHEADER_FLAGS_DISCONNECT reporting Connection loss to %p\n",
            static_cast<void*>(rpcClient_));
        rpcClient_->connectionLost();
      }
      return;
    }
    paused_.store(false, std::memory_order_relaxed);
    publishFrame();
  }
}

bool NetCam::disconnectionApplies(size_t size) {
  if (size < 4) {
    return false;
  }
  const uint8_t* packet = netBuffer_.packetHeader();
  if (loadLittle32(packet) != kDisconnectionFrame) {
    return false;
  }
  if (!atmMulticast_) {
    JLog::logTraceable(kLevelTraceNetwork, this, "Received ATM unicast disconnection packet.");
    return true;
  }
  const uint32_t id = loadLittle32(packet + 4);
  if (id == 0xFFFFFFFFu) {
    JLog::logTraceable(kLevelTraceNetwork, this,
                       "Received ATM multicast disconnection packet with id = -1 !");
    return false;
  }
  const int32_t own = teardownId();
  if (own != -1 && id == static_cast<uint32_t>(own)) {
    JLog::logTraceable(kLevelTraceNetwork, this,
                       "Received ATM multicast disconnection packet with matching ID %u.", id);
    return true;
  }
  JLog::logTraceable(
      kLevelTraceNetwork, this,
      "Ignoring foreign ATM multicast disconnection packet with id = %d, my own = %d.",
      static_cast<int>(id), own);
  return false;
}

void NetCam::publishFrame() {
  VideoFrameHeader video;
  std::memcpy(video.bytes, frameHeader_, sizeof video.bytes);
  const uint32_t number = video.frameNumber();
  if (haveLastFrame_) {
    const uint32_t previous = loadLittle32(lastFrameHeader_ + VideoFrameHeader::kFrameNumberOffset);
    if (number > previous && number - previous > 1) {
      const uint64_t total =
          lostFrames_.fetch_add(number - previous - 1, std::memory_order_relaxed) + number -
          previous - 1;
      JLog::logTraceable(kLevelTraceNetwork, this,
                         "Frame loss, got %u after %u, total loss=%" PRIu64 ".", number, previous,
                         total);
    }
  }
  std::memcpy(lastFrameHeader_, frameHeader_, sizeof lastFrameHeader_);
  haveLastFrame_ = true;

  const MediaFrameTail tail = video.tail();
  StreamFrameHeader* header = frameHeaderOf(writeBuffer_);
  header->setTimeStamp(tail.timeStamp);
  header->keyWord = tail.keyWord;
  header->size = netBuffer_.frameSize();
  publish(tail.keyWord);
  takeBuffer();
}

}  // namespace zq
