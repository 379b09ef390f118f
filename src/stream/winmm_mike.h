// WinmmMike: the sound card's input as an audio stream. A capture thread
// takes the blocks that a wave-input device (audio/wave_in.h) fills and
// publishes them, either as raw PCM (the device writes straight into the
// stream's buffers, no copy) or as MP3 frames encoded on the fly, each
// carrying a 3-byte tag with the capture's frame counter in its ancillary
// data, so that a receiver can count what it lost.
//
// In MP3 mode the device fills short periods (a power-of-two part of a
// frame's samples, 5 to 10 ms) and each is given to the encoder as it comes,
// so that a frame is published as soon as the encoder's look-ahead lets it
// out rather than at the end of the frame-long block after it; the first
// period is cut short so that a period ends just where each frame can
// leave. The frames, their key words, tags and time stamps are those whole
// blocks would give.
//
// Construction opens and starts the device and the thread; destruction is
// the only way to stop capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "audio/mp3_encoder.h"
#include "audio/wave_in.h"
#include "base/thread.h"
#include "base/waitable.h"
#include "stream/mike.h"

namespace zq {

class WinmmMike : public Mike, public JThread {
 public:
  /// Capture buffers in PCM mode; in MP3 mode, frames' worth of periods.
  static constexpr int kCaptureBuffers = 3;
  /// The longest MP3 capture period.
  static constexpr uint32_t kMaxPeriodMs = 10;
  /// The stream of each mode: buffer size, buffers, extra buffers.
  static constexpr size_t kMp3BufferSize = 1952 + 32;
  static constexpr int kMp3Buffers = 5;
  static constexpr int kMp3ExtraBuffers = 1;
  static constexpr int kPcmBuffers = 8;
  static constexpr int kPcmExtraBuffers = 3;

  /// PCM mode: captures `format` (samples per block is the chunk) from
  /// `deviceNumber` (counted from 1: device 1 is the first of the list).
  /// Throws JSysError "waveInOpen" (a wave-input code) and the like when the
  /// device refuses; nothing is left running then.
  WinmmMike(const AudioFormat& format, int deviceNumber, std::string_view traceName = {});
  /// MP3 mode at `bitRate` bit/s. With `sampleRate` and `channels` both 0
  /// they come from the bit-rate table (JTextError "unsupported MP3 bitrate"
  /// when the rate is not in it); with only `channels` 0 it becomes 1.
  WinmmMike(int deviceNumber, uint32_t bitRate, uint32_t sampleRate, uint32_t channels,
            bool reservoir, std::string_view traceName = {});
  /// Stops the thread, resets and closes the device, gives back every
  /// buffer. Owner's thread.
  ~WinmmMike() override;

  /// "WinmmMike.<anything>" answers -3; other prefixes go to the stream.
  int control(const char* command, char* answer, size_t answerSize) override;

  bool mp3Mode() const { return encoder_ != nullptr; }
  /// The format the device captures.
  const WaveFormat& captureFormat() const { return format_; }
  /// Samples per block: a PCM frame, or the encoder's frame.
  uint32_t chunk() const { return chunk_; }
  /// Samples per capture buffer: the chunk in PCM mode, a part of it in
  /// MP3 mode.
  uint32_t period() const { return period_; }
  /// Samples of the first capture buffer: in MP3 mode as many as put every
  /// later buffer's end where a frame leaves the encoder (the period when
  /// that is not known, or with the reservoir).
  uint32_t firstPeriod() const { return firstPeriod_; }
  /// 0 capturing, 1 stop requested, 2 thread ended. Any thread.
  int state() const { return state_.load(std::memory_order_acquire); }
  /// Frames published so far. Any thread.
  uint32_t framesPublished() const { return published_.load(std::memory_order_relaxed); }

 protected:
  void run() override;

 private:
  struct Setup;
  WinmmMike(Setup setup, int deviceNumber, std::string_view traceName);
  static Setup pcmSetup(const AudioFormat& format);
  static Setup mp3Setup(uint32_t bitRate, uint32_t sampleRate, uint32_t channels, bool reservoir);

  void openDevice(int deviceNumber);
  void queueBuffer(WaveHeader& header);
  void captureLoop();
  void encodePeriod(WaveHeader& header);
  // Publishes the frame the part completes, if any: whether it did.
  bool encodePart(const int16_t* samples, uint32_t part);
  void publishBlock(int slot);
  void closeDevice();
  uint32_t bufferBytes() const { return format_.blockAlign * period_; }
  int buffers() const { return static_cast<int>(entries_.size()); }

  WaveInHandle device_ = nullptr;
  WaveFormat format_{};
  uint32_t chunk_ = 0;
  uint32_t period_ = 0;
  uint32_t firstPeriod_ = 0;
  std::unique_ptr<JMP3Encoder> encoder_;
  std::unique_ptr<WaveHeader[]> headers_;
  // PCM mode: the stream entry that each capture buffer is; MP3 mode: -2.
  std::vector<int> entries_;
  std::vector<std::unique_ptr<uint8_t[]>> mp3Blocks_;
  std::vector<bool> prepared_;
  int nextBuffer_ = 0;
  JFlag done_{false, false};
  std::atomic<int> state_{0};
  // The capture thread's own.
  uint32_t counter_ = 0;
  uint8_t* held_ = nullptr;
  // MP3 mode: periods encoded since the last frame came out of the
  // encoder, or kNotYetPublished before the first.
  static constexpr uint32_t kNotYetPublished = UINT32_MAX;
  uint32_t sincePublished_ = kNotYetPublished;
  int64_t startUs_ = 0;
  std::atomic<uint32_t> published_{0};
};

}  // namespace zq
