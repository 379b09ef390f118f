// Mike: the base of every audio source (sound-card capture, capture board,
// network reception, soft frames). A Mike is a JStream whose description is
// audio; readers cannot tell one kind of source from another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/log.h"
#include "stream/stream.h"

namespace zq {

/// The four figures of a PCM capture: what setAudioInfo takes and
/// getAudioFormat gives back.
struct AudioFormat {
  uint32_t samplesPerSec = 0;
  uint32_t bitsPerSample = 0;
  uint32_t channels = 0;
  uint32_t samplesPerBlock = 0;
};

class Mike : public JStream, public JTraceableObject {
 public:
  /// The source's stream (see JStream) and its trace name (may be empty).
  Mike(size_t bufferSize, int nbuf, bool blocking, int extra, const JStreamMemory& memory,
       std::string_view traceName = {});

  /// Makes the PCM description of `format` the stream's description.
  void setAudioInfo(const AudioFormat& format);
  /// The format read back from the description (nSamplesPerSec,
  /// wBitsPerSample, nChannels, Chunk); all zero without a description.
  AudioFormat getAudioFormat() const;
};

}  // namespace zq
