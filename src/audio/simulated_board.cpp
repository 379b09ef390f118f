// SimulatedCaptureBoard: the register file and the coding thread.
#include "audio/simulated_board.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "base/error.h"
#include "base/jtime.h"

namespace zq {

namespace {

constexpr std::string_view kPrefix = "Quorvanta2.MAS3587.";
constexpr std::string_view kQuasiPeak = "Input Quasi-Peak Left-Right";

struct Range {
  int low;
  int high;
};

const std::map<std::string, Range, std::less<>>& registerRanges() {
  static const std::map<std::string, Range, std::less<>> ranges = {
      {"Left Amplifier Gain", {0, 15}},
      {"Right Amplifier Gain", {0, 15}},
      {"Micro Amplifier Gain", {0, 15}},
      {"Volume", {-115, 12}},
  };
  return ranges;
}

int writeAnswer(int value, char* answer, size_t answerSize) {
  const int written = std::snprintf(answer, answerSize, "%d", value);
  return written < 0 || static_cast<size_t>(written) >= answerSize ? -5 : 0;
}

}  // namespace

// Codes the sine in real time on a thread of its own: one frame's worth of
// samples per frame period, paced on the monotonic clock.
class SimulatedCaptureBoard::Mp3Capture : public CaptureBoard::Capture {
 public:
  Mp3Capture(uint32_t bitRate, double frequencyHz, double level, BoardFrameSink sink)
      : sink_(std::move(sink)), frequencyHz_(frequencyHz), level_(level) {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    if (!lookupBitRate(bitRate, &sampleRate, &channels, nullptr)) {
      throw JTextError("unsupported MP3 bitrate");
    }
    encoder_ = std::make_unique<JMP3Encoder>(bitRate, sampleRate, channels, false);
    thread_ = std::thread([this] { run(); });
  }
  ~Mp3Capture() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    const uint32_t samples = encoder_->samplesPerFrame();
    const uint32_t channels = encoder_->channels();
    const double rate = encoder_->sampleRate();
    std::vector<int16_t> pcm(size_t{samples} * channels);
    std::vector<uint8_t> frame(encoder_->frameSize() + 1);
    const auto period = std::chrono::duration<double>(samples / rate);
    const auto start = std::chrono::steady_clock::now();
    uint64_t sample = 0;
    for (uint64_t block = 1;; ++block) {
      {
        std::unique_lock lock(mutex_);
        const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     period * static_cast<double>(block));
        if (wake_.wait_until(lock, due, [this] { return stop_; })) {
          return;
        }
      }
      for (uint32_t i = 0; i < samples; ++i, ++sample) {
        const double value =
            level_ * 32767.0 *
            std::sin(2.0 * M_PI * frequencyHz_ * static_cast<double>(sample) / rate);
        for (uint32_t c = 0; c < channels; ++c) {
          pcm[size_t{i} * channels + c] = static_cast<int16_t>(std::lround(value));
        }
      }
      const int length = encoder_->encode(pcm.data(), frame.data(), 0, nullptr);
      if (length > 0) {
        sink_(frame.data(), static_cast<size_t>(length), wallClockNow());
      }
    }
  }

  BoardFrameSink sink_;
  const double frequencyHz_;
  const double level_;
  std::unique_ptr<JMP3Encoder> encoder_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

SimulatedCaptureBoard::SimulatedCaptureBoard(int number, double frequencyHz, double level)
    : number_(number), frequencyHz_(frequencyHz), level_(level) {
  for (const auto& [name, range] : registerRanges()) {
    registers_[name] = range.low < 0 ? 0 : range.low;
  }
}

void SimulatedCaptureBoard::selectInput(Input input) {
  std::lock_guard lock(mutex_);
  input_ = input;
}

CaptureBoard::Input SimulatedCaptureBoard::input() const {
  std::lock_guard lock(mutex_);
  return input_;
}

int SimulatedCaptureBoard::control(const char* command, char* answer, size_t answerSize) {
  std::string_view text(command);
  if (!text.starts_with(kPrefix)) {
    return -3;
  }
  text.remove_prefix(kPrefix.size());
  const size_t equals = text.find('=');
  const bool query = equals == std::string_view::npos && text.ends_with('?');
  if (!query && equals == std::string_view::npos) {
    return -5;
  }
  const std::string_view name = query ? text.substr(0, text.size() - 1) : text.substr(0, equals);
  std::lock_guard lock(mutex_);
  if (query && name == kQuasiPeak) {
    const int peak = static_cast<int>(std::lround(level_ * 32767.0)) & 0x7FFF;
    return writeAnswer(peak | (peak << 16), answer, answerSize);
  }
  const auto range = registerRanges().find(name);
  if (range == registerRanges().end()) {
    return -3;
  }
  int& value = registers_.find(range->first)->second;
  if (query) {
    return writeAnswer(value, answer, answerSize);
  }
  const std::string_view digits = text.substr(equals + 1);
  int parsed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (error != std::errc() || end != digits.data() + digits.size() || parsed < range->second.low ||
      parsed > range->second.high) {
    return -5;
  }
  value = parsed;
  if (answerSize > 0) {
    answer[0] = '\0';
  }
  return 0;
}

std::unique_ptr<CaptureBoard::Capture> SimulatedCaptureBoard::startMp3(uint32_t bitRate,
                                                                       BoardFrameSink sink) {
  return std::make_unique<Mp3Capture>(bitRate, frequencyHz_, level_, std::move(sink));
}

}  // namespace zq
