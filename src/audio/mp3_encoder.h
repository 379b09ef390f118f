// JMP3Encoder: PCM blocks in, whole MP3 frames of the target bit rate out,
// each stamped with a few caller bytes in its ancillary data. The capture
// sources are its users: they stamp every frame with a 3-byte tag.
//
// The encoder library (LAME, unpatched) cannot write caller bytes into its
// frames, so it encodes in free format at a slightly lower rate and an
// Mp3FrameRepacker rewrites its frames to the target (see mp3_frame.h).
// Every query answers the target figures: the frames say the target rate,
// and so does the stream description built from them.
//
// Concurrency: an encoder belongs to one thread; nothing in it is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_frame.h"

struct lame_global_struct;

namespace zq {

/// What an encoder is made with.
struct Mp3EncoderConfig {
  uint32_t bitRate;     // bit/s
  uint32_t sampleRate;  // Hz
  uint32_t channels;    // 1 or 2
  bool reservoir;       // the bit reservoir on
};

class JMP3Encoder : public JMP3 {
 public:
  /// Only the library context: every query answers 0 and encode() returns
  /// the library's refusal (a negative result).
  JMP3Encoder();
  /// Initialises the encoder; throws JTextError "lame init params failed"
  /// when the library (or the repack) refuses the figures.
  JMP3Encoder(uint32_t bitRate, uint32_t sampleRate, uint32_t channels, bool reservoir);
  explicit JMP3Encoder(const Mp3EncoderConfig& config);
  /// Drops whatever output is still held: nothing is flushed.
  ~JMP3Encoder() override;

  JMP3Encoder(const JMP3Encoder&) = delete;
  JMP3Encoder& operator=(const JMP3Encoder&) = delete;

  uint32_t samplesPerFrame() const override { return samplesPerFrame_; }
  uint32_t frameSize() const override { return frameSize_; }
  uint32_t sampleRate() const override { return sampleRate_; }
  uint32_t channels() const override { return channels_; }
  uint32_t bitRate() const override { return bitRate_; }
  int mpegVersion() const override { return mpegVersion_; }

  /// Encodes one block of samplesPerFrame() samples (16-bit, interleaved when
  /// stereo) and writes at most one frame of frameSize() bytes to `out`.
  /// Returns the frame's length, 0 when no whole frame is ready yet (the
  /// library's delay, and with the reservoir the repack's), or the library's
  /// negative result. The first min(ancillaryLength, ancillaryRoom()) bytes
  /// of `ancillary` are written right after the main data of every frame laid
  /// out during this call: with the reservoir off that is the frame this call
  /// returns; with it on, a frame comes out a few calls after it was laid
  /// out, so the bytes given run behind the frames returned by that many
  /// calls. Throws JTextError "MP3 encoder jammed" when the library's output
  /// cannot be read as frames (the output stays held).
  int encode(const int16_t* pcm, uint8_t* out, size_t ancillaryLength, const uint8_t* ancillary);
  /// The same block given in parts as they are captured: `part` samples
  /// (1 to what is left of the block). With the reservoir off a frame comes
  /// out of the part during which the library gives it, instead of at the
  /// end of the block; with it on, frames are laid out only at the block's
  /// last part, as encode() does. Either way the frames, and the caller bytes
  /// they carry, are those whole blocks give when the bytes passed change
  /// only as frames come out (a frame counter): with the reservoir off at
  /// most one frame comes out of a block. Returns as encode() does; the
  /// library's refusal (-1) for a part beyond the block.
  int encodePart(const int16_t* pcm, uint32_t part, uint8_t* out, size_t ancillaryLength,
                 const uint8_t* ancillary);

  /// The caller bytes every frame carries at most (3 or more); 0 when not
  /// initialised.
  size_t ancillaryRoom() const { return repacker_ ? repacker_->ancillaryRoom() : 0; }
  /// With the reservoir off: the samples after which the first frame comes
  /// out (the library's look-ahead, measured as the encoder is made); the
  /// next come a block apart. 0 with the reservoir on, or not known.
  uint32_t firstFrameAfter() const { return firstFrameAfter_; }
  /// Samples still to give of the current block: a part may take no more.
  uint32_t blockLeft() const { return samplesPerFrame_ - blockFed_; }

 private:
  struct LameClose {
    void operator()(lame_global_struct* context) const;
  };

  void initialise(uint32_t bitRate, uint32_t sampleRate, uint32_t channels, bool reservoir);
  uint32_t measureFirstFrame(uint32_t libraryRate, uint32_t channels) const;

  std::unique_ptr<lame_global_struct, LameClose> lame_;
  // Holds the 3392-byte staging buffer for the library's output.
  std::unique_ptr<Mp3FrameRepacker> repacker_;
  uint32_t samplesPerFrame_ = 0;
  uint32_t frameSize_ = 0;
  uint32_t sampleRate_ = 0;
  uint32_t channels_ = 0;
  uint32_t bitRate_ = 0;
  int mpegVersion_ = 0;
  bool reservoir_ = false;
  uint32_t blockFed_ = 0;  // samples of the current block given so far
  uint32_t firstFrameAfter_ = 0;
};

/// One frame of silence as the stock library writes it at a standard bit
/// rate (header, side information, the library's name and stuffing; no
/// caller bytes, no repack): for the rates whose frames it writes unpadded.
/// Empty when the library refuses the figures or pads every frame.
std::vector<uint8_t> stockSilentFrame(uint32_t bitRate, uint32_t sampleRate, uint32_t channels);

}  // namespace zq
