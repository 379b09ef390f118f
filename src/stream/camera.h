// Camera: the base of the video sources. A camera is a JStream that a source
// fills with video frames; readers attach to it as to any other stream.
#pragma once

#include <cstddef>

#include "stream/stream.h"

namespace zq {

class Camera : public JStream {
 public:
  /// The JStream of the source: buffers of `bufferSize` bytes (the 32-byte
  /// frame header included), `nbuf` of them plus `extra` and one, blocking
  /// or not, from local or shareable memory. Throws as JStream does.
  Camera(size_t bufferSize, int nbuf, bool blocking, int extra, bool localMemory)
      : JStream(bufferSize, nbuf, blocking, extra, localMemory) {}

  /// Commands of the camera's own prefix come first in derived sources;
  /// the rest go to the stream ("JStream.queue"). Any thread.
  int control(const char* command, char* answer, size_t answerSize) override {
    return JStream::control(command, answer, answerSize);
  }
};

}  // namespace zq
