// HardMike: a capture board's input as an audio stream. The board codes MP3
// itself (audio/capture_board.h); HardMike describes the stream, gives each
// frame the board delivers its key word and time stamp and publishes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "audio/capture_board.h"
#include "stream/mike.h"

namespace zq {

class HardMike : public Mike {
 public:
  static constexpr int kBuffers = 5;
  static constexpr int kExtraBuffers = 1;

  /// Starts the board coding at `bitRate` (JTextError "unsupported MP3
  /// bitrate" when the rate is not in the table). The stream's description
  /// is the MP3 description with the frame size of the rate's geometry.
  HardMike(std::shared_ptr<CaptureBoard> board, uint32_t bitRate, std::string_view traceName = {});
  /// Stops the board's coding before the stream goes.
  ~HardMike() override;

  /// "HardMike.<anything>" answers -3 (-5 when malformed); other prefixes go
  /// to the stream, then to the board.
  int control(const char* command, char* answer, size_t answerSize) override;

  CaptureBoard& board() const { return *board_; }
  /// Frames published so far. Any thread.
  uint32_t framesPublished() const { return published_.load(std::memory_order_relaxed); }

 private:
  void onFrame(const uint8_t* frame, size_t size, int64_t timeUs);

  std::shared_ptr<CaptureBoard> board_;
  std::unique_ptr<CaptureBoard::Capture> capture_;
  std::atomic<uint32_t> published_{0};
  uint32_t counter_ = 0;  // the board thread's
};

}  // namespace zq
