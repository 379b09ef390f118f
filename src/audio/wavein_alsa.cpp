// The ALSA capture source: an ALSA capture PCM read in non-blocking mode, a
// short wait at a time, so that a reset or a close is never held up by a
// device that gives nothing. Overruns (the device's thread fell behind) are
// recovered from and counted.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "audio/wavein_source.h"
#include "base/format.h"
#include "base/log.h"

namespace zq {

namespace {

// How long one step of a read may block: the bound on how late a reset or a
// close sees the reader let go of the PCM.
constexpr int kWaitStepMs = 20;
// The pause after a failure that recovery could not mend, so that a broken
// device costs no busy loop.
constexpr int kFailurePauseMs = 100;

class AlsaSource final : public WaveInSource {
 public:
  AlsaSource(snd_pcm_t* pcm, const WaveFormat& format, std::string name)
      : pcm_(pcm), blockAlign_(format.blockAlign), name_(std::move(name)) {}
  ~AlsaSource() override { ::snd_pcm_close(pcm_); }
  AlsaSource(const AlsaSource&) = delete;
  AlsaSource& operator=(const AlsaSource&) = delete;

  bool paced() const override { return false; }

  uint32_t start() override {
    std::lock_guard lock(mutex_);
    int error = ::snd_pcm_prepare(pcm_);
    if (error == 0) {
      error = ::snd_pcm_start(pcm_);
    }
    if (error < 0) {
      JLog::logf(kLevelWarning, "waveIn ALSA '%s' cannot start: %s", name_.c_str(),
                 ::snd_strerror(error));
      return kMmError;
    }
    return kMmNoError;
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    ::snd_pcm_drop(pcm_);
  }

  uint32_t read(uint8_t* out, uint32_t frames, const std::function<bool()>& cancelled) override {
    uint32_t got = 0;
    while (got < frames && !cancelled()) {
      std::unique_lock lock(mutex_);
      // Checked again under the lock: a stop() that came in between left the
      // PCM stopped, and reading it now would only report a failure.
      if (cancelled()) {
        break;
      }
      ::snd_pcm_wait(pcm_, kWaitStepMs);
      const snd_pcm_sframes_t n =
          ::snd_pcm_readi(pcm_, out + static_cast<size_t>(got) * blockAlign_, frames - got);
      if (n >= 0) {
        got += static_cast<uint32_t>(n);
        continue;
      }
      if (n == -EAGAIN) {
        continue;
      }
      if (!recover(static_cast<int>(n))) {
        lock.unlock();
        pause(cancelled);
      }
    }
    return got;
  }

  void skip(uint64_t) override {}

  uint64_t overruns() const override { return overruns_.load(std::memory_order_relaxed); }

  std::string describe() const override { return jformat("alsa '%s'", name_.c_str()); }

 private:
  // After a failed read, under mutex_: true when the PCM runs again.
  bool recover(int error) {
    if (error == -EPIPE) {
      overruns_.fetch_add(1, std::memory_order_relaxed);
    } else if (error == -ESTRPIPE) {
      // Suspended by power management: resume, or start over when the
      // driver cannot resume.
      if (::snd_pcm_resume(pcm_) == 0) {
        return true;
      }
    } else if (!failing_) {
      failing_ = true;
      JLog::logf(kLevelWarning, "waveIn ALSA '%s' read failed: %s", name_.c_str(),
                 ::snd_strerror(error));
    }
    if (::snd_pcm_prepare(pcm_) == 0 && ::snd_pcm_start(pcm_) == 0) {
      failing_ = false;
      return true;
    }
    return false;
  }

  static void pause(const std::function<bool()>& cancelled) {
    for (int waited = 0; waited < kFailurePauseMs && !cancelled(); waited += kWaitStepMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitStepMs));
    }
  }

  std::mutex mutex_;  // serialises every call on pcm_
  snd_pcm_t* const pcm_;
  const uint16_t blockAlign_;
  const std::string name_;
  std::atomic<uint64_t> overruns_{0};
  bool failing_ = false;  // guarded by mutex_: the failure was logged
};

uint32_t openResult(int error) {
  switch (-error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kMmBadDeviceId;
    case EBUSY:
      return kMmAllocated;
    default:
      return kMmError;
  }
}

// Applies the format; the name of the refused step, or null.
const char* configure(snd_pcm_t* pcm, const WaveFormat& format) {
  snd_pcm_hw_params_t* hw = nullptr;
  if (::snd_pcm_hw_params_malloc(&hw) < 0) {
    return "hw_params_malloc";
  }
  const char* refused = nullptr;
  // The buffer holds half a second: enough slack for a busy machine. The
  // reader waits for a period at a time and takes a capture period (5 to
  // 10 ms) from it: a device period longer than that would hold every
  // sample back until the period's end (20 ms added up to 20 ms of latency).
  unsigned bufferUs = 500000;
  unsigned periodUs = 5000;
  if (::snd_pcm_hw_params_any(pcm, hw) < 0) {
    refused = "any";
  } else if (::snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
    refused = "access";
  } else if (::snd_pcm_hw_params_set_format(
                 pcm, hw, format.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE) <
             0) {
    refused = "sample format";
  } else if (::snd_pcm_hw_params_set_channels(pcm, hw, format.channels) < 0) {
    refused = "channels";
  } else if (::snd_pcm_hw_params_set_rate(pcm, hw, format.samplesPerSec, 0) < 0) {
    refused = "rate";
  } else if (::snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, nullptr) < 0 ||
             ::snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, nullptr) < 0) {
    refused = "buffer";
  } else if (::snd_pcm_hw_params(pcm, hw) < 0) {
    refused = "parameters";
  }
  ::snd_pcm_hw_params_free(hw);
  return refused;
}

}  // namespace

std::unique_ptr<WaveInSource> openAlsaSource(const WaveFormat& format, const std::string& name,
                                             uint32_t& result) {
  snd_pcm_t* pcm = nullptr;
  const int error = ::snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (error < 0) {
    JLog::logf(kLevelWarning, "waveIn ALSA '%s' cannot be opened: %s", name.c_str(),
               ::snd_strerror(error));
    result = openResult(error);
    return nullptr;
  }
  if (const char* refused = configure(pcm, format)) {
    JLog::logf(kLevelWarning,
               "waveIn ALSA '%s' refuses the format (%s): %u Hz, %u bits, %u channel(s)",
               name.c_str(), refused, format.samplesPerSec, format.bitsPerSample, format.channels);
    ::snd_pcm_close(pcm);
    result = kWaveBadFormat;
    return nullptr;
  }
  result = kMmNoError;
  return std::make_unique<AlsaSource>(pcm, format, name);
}

}  // namespace zq
