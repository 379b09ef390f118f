// The host-fed capture source (wavein_host.h): a queue per open device that
// the host's pushes fill, converted on the way in to the device's format
// (channels mapped, rate changed by linear interpolation), and that the
// device's thread drains at its clock, with silence for what is missing.
#include "audio/wavein_host.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "audio/wavein_source.h"
#include "base/format.h"

namespace zq {

namespace {

class HostSource;

// The open host-fed sources of the process. Never destroyed: a device left
// open at exit keeps its entry.
struct Feed {
  std::mutex mutex;
  std::vector<HostSource*> sources;  // guarded by mutex
};

Feed& feed() {
  static Feed* f = new Feed;
  return *f;
}

class HostSource final : public WaveInSource {
 public:
  explicit HostSource(const WaveFormat& format)
      : format_(format),
        startFrames_(format.samplesPerSec * kWaveInHostStartMs / 1000),
        maxFrames_(format.samplesPerSec * kWaveInHostMaxMs / 1000),
        lagFrames_(format.samplesPerSec * kWaveInHostLagMs / 1000),
        window_(std::max<size_t>(1, format.samplesPerSec / 100)),
        last_(format.channels, 0.0f) {
    Feed& f = feed();
    std::lock_guard lock(f.mutex);
    f.sources.push_back(this);
  }

  ~HostSource() override {
    Feed& f = feed();
    std::lock_guard lock(f.mutex);
    f.sources.erase(std::find(f.sources.begin(), f.sources.end(), this));
  }

  HostSource(const HostSource&) = delete;
  HostSource& operator=(const HostSource&) = delete;

  bool paced() const override { return true; }

  // Converts and queues one push. Under the feed's mutex, so that pushes
  // and ends reach every source in one order.
  void push(const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
    std::lock_guard lock(mutex_);
    if (rate != inRate_ || channels != inChannels_) {
      inRate_ = rate;
      inChannels_ = channels;
      position_ = 0;
      haveLast_ = false;
    }
    const uint16_t outChannels = format_.channels;
    const double step = static_cast<double>(rate) / format_.samplesPerSec;
    // The input frame at index i (-1: the last of the previous push) on the
    // device's channels.
    auto at = [&](int64_t i, uint16_t c) -> float {
      if (i < 0) {
        return haveLast_ ? last_[c] : at0(samples, channels, c);
      }
      const int16_t* frame = samples + static_cast<size_t>(i) * channels;
      if (channels == outChannels) {
        return frame[c];
      }
      return channels == 1 ? frame[0] : (float(frame[0]) + float(frame[1])) / 2.0f;
    };
    const auto n = static_cast<int64_t>(frames);
    while (position_ <= static_cast<double>(n - 1)) {
      const auto i = static_cast<int64_t>(std::floor(position_));
      const auto fraction = static_cast<float>(position_ - static_cast<double>(i));
      for (uint16_t c = 0; c < outChannels; ++c) {
        const float a = at(i, c);
        const float value = fraction == 0.0f ? a : a + (at(i + 1, c) - a) * fraction;
        appendSample(value);
      }
      position_ += step;
    }
    if (n > 0) {
      position_ -= static_cast<double>(n);
      for (uint16_t c = 0; c < outChannels; ++c) {
        last_[c] = at(n - 1, c);
      }
      haveLast_ = true;
    }
    const size_t queued = (queue_.size() - head_) / format_.blockAlign;
    if (queued > maxFrames_) {
      head_ += (queued - maxFrames_) * format_.blockAlign;
      ++overruns_;
    }
  }

  // Returns the ms queued.
  uint32_t end() {
    std::lock_guard lock(mutex_);
    ending_ = true;
    haveLast_ = false;
    position_ = 0;
    return static_cast<uint32_t>(queuedFrames() * 1000 / format_.samplesPerSec);
  }

  uint32_t read(uint8_t* out, uint32_t frames, const std::function<bool()>&) override {
    std::lock_guard lock(mutex_);
    const size_t queued = (queue_.size() - head_) / format_.blockAlign;
    if (!playing_ && queued > 0 && (queued >= startFrames_ || ending_)) {
      playing_ = true;
    }
    if (queued == 0 && !playing_) {
      ending_ = false;
    }
    size_t taken = 0;
    if (playing_) {
      catchUp();
      taken = std::min<size_t>(queuedFrames(), frames);
      const size_t bytes = taken * format_.blockAlign;
      std::copy_n(queue_.begin() + static_cast<ptrdiff_t>(head_), bytes, out);
      head_ += bytes;
      if (queuedFrames() == 0) {
        // Dry: the next talk, or the rest of this one after a gap in the
        // pushes, waits for its start again.
        playing_ = false;
        ending_ = false;
      }
    }
    std::fill_n(out + taken * format_.blockAlign, (frames - taken) * format_.blockAlign,
                silenceByte(format_));
    compact();
    return frames;
  }

  void skip(uint64_t frames) override {
    std::lock_guard lock(mutex_);
    const size_t queued = (queue_.size() - head_) / format_.blockAlign;
    head_ += std::min<uint64_t>(frames, queued) * format_.blockAlign;
    compact();
  }

  uint64_t overruns() const override {
    std::lock_guard lock(mutex_);
    return overruns_;
  }

  std::string describe() const override { return "host-fed"; }

 private:
  static float at0(const int16_t* samples, uint32_t channels, uint16_t c) {
    return channels == 1 ? samples[0] : samples[std::min<uint32_t>(c, channels - 1)];
  }

  // Under mutex_.
  void appendSample(float value) {
    const long s = std::lround(std::clamp(value, -32768.0f, 32767.0f));
    if (format_.bitsPerSample == 8) {
      queue_.push_back(static_cast<uint8_t>(128 + (s >> 8)));
    } else {
      const auto word = static_cast<uint16_t>(static_cast<int16_t>(s));
      queue_.push_back(static_cast<uint8_t>(word & 0xFF));
      queue_.push_back(static_cast<uint8_t>(word >> 8));
    }
  }

  // Under mutex_.
  size_t queuedFrames() const { return (queue_.size() - head_) / format_.blockAlign; }

  // Under mutex_: a talk that runs behind (the words kept while the group
  // was being switched to it, or pushes that came in a burst) catches up in
  // its pauses: quiet 10 ms stretches at the head are dropped while more
  // than the lag is queued, so the delay shrinks without a word cut.
  void catchUp() {
    while (queuedFrames() >= lagFrames_ + window_ && quiet(head_, window_)) {
      head_ += window_ * format_.blockAlign;
    }
  }

  // Under mutex_: whether `frames` frames from byte `at` are all under
  // -40 dBFS, which a pause with the microphone's own noise is.
  bool quiet(size_t at, size_t frames) const {
    const size_t samples = frames * format_.channels;
    for (size_t i = 0; i < samples; ++i) {
      int x = 0;
      if (format_.bitsPerSample == 8) {
        x = (queue_[at + i] - 128) * 256;
      } else {
        x = static_cast<int16_t>(queue_[at + 2 * i] | (queue_[at + 2 * i + 1] << 8));
      }
      if (x > kQuietPeak || x < -kQuietPeak) {
        return false;
      }
    }
    return true;
  }

  static constexpr int kQuietPeak = 327;  // -40 dBFS

  // Under mutex_: gives back the space before the head once it is most of
  // the buffer, so that the queue's memory stays near its bound.
  void compact() {
    if (head_ > 0 && head_ * 2 >= queue_.size()) {
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(head_));
      head_ = 0;
    }
  }

  const WaveFormat format_;
  const size_t startFrames_;
  const size_t maxFrames_;
  const size_t lagFrames_;
  const size_t window_;  // 10 ms
  mutable std::mutex mutex_;
  std::vector<uint8_t> queue_;  // device-format bytes from head_ on; guarded by mutex_
  size_t head_ = 0;             // guarded by mutex_
  bool playing_ = false;        // a talk is being played out; guarded by mutex_
  bool ending_ = false;         // the talk ended: play out what is left; guarded by mutex_
  uint64_t overruns_ = 0;       // guarded by mutex_
  // The conversion's state, guarded by mutex_: the format pushed last, the
  // next output frame's position in input frames from the start of the
  // next push, and the last input frame on the device's channels.
  uint32_t inRate_ = 0;
  uint32_t inChannels_ = 0;
  double position_ = 0;
  std::vector<float> last_;
  bool haveLast_ = false;
};

}  // namespace

std::unique_ptr<WaveInSource> makeHostSource(const WaveFormat& format) {
  return std::make_unique<HostSource>(format);
}

}  // namespace zq

extern "C" {

__attribute__((visibility("default"))) int ZQWaveInHostWrite(const int16_t* samples,
                                                             uint32_t frames, uint32_t rate,
                                                             uint32_t channels) {
  if ((samples == nullptr && frames > 0) || (channels != 1 && channels != 2) || rate < 4000 ||
      rate > 192000) {
    return -1;
  }
  zq::Feed& f = zq::feed();
  std::lock_guard lock(f.mutex);
  for (zq::HostSource* source : f.sources) {
    source->push(samples, frames, rate, channels);
  }
  return static_cast<int>(f.sources.size());
}

__attribute__((visibility("default"))) uint32_t ZQWaveInHostEnd(void) {
  zq::Feed& f = zq::feed();
  std::lock_guard lock(f.mutex);
  uint32_t most = 0;
  for (zq::HostSource* source : f.sources) {
    most = std::max(most, source->end());
  }
  return most;
}

__attribute__((visibility("default"))) int ZQWaveInHostDevices(void) {
  zq::Feed& f = zq::feed();
  std::lock_guard lock(f.mutex);
  return static_cast<int>(f.sources.size());
}

}  // extern "C"
