// The three outputs of zqoutput.
#include "zqoutput/sink.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <source_location>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "zqoutput/pcm.h"

namespace zq::zqoutput {
namespace {

// How long a file, or nowhere, lets periods fall due before they are written
// together: about four MP3 frames' worth, so that the output wakes ten times
// a second rather than at every 10 ms period (a file's reader sees it grow
// that much at a time). Half the player's bound on one write, so that a late
// wake still writes what fell due.
constexpr uint32_t kGatherMs = 100;

class NullSink : public AudioSink {
 public:
  void format(uint32_t, uint32_t) override {}
  uint32_t write(const int16_t*, size_t) override { return 0; }
  std::string describe() const override { return "null"; }
  uint32_t gatherMs() const override { return kGatherMs; }
};

void putLittle(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// A WAVE file whose header always tells the samples written so far: it is
// rewritten after every block, so the file is valid whenever the process
// ends. It is rewritten with pwrite, one call per write of the output (ten a
// second), not through a shared mapping of the file: another program that
// cut the file short between the samples' write and the header's would end
// the process with SIGBUS. The file
// takes the format of its first block; blocks of another format (a new
// source, one odd datagram) are converted to it, so that one file keeps all
// that was played, in order, and nothing written is lost.
class WaveFileSink : public AudioSink {
 public:
  explicit WaveFileSink(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
    if (::pwrite(fd_, samples, bytes, kHeaderSize + static_cast<off_t>(dataBytes_)) !=
        static_cast<ssize_t>(bytes)) {
      throw JTextError("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    dataBytes_ += bytes;
    writeHeader();
    return 0;
  }

  std::string describe() const override { return "wav:" + path_; }
  uint32_t gatherMs() const override { return kGatherMs; }

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

  static constexpr size_t kHeaderSize = 44;

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

// alsa-lib's own messages (a plugin that cannot reach its server says so at
// every attempt to open it) go to the log at debug level, not to standard
// error.
__attribute__((format(printf, 5, 6))) void alsaMessage(const char* file, int line,
                                                       const char* function, int error,
                                                       const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  JLog::logf(kLevelDebug, "ALSA %s:%d (%s): %s%s%s", file, line, function, text,
             error != 0 ? ": " : "", error != 0 ? snd_strerror(error) : "");
}

// A refusal that repeats one already reported (a device still away, still
// refusing). Unlike JTextError it does not log itself, so that an outage is
// said once however many periods it refuses.
class StillAway : public JError {
 public:
  explicit StillAway(std::string text,
                     const std::source_location& where = std::source_location::current())
      : JError(where), text_(std::move(text)) {}
  void getMessage(char* buffer, size_t size) const override {
    std::snprintf(buffer, size, "%s", text_.c_str());
  }
  std::unique_ptr<JError> clone() const override { return std::make_unique<StillAway>(*this); }

 private:
  std::string text_;
};

// ALSA playback, interleaved 16-bit, about 40 ms of device buffer: the
// jitter buffer ahead of it absorbs the network's unevenness.
//
// The device buffer is primed with silence whenever the device starts (a
// new format, after an underrun), so that it plays from the first write on
// and every later write waits for room: otherwise the first writes would
// fill it at once, drain the jitter buffer, and underrun. Writes do not
// block: each waits for room a bounded time, so that a device that stops
// taking samples is noticed and the program can always stop. A device that
// fails is closed and opened again at most once a second (the player keeps
// time on the system clock meanwhile), said once per outage. A device that
// takes samples faster than real time (ALSA's "null") is held to the
// system clock.
class AlsaSink : public AudioSink {
 public:
  explicit AlsaSink(std::string name) : name_(std::move(name)) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(alsaMessage); });
    const int r = snd_pcm_open(&pcm_, name_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (r < 0) {
      throw JTextError("cannot open ALSA playback device '" + name_ + "': " + snd_strerror(r));
    }
  }
  ~AlsaSink() override { close(true); }
  AlsaSink(const AlsaSink&) = delete;
  AlsaSink& operator=(const AlsaSink&) = delete;

  void format(uint32_t sampleRate, uint32_t channels) override {
    if (sampleRate == rate_ && channels == channels_) {
      return;
    }
    rate_ = sampleRate;
    channels_ = channels;
    configured_ = false;
    if (pcm_ != nullptr) {
      configure();
    }
  }

  uint32_t write(const int16_t* samples, size_t frames) override {
    if (pcm_ == nullptr) {
      reopen();
    }
    if (!configured_) {
      configure();
    }
    const Clock::time_point start = Clock::now();
    // The player writes every period while it plays: a device that went
    // without a write for longer than it holds ran dry while the player was
    // silent (between two sources), which is no underrun. (A plugin may
    // tell it only at the next write, so it is not asked.)
    if (start - lastWrite_ > kIdleGap) {
      snd_pcm_drop(pcm_);
      restart(snd_pcm_prepare(pcm_));
    }
    const size_t total = frames;
    uint32_t underruns = 0;
    while (frames > 0) {
      if (Clock::now() - start >= kStallLimit) {
        refuse("ALSA device '" + name_ + "' takes no samples");
      }
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, frames);
      if (n >= 0) {
        samples += static_cast<size_t>(n) * channels_;
        frames -= static_cast<size_t>(n);
      } else if (n == -EAGAIN) {
        // A poll that says ready while there is no room (as the sound
        // server's plugin may) costs no busy loop.
        const Clock::time_point before = Clock::now();
        snd_pcm_wait(pcm_, kWaitMs);  // a failure shows in the next write
        if (Clock::now() - before < std::chrono::milliseconds(1)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      } else {
        underruns += n == -EPIPE ? 1 : 0;
        restart(static_cast<int>(n));
      }
    }
    lastWrite_ = Clock::now();
    failing_ = false;
    keepToClock(total);
    return underruns;
  }

  std::string describe() const override { return "alsa:" + name_; }
  bool paced() const override { return true; }
  uint32_t periodMs() const override { return 5; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kLatencyUs = 40000;
  // The longest one write waits for the device to take samples (the period
  // is then refused, the device kept), and one step of that wait.
  static constexpr auto kStallLimit = std::chrono::milliseconds(250);
  static constexpr int kWaitMs = 20;
  static constexpr auto kReopenPeriod = std::chrono::seconds(1);
  static constexpr auto kIdleGap = std::chrono::microseconds(kLatencyUs + 10000);
  // How far beyond its buffer a device may run ahead of real time before it
  // is held back, and how far behind it may fall before the clock restarts.
  static constexpr auto kLead = std::chrono::milliseconds(60);
  static constexpr auto kMaxLag = std::chrono::milliseconds(200);

  void configure() {
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_OPEN) {
      snd_pcm_drop(pcm_);
    }
    const int r = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                     channels_, rate_, 1, kLatencyUs);
    if (r < 0) {
      refuse("ALSA device '" + name_ + "' refuses " + std::to_string(rate_) + " Hz, " +
             std::to_string(channels_) + " channels: " + snd_strerror(r));
    }
    snd_pcm_uframes_t period = 0;
    if (snd_pcm_get_params(pcm_, &bufferFrames_, &period) < 0) {
      bufferFrames_ = rate_ * kLatencyUs / 1000000;
      period = bufferFrames_ / 4;
    }
    // Writes take what fits: a device that frees a frame less than a
    // period (the sound server's plugin rounds so) must not wait for a
    // whole one, or it would wait for ever before it starts. The device
    // starts at its first period, should priming fall short.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm_, sw) == 0) {
      snd_pcm_sw_params_set_avail_min(pcm_, sw, 1);
      snd_pcm_sw_params_set_start_threshold(pcm_, sw, period);
      snd_pcm_sw_params(pcm_, sw);
    }
    configured_ = true;
    prime();
  }

  // After an underrun or a suspension the device is prepared and primed
  // again; any other failure, or a recovery that fails (a device gone),
  // loses it.
  void restart(int error) {
    if (error < 0 &&
        ((error != -EPIPE && error != -ESTRPIPE) || snd_pcm_recover(pcm_, error, 1) < 0)) {
      lose(snd_strerror(error));
    }
    prime();
  }

  // A buffer of silence, which starts the device; the clock starts with it.
  void prime() {
    const std::vector<int16_t> silence(size_t{bufferFrames_} * channels_, 0);
    snd_pcm_sframes_t left = static_cast<snd_pcm_sframes_t>(bufferFrames_);
    for (int tries = 0; left > 0 && tries < 4; ++tries) {
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, silence.data(), static_cast<size_t>(left));
      if (n < 0) {
        break;  // the next write meets the failure
      }
      left -= n;
    }
    clockStart_ = Clock::now();
    clockFrames_ = 0;
    lastWrite_ = clockStart_;
  }

  void keepToClock(size_t frames) {
    clockFrames_ += frames;
    const Clock::time_point due =
        clockStart_ + std::chrono::microseconds(clockFrames_ * 1000000 / rate_);
    const Clock::time_point now = Clock::now();
    if (due - now > kLead) {
      std::this_thread::sleep_until(due - kLead);
    } else if (now - due > kMaxLag) {
      clockStart_ = now;
      clockFrames_ = 0;
    }
  }

  // The period is refused: said the first time of a run of refusals, which
  // ends with a write that works.
  [[noreturn]] void refuse(const std::string& why) {
    if (failing_) {
      throw StillAway(why);
    }
    failing_ = true;
    throw JTextError(why);
  }

  [[noreturn]] void lose(const std::string& why) {
    close(false);
    nextOpen_ = Clock::now() + kReopenPeriod;
    refuse("ALSA device '" + name_ + "' failed (" + why +
           "): closed, opened again once a second until it works");
  }

  void reopen() {
    if (Clock::now() < nextOpen_) {
      refuse("ALSA device '" + name_ + "' is closed");
    }
    nextOpen_ = Clock::now() + kReopenPeriod;
    const int r = snd_pcm_open(&pcm_, name_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (r < 0) {
      pcm_ = nullptr;
      refuse("cannot open ALSA playback device '" + name_ + "': " + snd_strerror(r));
    }
    configured_ = false;
  }

  // With `drain`, what the device holds plays out first, a bounded time.
  void close(bool drain) {
    if (pcm_ == nullptr) {
      return;
    }
    if (drain && configured_ && snd_pcm_drain(pcm_) == -EAGAIN) {
      for (int i = 0; i < 20 && snd_pcm_state(pcm_) == SND_PCM_STATE_DRAINING; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    configured_ = false;
  }

  const std::string name_;
  snd_pcm_t* pcm_ = nullptr;  // null while the device is away
  uint32_t rate_ = 0;         // the format asked
  uint32_t channels_ = 0;
  bool configured_ = false;  // the device has that format and is primed
  bool failing_ = false;     // the last period was refused
  snd_pcm_uframes_t bufferFrames_ = 0;
  Clock::time_point nextOpen_;
  Clock::time_point lastWrite_;
  // The system clock a device is held to: frames written since the start.
  Clock::time_point clockStart_;
  uint64_t clockFrames_ = 0;
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
