// SimulatedCaptureBoard: a capture board without hardware, for tests and
// demonstrations. Its coder hears a sine on both inputs and codes it with our
// own MP3 encoder in real time; its command channel is a register file of the
// coder's registers:
//   "Quorvanta2.MAS3587.Left Amplifier Gain", "...Right Amplifier Gain",
//   "...Micro Amplifier Gain" (0 to 15), "...Volume" (-115 to 12), and the
//   read-only "...Input Quasi-Peak Left-Right" (the input's peak level, 15
//   bits per channel, right channel in the high half).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "audio/capture_board.h"

namespace zq {

class SimulatedCaptureBoard : public CaptureBoard {
 public:
  /// A board of that number whose inputs carry a sine of `frequencyHz` at
  /// `level` (0 to 1 of full scale).
  SimulatedCaptureBoard(int number, double frequencyHz = 1000.0, double level = 0.5);

  int number() const override { return number_; }
  void selectInput(Input input) override;
  int control(const char* command, char* answer, size_t answerSize) override;
  uint32_t frameExtraBytes() const override { return kFrameExtraBytes; }
  std::unique_ptr<Capture> startMp3(uint32_t bitRate, BoardFrameSink sink) override;

  Input input() const;
  static constexpr uint32_t kFrameExtraBytes = 16;

 private:
  class Mp3Capture;
  const int number_;
  const double frequencyHz_;
  const double level_;
  mutable std::mutex mutex_;
  Input input_ = kLineInput;
  std::map<std::string, int> registers_;
};

}  // namespace zq
