// The wave-input calls (wave_in.h): the handle table, the checks of each
// call, and the device: its buffer queue and the thread that fills the
// buffers from the device's source (wavein_source.h).
#include "audio/wave_in.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/pcm_format.h"
#include "audio/wavein_source.h"
#include "base/error.h"
#include "base/error_text.h"
#include "base/format.h"
#include "base/log.h"
#include "base/thread.h"

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

// What keeps a device from capturing `f`, or "" when nothing does.
std::string formatProblem(const WaveFormat& f) {
  if (f.formatTag != kWaveFormatPcm) {
    return jformat("format tag %u is not PCM", f.formatTag);
  }
  std::string problem =
      pcmFormatProblem(f.samplesPerSec, f.bitsPerSample, f.channels, f.blockAlign);
  if (problem.empty() && f.avgBytesPerSec != uint64_t{f.blockAlign} * f.samplesPerSec) {
    problem =
        jformat("%u bytes per second is not the block align times the rate", f.avgBytesPerSec);
  }
  return problem;
}

// The time from a start until `frames` frames at `rate` have passed, exact
// to the nanosecond however long the device runs.
Clock::duration framesToDuration(uint64_t frames, uint32_t rate) {
  const uint64_t seconds = frames / rate;
  const uint64_t rest = frames % rate;
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(seconds * 1000000000u + rest * 1000000000u / rate));
}

uint64_t durationToFrames(Clock::duration elapsed, uint32_t rate) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  if (ns <= 0) {
    return 0;
  }
  const auto n = static_cast<uint64_t>(ns);
  return n / 1000000000u * rate + n % 1000000000u * rate / 1000000000u;
}

}  // namespace

void WaveHeader::clear() {
  bufferLength = 0;
  bytesRecorded = 0;
  user = 0;
  flags.store(0, std::memory_order_relaxed);
  loops = 0;
  next = nullptr;
  reserved = 0;
}

uint8_t silenceByte(const WaveFormat& format) {
  return format.bitsPerSample == 8 ? 0x80 : 0x00;
}

class WaveInDevice {
 public:
  WaveInDevice(uint32_t index, const WaveFormat& format, JFlag* event,
               std::unique_ptr<WaveInSource> source)
      : format_(format),
        event_(event),
        source_(std::move(source)),
        thread_(*this, "waveIn " + std::to_string(index)) {}

  ~WaveInDevice() { stopThread(); }
  WaveInDevice(const WaveInDevice&) = delete;
  WaveInDevice& operator=(const WaveInDevice&) = delete;

  void startThread() { thread_.start(2); }

  uint32_t prepare(WaveHeader* header) {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (header == nullptr || header->data == nullptr || header->bufferLength == 0) {
      return kMmInvalidParam;
    }
    if (header->flags.load(std::memory_order_acquire) & kWaveHeaderInQueue) {
      return kWaveStillPlaying;
    }
    header->flags.fetch_or(kWaveHeaderPrepared, std::memory_order_release);
    return kMmNoError;
  }

  uint32_t unprepare(WaveHeader* header) {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (header == nullptr) {
      return kMmInvalidParam;
    }
    if (header->flags.load(std::memory_order_acquire) & kWaveHeaderInQueue) {
      return kWaveStillPlaying;
    }
    header->flags.fetch_and(~kWaveHeaderPrepared, std::memory_order_release);
    return kMmNoError;
  }

  uint32_t add(WaveHeader* header) {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (header == nullptr || header->data == nullptr) {
      return kMmInvalidParam;
    }
    const uint32_t flags = header->flags.load(std::memory_order_acquire);
    if (!(flags & kWaveHeaderPrepared)) {
      return kWaveUnprepared;
    }
    if (flags & kWaveHeaderInQueue) {
      return kWaveStillPlaying;
    }
    if (header->bufferLength < format_.blockAlign) {
      return kMmInvalidParam;
    }
    header->bytesRecorded = 0;
    header->flags.store((flags & ~kWaveHeaderDone) | kWaveHeaderInQueue, std::memory_order_release);
    queue_.push_back(header);
    // Only a thread with nothing queued waits for a buffer: one filling the
    // front buffer would wake for nothing, once a period, and contend for
    // the lock the caller holds.
    if (queue_.size() == 1) {
      changed_.notify_all();
    }
    return kMmNoError;
  }

  uint32_t start() {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (started_) {
      return kMmNoError;
    }
    if (const uint32_t result = source_->start(); result != kMmNoError) {
      return result;
    }
    started_ = true;
    startTime_ = Clock::now();
    position_ = 0;
    starved_ = false;
    changed_.notify_all();
    return kMmNoError;
  }

  uint32_t reset() {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    started_ = false;
    // A fill in progress belongs to the buffers given back now: it is thrown
    // away when the thread sees the generation change.
    generation_.fetch_add(1, std::memory_order_acq_rel);
    source_->stop();
    const bool any = !queue_.empty();
    for (WaveHeader* header : queue_) {
      release(header);
    }
    queue_.clear();
    if (any) {
      event_->set();
    }
    changed_.notify_all();
    return kMmNoError;
  }

  uint32_t close() {
    {
      std::lock_guard lock(mutex_);
      if (closed_) {
        return kMmInvalidHandle;
      }
      if (!queue_.empty()) {
        return kWaveStillPlaying;
      }
      closed_ = true;
      started_ = false;
      generation_.fetch_add(1, std::memory_order_acq_rel);
      source_->stop();
      changed_.notify_all();
    }
    stopThread();
    return kMmNoError;
  }

  uint32_t fillDue(bool* filled, uint32_t buffers) {
    std::unique_lock lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (filled == nullptr || buffers == 0) {
      return kMmInvalidParam;
    }
    *filled = false;
    if (!source_->paced()) {
      return kMmNoError;
    }
    if (!polled_) {
      polled_ = true;
      changed_.notify_all();  // the thread, maybe waiting for a due time, steps aside
    }
    if (!started_ || stopping_) {
      return kMmNoError;
    }
    if (queue_.empty()) {
      starved_ = true;
      return kMmNoError;
    }
    // A caller that fell behind by more than it had queued has lost the
    // rest, as the device's thread would have run out of buffers: the next
    // buffer takes the audio of now, not the start of a burst of the past.
    uint64_t queued = 0;
    for (const WaveHeader* header : queue_) {
      queued += header->bufferLength / format_.blockAlign;
    }
    if (durationToFrames(Clock::now() - startTime_, format_.samplesPerSec) > position_ + queued) {
      starved_ = true;
    }
    const uint64_t done = stats_.buffersDone;
    fillPaced(lock, generation_.load(std::memory_order_relaxed), false, buffers);
    *filled = stats_.buffersDone != done;
    return kMmNoError;
  }

  uint32_t stats(WaveInStats* stats) {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return kMmInvalidHandle;
    }
    if (stats == nullptr) {
      return kMmInvalidParam;
    }
    *stats = stats_;
    stats->overruns = source_->overruns();
    return kMmNoError;
  }

 private:
  class Thread final : public JThread {
   public:
    Thread(WaveInDevice& device, std::string_view name) : JThread(name), device_(device) {}
    ~Thread() override { join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

   protected:
    void run() override { device_.loop(); }

   private:
    WaveInDevice& device_;
  };

  void stopThread() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      generation_.fetch_add(1, std::memory_order_acq_rel);
      changed_.notify_all();
    }
    thread_.join();
  }

  // Marks a queued buffer done and out of the queue, in one release store:
  // the reader that sees kWaveHeaderDone sees everything written before.
  // Under mutex_.
  static void release(WaveHeader* header) {
    const uint32_t flags = header->flags.load(std::memory_order_relaxed);
    header->flags.store((flags | kWaveHeaderDone) & ~kWaveHeaderInQueue, std::memory_order_release);
  }

  // Hands the oldest buffer back holding `bytes` bytes. The event is set
  // with the lock released: the woken capture thread calls straight back
  // into the device, and would otherwise sleep again on this lock.
  void complete(std::unique_lock<std::mutex>& lock, uint32_t bytes) {
    WaveHeader* header = queue_.front();
    queue_.pop_front();
    header->bytesRecorded = bytes;
    release(header);
    ++stats_.buffersDone;
    lock.unlock();
    event_->set();
    lock.lock();
  }

  void loop() {
    const bool paced = source_->paced();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!started_) {
        changed_.wait(lock);
        continue;
      }
      const uint64_t generation = generation_.load(std::memory_order_relaxed);
      if (queue_.empty()) {
        if (paced) {
          starved_ = true;
          changed_.wait(lock);
        } else {
          drain(lock, generation);
        }
        continue;
      }
      if (paced && polled_) {
        changed_.wait(lock);  // the capture's own thread fills
      } else if (paced) {
        fillPaced(lock, generation, true);
      } else {
        fillBlocking(lock, generation);
      }
    }
  }

  // The oldest buffers (`count` of them, or all queued when fewer) from a
  // paced source: each holds what is due at its last frame, and all are
  // done when the last of them is due. The device's thread gives up the
  // wait once a caller fills.
  void fillPaced(std::unique_lock<std::mutex>& lock, uint64_t generation, bool onThread,
                 uint32_t count = 1) {
    const uint32_t rate = format_.samplesPerSec;
    if (starved_) {
      // Nobody had a buffer queued: what played meanwhile is lost, as it
      // would be on a sound card.
      starved_ = false;
      const uint64_t now = durationToFrames(Clock::now() - startTime_, rate);
      if (now > position_) {
        source_->skip(now - position_);
        stats_.droppedFrames += now - position_;
        position_ = now;
      }
    }
    count = static_cast<uint32_t>(std::min<size_t>(count, queue_.size()));
    uint64_t frames = 0;
    for (uint32_t i = 0; i < count; ++i) {
      frames += queue_[i]->bufferLength / format_.blockAlign;
    }
    const Clock::time_point due = startTime_ + framesToDuration(position_ + frames, rate);
    const bool interrupted = changed_.wait_until(lock, due, [&] {
      return stopping_ || (onThread && polled_) ||
             generation_.load(std::memory_order_relaxed) != generation;
    });
    if (interrupted) {
      return;
    }
    // The event is set with the lock released at each buffer: a reset or a
    // close may come between two of them, and takes the rest back.
    for (uint32_t i = 0; i < count && !queue_.empty(); ++i) {
      if (stopping_ || generation_.load(std::memory_order_relaxed) != generation) {
        return;
      }
      const uint32_t each = queue_.front()->bufferLength / format_.blockAlign;
      source_->read(queue_.front()->data, each, [] { return false; });
      position_ += each;
      complete(lock, each * format_.blockAlign);
    }
  }

  // The oldest buffer from a blocking source, read outside the lock into a
  // buffer of the device's own: the caller's buffer is only touched under
  // the lock, so that a reset never races with a write into it.
  void fillBlocking(std::unique_lock<std::mutex>& lock, uint64_t generation) {
    const uint32_t frames = queue_.front()->bufferLength / format_.blockAlign;
    scratch_.resize(static_cast<size_t>(frames) * format_.blockAlign);
    lock.unlock();
    const uint32_t got = source_->read(scratch_.data(), frames, cancelledSince(generation));
    lock.lock();
    if (generation_.load(std::memory_order_relaxed) != generation || got < frames) {
      return;
    }
    const uint32_t bytes = frames * format_.blockAlign;
    std::memcpy(queue_.front()->data, scratch_.data(), bytes);
    complete(lock, bytes);
  }

  // With no buffer queued a blocking source is still read, so that the
  // device does not overrun; what it gives is dropped.
  void drain(std::unique_lock<std::mutex>& lock, uint64_t generation) {
    const uint32_t frames = std::max<uint32_t>(1, format_.samplesPerSec / 50);
    scratch_.resize(static_cast<size_t>(frames) * format_.blockAlign);
    lock.unlock();
    const uint32_t got = source_->read(scratch_.data(), frames, cancelledSince(generation));
    lock.lock();
    stats_.droppedFrames += got;
  }

  std::function<bool()> cancelledSince(uint64_t generation) const {
    return [this, generation] { return generation_.load(std::memory_order_acquire) != generation; };
  }

  const WaveFormat format_;
  JFlag* const event_;
  std::unique_ptr<WaveInSource> source_;

  std::mutex mutex_;
  std::condition_variable changed_;  // queue, start, reset, close
  std::deque<WaveHeader*> queue_;    // guarded by mutex_
  bool started_ = false;             // guarded by mutex_
  bool closed_ = false;              // guarded by mutex_
  bool stopping_ = false;            // guarded by mutex_
  // Changed (under mutex_) by every reset, close and stop, so that a fill
  // in progress knows its buffer was taken back; read without the lock by
  // a blocking source's cancel check.
  std::atomic<uint64_t> generation_{0};
  Clock::time_point startTime_{};  // guarded by mutex_
  uint64_t position_ = 0;          // frames since the start, guarded by mutex_
  bool starved_ = false;           // the queue ran dry since the last fill; guarded by mutex_
  bool polled_ = false;            // a caller fills paced buffers (fillDue); guarded by mutex_
  WaveInStats stats_;              // guarded by mutex_
  std::vector<uint8_t> scratch_;   // the thread's own
  Thread thread_;                  // last: stopped before the rest goes
};

namespace {

// Open devices by handle value. Values count up and are never reused, so a
// stale handle cannot reach a later device. Never destroyed: a device left
// open at exit keeps its entry.
struct HandleTable {
  std::mutex mutex;
  uintptr_t next = 0x1000;
  std::unordered_map<uintptr_t, std::shared_ptr<WaveInDevice>> devices;
};

HandleTable& handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

std::shared_ptr<WaveInDevice> find(WaveInHandle handle) {
  HandleTable& table = handles();
  std::lock_guard lock(table.mutex);
  const auto it = table.devices.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.devices.end() ? nullptr : it->second;
}

const char* kindName(WaveInDeviceConfig::Kind kind) {
  switch (kind) {
    case WaveInDeviceConfig::Kind::kTone:
      return "tone";
    case WaveInDeviceConfig::Kind::kAlsa:
      return "alsa";
    case WaveInDeviceConfig::Kind::kFile:
      return "file";
    case WaveInDeviceConfig::Kind::kHost:
      return "host";
    case WaveInDeviceConfig::Kind::kUnknown:
      break;
  }
  return "unknown";
}

std::unique_ptr<WaveInSource> openSource(const WaveInDeviceConfig& device, uint32_t index,
                                         const WaveFormat& format, uint32_t& result) {
  switch (device.kind) {
    case WaveInDeviceConfig::Kind::kTone:
      result = kMmNoError;
      return makeToneSource(format, device.frequency, device.level, device.pulseMs);
    case WaveInDeviceConfig::Kind::kFile:
      return openFileSource(format, device.path, device.loop, result);
    case WaveInDeviceConfig::Kind::kAlsa:
      return openAlsaSource(format, device.name, result);
    case WaveInDeviceConfig::Kind::kHost:
      result = kMmNoError;
      return makeHostSource(format);
    case WaveInDeviceConfig::Kind::kUnknown:
      break;
  }
  JLog::logf(kLevelWarning, "waveIn device %u has no known type ('%s')", index,
             device.type.c_str());
  result = kMmNoDriver;
  return nullptr;
}

}  // namespace

uint32_t waveInGetNumDevs() {
  try {
    return static_cast<uint32_t>(readWaveInDevices().size());
  } catch (const JError& e) {
    logCaught(e);
    return 0;
  }
}

uint32_t waveInOpen(WaveInHandle* handle, uint32_t deviceIndex, const WaveFormat& format,
                    JFlag* event, uintptr_t /*instance*/, uint32_t flags) {
  if (handle == nullptr) {
    return kMmInvalidParam;
  }
  *handle = nullptr;
  if (flags != kCallbackEvent) {
    return kMmInvalidFlag;
  }
  if (event == nullptr) {
    return kMmInvalidParam;
  }
  std::vector<WaveInDeviceConfig> devices;
  try {
    devices = readWaveInDevices();
  } catch (const JError& e) {
    logCaught(e);
    return kMmError;
  }
  if (deviceIndex >= devices.size()) {
    return kMmBadDeviceId;
  }
  if (const std::string problem = formatProblem(format); !problem.empty()) {
    JLog::logf(kLevelWarning,
               "waveIn device %u: format not taken: tag %u, %u Hz, %u bits, %u channel(s), "
               "block %u, %u bytes/s: %s",
               deviceIndex, format.formatTag, format.samplesPerSec, format.bitsPerSample,
               format.channels, format.blockAlign, format.avgBytesPerSec, problem.c_str());
    return kWaveBadFormat;
  }
  uint32_t result = kMmError;
  std::unique_ptr<WaveInSource> source =
      openSource(devices[deviceIndex], deviceIndex, format, result);
  if (!source) {
    return result;
  }
  const std::string description = source->describe();
  auto device = std::make_shared<WaveInDevice>(deviceIndex, format, event, std::move(source));
  try {
    device->startThread();
  } catch (const JError& e) {
    logCaught(e);
    return kMmNoMemory;
  }
  HandleTable& table = handles();
  {
    std::lock_guard lock(table.mutex);
    const uintptr_t value = table.next;
    table.next += 0x10;
    table.devices.emplace(value, std::move(device));
    *handle = reinterpret_cast<WaveInHandle>(value);
  }
  JLog::logf(kLevelDebug, "waveIn device %u (%s) opened: %s, PCM %u Hz, %u bits, %u channel(s)",
             deviceIndex, kindName(devices[deviceIndex].kind), description.c_str(),
             format.samplesPerSec, format.bitsPerSample, format.channels);
  return kMmNoError;
}

uint32_t waveInPrepareHeader(WaveInHandle handle, WaveHeader* header) {
  const auto device = find(handle);
  return device ? device->prepare(header) : kMmInvalidHandle;
}

uint32_t waveInUnprepareHeader(WaveInHandle handle, WaveHeader* header) {
  const auto device = find(handle);
  return device ? device->unprepare(header) : kMmInvalidHandle;
}

uint32_t waveInAddBuffer(WaveInHandle handle, WaveHeader* header) {
  const auto device = find(handle);
  return device ? device->add(header) : kMmInvalidHandle;
}

uint32_t waveInStart(WaveInHandle handle) {
  const auto device = find(handle);
  return device ? device->start() : kMmInvalidHandle;
}

uint32_t waveInReset(WaveInHandle handle) {
  const auto device = find(handle);
  return device ? device->reset() : kMmInvalidHandle;
}

uint32_t waveInFillDue(WaveInHandle handle, bool* filled, uint32_t buffers) {
  const auto device = find(handle);
  return device ? device->fillDue(filled, buffers) : kMmInvalidHandle;
}

uint32_t waveInClose(WaveInHandle handle) {
  const auto device = find(handle);
  if (!device) {
    return kMmInvalidHandle;
  }
  const uint32_t result = device->close();
  if (result == kMmNoError) {
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    table.devices.erase(reinterpret_cast<uintptr_t>(handle));
  }
  return result;
}

uint32_t waveInGetStats(WaveInHandle handle, WaveInStats* stats) {
  const auto device = find(handle);
  return device ? device->stats(stats) : kMmInvalidHandle;
}

uint32_t waveInGetErrorText(uint32_t result, char* text, size_t size) {
  if (text == nullptr || size == 0) {
    return kMmInvalidParam;
  }
  const std::string_view found = result <= 0xFFFF ? waveInErrorText(result) : std::string_view();
  if (found.empty()) {
    text[0] = '\0';
    return kMmBadErrorNumber;
  }
  copyTruncated(text, size, std::string(found));
  return kMmNoError;
}

}  // namespace zq
