// Mike: the audio description of a source's stream.
#include "stream/mike.h"

namespace zq {

Mike::Mike(size_t bufferSize, int nbuf, bool blocking, int extra, const JStreamMemory& memory,
           std::string_view traceName)
    : JStream(bufferSize, nbuf, blocking, extra, memory), JTraceableObject(traceName) {}

void Mike::setAudioInfo(const AudioFormat& format) {
  setStreamInfo(StreamInfo::makePcmStreamInfo(
      format.samplesPerSec, static_cast<uint16_t>(format.bitsPerSample),
      static_cast<uint16_t>(format.channels), format.samplesPerBlock));
}

AudioFormat Mike::getAudioFormat() const {
  AudioFormat format;
  if (const auto info = copyStreamInfo()) {
    format.samplesPerSec = info->samplesPerSecond();
    format.bitsPerSample = info->bitsPerSample();
    format.channels = info->channels();
    format.samplesPerBlock = info->chunk();
  }
  return format;
}

}  // namespace zq
