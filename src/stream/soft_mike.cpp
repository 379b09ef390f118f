// SoftMike: its two constructions.
#include "stream/soft_mike.h"

#include "base/error.h"
#include "stream/stream_frame_header.h"

namespace zq {
namespace {

// Checked before the stream's buffers are allocated.
template <class P>
size_t bufferSizeFor(const P& pointer, size_t maxPayload) {
  if (pointer == nullptr) {
    throw JTextError("null pointer");
  }
  return maxPayload + sizeof(StreamFrameHeader);
}

}  // namespace

SoftMike::SoftMike(const AudioFormat* format, size_t maxPayload, std::string_view traceName)
    : Mike(bufferSizeFor(format, maxPayload), kBuffers, false, kExtraBuffers,
           kShareableStreamMemory, traceName) {
  setAudioInfo(*format);
}

SoftMike::SoftMike(std::unique_ptr<StreamInfo> info, size_t maxPayload, std::string_view traceName)
    : Mike(bufferSizeFor(info, maxPayload), kBuffers, false, kExtraBuffers, kShareableStreamMemory,
           traceName) {
  setStreamInfo(std::move(info));
}

void SoftMike::addClient(StreamClient* client) {
  Mike::addClient(client);
  readerAttached_.set();
}

void SoftMike::addListener(JStreamListener* listener) {
  Mike::addListener(listener);
  readerAttached_.set();
}

}  // namespace zq
