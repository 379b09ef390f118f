// Mp3Decoder: MP3 frames to 16-bit PCM, one frame at a time, with libmpg123
// in feed mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct mpg123_handle_struct;

namespace zq::zqoutput {

/// Concurrency: one thread at a time.
class Mp3Decoder {
 public:
  /// Throws JTextError when the library cannot be set up.
  Mp3Decoder();
  ~Mp3Decoder();
  Mp3Decoder(const Mp3Decoder&) = delete;
  Mp3Decoder& operator=(const Mp3Decoder&) = delete;

  /// Feeds one frame and appends the samples it gives (interleaved) to
  /// `out`; false when the library reports an error (the frame is lost).
  bool decode(const uint8_t* frame, size_t size, std::vector<int16_t>& out);
  /// Forgets every byte fed and the format, as a new decoder: a stream
  /// starts here. Throws JTextError when the library cannot start again.
  void reset();

  /// The output format of the last samples (0 before any).
  long sampleRate() const { return rate_; }
  int channels() const { return channels_; }

 private:
  void open();

  mpg123_handle_struct* handle_ = nullptr;
  long rate_ = 0;
  int channels_ = 0;
};

}  // namespace zq::zqoutput
