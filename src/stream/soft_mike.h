// SoftMike: a microphone whose frames the program writes itself (the soft
// source replays in-memory frames through it). Its owner writes each frame
// with the ordinary writer interface of JStream
// (getWriteBuffer, fill the StreamFrameHeader and the payload, publish);
// readers cannot tell it from a sound card.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "base/waitable.h"
#include "stream/mike.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq {

class SoftMike : public Mike {
 public:
  static constexpr int kBuffers = 5;
  static constexpr int kExtraBuffers = 1;

  /// A stream of PCM frames of `format` (null throws JTextError "null
  /// pointer"): its description is the PCM description of the format.
  /// Buffers hold `maxPayload` bytes after the StreamFrameHeader, 5 (+1 +1)
  /// of them, non-blocking, shareable memory. Throws as JStream does.
  SoftMike(const AudioFormat* format, size_t maxPayload, std::string_view traceName = {});
  /// The same for frames of `info` (taken over; null throws "null pointer").
  SoftMike(std::unique_ptr<StreamInfo> info, size_t maxPayload, std::string_view traceName = {});

  /// The most payload bytes a frame may have.
  size_t maxPayload() const { return bufferSize() - sizeof(StreamFrameHeader); }

  /// Signalled (auto-reset) each time a reader or a listener attaches, so
  /// that an owner writing only while someone reads knows when to start
  /// again.
  JFlag& readerAttached() { return readerAttached_; }
  void addClient(StreamClient* client) override;
  void addListener(JStreamListener* listener) override;

 private:
  JFlag readerAttached_;
};

}  // namespace zq
