// A private sound server for the tests of the ALSA paths (scripts/sound-server:
// PulseAudio with one null sink), a recorder of what its sink plays, and what
// a test hears in such a recording. Each server has a directory of its own;
// while one runs, this process's PULSE_SERVER names it, so that ALSA's
// "pulse:..." PCMs, in this process and in the children it starts, reach it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "helpers/child_process.h"
#include "helpers/temp_dir.h"

namespace zq::test {

/// Why no sound server can run here ("" when one can): what is missing.
std::string soundServerMissing();

class SoundServer {
 public:
  static constexpr uint32_t kRate = 44100;  // the sink's, 2 channels
  static constexpr const char* kPlayback = "pulse:zq_null";
  static constexpr const char* kCapture = "pulse:zq_null.monitor";

  /// Starts it; running() says whether it answered.
  SoundServer();
  ~SoundServer();
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  bool running() const { return server_ != nullptr; }
  /// As a crash: SIGKILL, the socket left behind.
  void kill();
  /// Starts it (again, in the same directory); false when it did not answer
  /// within 20 s.
  bool start();
  const std::string& dir() const { return path_; }

 private:
  TempDir dir_;
  const std::string path_ = dir_.str();
  std::unique_ptr<Child> server_;
};

/// parecord of the sink's monitor, 16-bit stereo at the sink's rate. Ready
/// once the first bytes came: the idle sink's long block is over, what plays
/// from then on is recorded as it plays.
class Recorder {
 public:
  explicit Recorder(const SoundServer& server);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  bool ready() const { return ready_; }
  /// Waits (bounded) until `seconds` more have been recorded.
  bool waitFor(double seconds);
  /// The interleaved samples recorded so far.
  std::vector<int16_t> samples() const;
  /// Ends the recording: its interleaved samples.
  std::vector<int16_t> stop();

 private:
  uintmax_t recorded() const;  // bytes

  std::string path_;
  std::unique_ptr<Child> parecord_;
  bool ready_ = false;
};

/// A tone in a recording of `channels` interleaved: where it sounds on the
/// first channel (above a tenth of full scale), its frequency there, and the
/// glitches in it (each gap, jump or repeat breaks the rhythm of its zero
/// crossings once).
struct Heard {
  double seconds = 0;    // from its first sound to its last
  double sounding = 0;   // the same, less its silences of 10 ms or more
  double frequency = 0;  // Hz, on the left channel
  size_t glitches = 0;
};
Heard listen(const std::vector<int16_t>& samples, uint32_t rate = SoundServer::kRate,
             size_t channels = 2);

}  // namespace zq::test
