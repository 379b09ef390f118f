// CaptureBoard: an audio capture board that codes MP3 itself, as the board
// inputs of a surveillance system do, and the process-wide list of the
// boards present, looked up by number.
//
// No board driver exists on Linux here: the list is empty unless someone
// registers a board, and the one board there is, SimulatedCaptureBoard
// (simulated_board.h), stands in for one in tests and demonstrations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace zq {

/// Frames coming off a board: called on the board's own thread with one whole
/// MP3 frame and the time it was captured (wall clock, microseconds).
using BoardFrameSink = std::function<void(const uint8_t* frame, size_t size, int64_t timeUs)>;

class CaptureBoard {
 public:
  /// Analog inputs of the board.
  enum Input { kLineInput = 0, kMicrophoneInput = 1 };

  /// A running MP3 capture: frames reach its sink until it is destroyed.
  class Capture {
   public:
    virtual ~Capture() = default;
  };

  virtual ~CaptureBoard() = default;

  /// The board's number in the list.
  virtual int number() const = 0;
  /// Chooses the analog input that the coder hears.
  virtual void selectInput(Input input) = 0;
  /// The board's text command channel ("<register>=<value>" sets,
  /// "<register>?" queries): 0 done with the reply in `answer`, -3 unknown
  /// register, -5 malformed. Any thread.
  virtual int control(const char* command, char* answer, size_t answerSize) = 0;
  /// Bytes a frame buffer of the board needs beyond the frame itself.
  virtual uint32_t frameExtraBytes() const = 0;
  /// Starts coding at `bitRate` (bit/s, a rate of the MP3 table): every frame
  /// goes to `sink` until the returned object is destroyed. Throws JTextError
  /// when the board cannot code that rate.
  virtual std::unique_ptr<Capture> startMp3(uint32_t bitRate, BoardFrameSink sink) = 0;
};

/// The board with that number, or null when none is present. The board stays
/// valid while the caller holds the pointer.
std::shared_ptr<CaptureBoard> findCaptureBoard(int number);
/// Adds a board to the list (replacing one of the same number).
void registerCaptureBoard(std::shared_ptr<CaptureBoard> board);
/// Takes the board of that number off the list.
void unregisterCaptureBoard(int number);

}  // namespace zq
