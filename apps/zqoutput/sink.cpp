// The three outputs of zqoutput.
#include "zqoutput/sink.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "zqoutput/pcm.h"

namespace zq::zqoutput {
namespace {

class NullSink : public AudioSink {
 public:
  void format(uint32_t, uint32_t) override {}
  uint32_t write(const int16_t*, size_t) override { return 0; }
  std::string describe() const override { return "null"; }
};

void putLittle(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// A WAVE file whose header always tells the samples written so far: it is
// rewritten after every block, so the file is valid whenever the process
// ends. The file takes the format of its first block; blocks of another
// format (a new source, one odd datagram) are converted to it, so that one
// file keeps all that was played, in order, and nothing written is lost.
class WaveFileSink : public AudioSink {
 public:
  explicit WaveFileSink(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      throw JTextError("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    writeHeader();
  }
  ~WaveFileSink() override { ::close(fd_); }
  WaveFileSink(const WaveFileSink&) = delete;
  WaveFileSink& operator=(const WaveFileSink&) = delete;

  void format(uint32_t sampleRate, uint32_t channels) override {
    if (sampleRate == inRate_ && channels == inChannels_) {
      return;
    }
    inRate_ = sampleRate;
    inChannels_ = channels;
    if (dataBytes_ == 0) {
      rate_ = sampleRate;
      channels_ = channels;
      writeHeader();
    }
    converter_.setFormats(inRate_, inChannels_, rate_, channels_);
  }

  uint32_t write(const int16_t* samples, size_t frames) override {
    if (inRate_ != rate_ || inChannels_ != channels_) {
      converted_.clear();
      converter_.convert(samples, frames, converted_);
      samples = converted_.data();
      frames = converted_.size() / channels_;
    }
    const size_t bytes = frames * channels_ * sizeof(int16_t);
    if (::pwrite(fd_, samples, bytes, 44 + static_cast<off_t>(dataBytes_)) !=
        static_cast<ssize_t>(bytes)) {
      throw JTextError("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    dataBytes_ += bytes;
    writeHeader();
    return 0;
  }

  std::string describe() const override { return "wav:" + path_; }

 private:
  void writeHeader() {
    uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    putLittle(h + 4, static_cast<uint32_t>(36 + dataBytes_), 4);
    putLittle(h + 16, 16, 4);
    putLittle(h + 20, 1, 2);  // PCM
    putLittle(h + 22, channels_, 2);
    putLittle(h + 24, rate_, 4);
    putLittle(h + 28, rate_ * channels_ * 2, 4);
    putLittle(h + 32, channels_ * 2, 2);
    putLittle(h + 34, 16, 2);
    std::memcpy(h + 36, "data", 4);
    putLittle(h + 40, static_cast<uint32_t>(dataBytes_), 4);
    if (::pwrite(fd_, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
      throw JTextError("cannot write '" + path_ + "': " + std::strerror(errno));
    }
  }

  std::string path_;
  int fd_ = -1;
  uint32_t rate_ = 44100;  // the file's
  uint32_t channels_ = 2;
  uint32_t inRate_ = 44100;  // the blocks'
  uint32_t inChannels_ = 2;
  PcmConverter converter_;
  std::vector<int16_t> converted_;
  uint64_t dataBytes_ = 0;
};

// ALSA playback, interleaved 16-bit, about 40 ms of device buffer: the
// jitter buffer ahead of it absorbs the network's unevenness.
class AlsaSink : public AudioSink {
 public:
  explicit AlsaSink(std::string name) : name_(std::move(name)) {
    const int r = snd_pcm_open(&pcm_, name_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (r < 0) {
      throw JTextError("cannot open ALSA playback device '" + name_ + "': " + snd_strerror(r));
    }
  }
  ~AlsaSink() override {
    snd_pcm_drain(pcm_);
    snd_pcm_close(pcm_);
  }
  AlsaSink(const AlsaSink&) = delete;
  AlsaSink& operator=(const AlsaSink&) = delete;

  void format(uint32_t sampleRate, uint32_t channels) override {
    if (sampleRate == rate_ && channels == channels_) {
      return;
    }
    snd_pcm_drop(pcm_);
    const int r = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                     channels, sampleRate, 1, 40000);
    if (r < 0) {
      throw JTextError("ALSA device '" + name_ + "' refuses " + std::to_string(sampleRate) +
                       " Hz, " + std::to_string(channels) + " channels: " + snd_strerror(r));
    }
    rate_ = sampleRate;
    channels_ = channels;
  }

  uint32_t write(const int16_t* samples, size_t frames) override {
    uint32_t underruns = 0;
    while (frames > 0) {
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, frames);
      if (n == -EPIPE) {
        ++underruns;
        snd_pcm_prepare(pcm_);
        continue;
      }
      if (n < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
          throw JTextError("ALSA write failed: " + std::string(snd_strerror(static_cast<int>(n))));
        }
        continue;
      }
      samples += static_cast<size_t>(n) * channels_;
      frames -= static_cast<size_t>(n);
    }
    return underruns;
  }

  std::string describe() const override { return "alsa:" + name_; }
  bool paced() const override { return true; }

 private:
  std::string name_;
  snd_pcm_t* pcm_ = nullptr;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
};

}  // namespace

std::unique_ptr<AudioSink> makeSink(const std::string& output) {
  if (output == "null") {
    return std::make_unique<NullSink>();
  }
  if (output.rfind("wav:", 0) == 0 && output.size() > 4) {
    return std::make_unique<WaveFileSink>(output.substr(4));
  }
  if (output.rfind("alsa:", 0) == 0 && output.size() > 5) {
    return std::make_unique<AlsaSink>(output.substr(5));
  }
  throw JTextError("unknown output '" + output + "': use null, wav:PATH or alsa:NAME");
}

}  // namespace zq::zqoutput
