// JMP3Encoder: drives the encoder library and hands its output to the repack.
#include "audio/mp3_encoder.h"

#include <lame/lame.h>

#include <cstddef>
#include <vector>

#include "base/error.h"

namespace zq {
namespace {

constexpr uint32_t kMinLibraryBitRate = 8000;

// The library's settings for our frames: free format at `libraryRate`.
bool setUp(lame_t lame, uint32_t libraryRate, uint32_t sampleRate, uint32_t channels,
           bool reservoir) {
  const int rate = static_cast<int>(sampleRate);
  lame_set_in_samplerate(lame, rate);
  lame_set_out_samplerate(lame, rate);
  lame_set_num_channels(lame, static_cast<int>(channels));
  lame_set_quality(lame, 5);
  lame_set_mode(lame, channels == 2 ? JOINT_STEREO : MONO);
  lame_set_brate(lame, static_cast<int>(libraryRate / 1000));
  lame_set_VBR(lame, vbr_off);
  lame_set_disable_reservoir(lame, reservoir ? 0 : 1);
  lame_set_free_format(lame, 1);
  lame_set_bWriteVbrTag(lame, 0);  // no Info frame: every frame is audio
  return lame_init_params(lame) >= 0;
}

}  // namespace

void JMP3Encoder::LameClose::operator()(lame_global_struct* context) const {
  lame_close(context);
}

JMP3Encoder::JMP3Encoder() : lame_(lame_init()) {}

JMP3Encoder::JMP3Encoder(uint32_t bitRate, uint32_t sampleRate, uint32_t channels, bool reservoir)
    : lame_(lame_init()) {
  initialise(bitRate, sampleRate, channels, reservoir);
}

JMP3Encoder::JMP3Encoder(const Mp3EncoderConfig& config)
    : JMP3Encoder(config.bitRate, config.sampleRate, config.channels, config.reservoir) {}

JMP3Encoder::~JMP3Encoder() = default;

void JMP3Encoder::initialise(uint32_t bitRate, uint32_t sampleRate, uint32_t channels,
                             bool reservoir) {
  lame_t lame = lame_.get();
  // The library takes ints; figures beyond them are refused like any other
  // it cannot encode.
  constexpr uint32_t kIntMax = 0x7FFFFFFF;
  if (lame == nullptr || bitRate > kIntMax || sampleRate > kIntMax || sampleRate == 0 ||
      channels < 1 || channels > 2) {
    throw JTextError("lame init params failed");
  }
  // The stock library may pad frames but cannot carry caller bytes: it
  // encodes in free format just below the target and the repack makes
  // target frames of its output.
  int version = 0;
  switch (sampleRate) {
    case 32000:
    case 44100:
    case 48000:
      version = 1;
      break;
    case 16000:
    case 22050:
    case 24000:
      version = 2;
      break;
    default:
      version = 3;
      break;
  }
  // Below 8 kbit/s the library stops on an assertion instead of refusing.
  const uint32_t source = reducedBitRate(bitRate, sampleRate, version);
  if (source < kMinLibraryBitRate) {
    throw JTextError("lame init params failed");
  }
  if (!setUp(lame, source, sampleRate, channels, reservoir)) {
    throw JTextError("lame init params failed");
  }
  sampleRate_ = static_cast<uint32_t>(lame_get_out_samplerate(lame));
  // The library says 0 for MPEG-2 and MPEG 2.5 alike: the rate tells them
  // apart.
  mpegVersion_ = lame_get_version(lame) == 1 ? 1 : sampleRate_ < 16000 ? 3 : 2;
  channels_ = static_cast<uint32_t>(lame_get_num_channels(lame));
  if (mpegVersion_ != version || sampleRate_ != sampleRate) {
    throw JTextError("lame init params failed");
  }
  bitRate_ = bitRate;
  reservoir_ = reservoir;
  frameGeometry(sampleRate_, bitRate_, mpegVersion_, &samplesPerFrame_, &frameSize_);
  repacker_ = std::make_unique<Mp3FrameRepacker>(bitRate_, sampleRate_, channels_, mpegVersion_,
                                                 reservoir);
  if (!reservoir) {
    firstFrameAfter_ = measureFirstFrame(source, channels);
  }
}

// The library keeps what it was given until its look-ahead is full, which
// is nowhere in its interface: an instance of the same settings is fed
// silence a sample at a time until it gives its first frame. A frame then
// comes every samplesPerFrame_ samples.
uint32_t JMP3Encoder::measureFirstFrame(uint32_t libraryRate, uint32_t channels) const {
  const std::unique_ptr<lame_global_struct, LameClose> probe(lame_init());
  if (probe == nullptr || !setUp(probe.get(), libraryRate, sampleRate_, channels, false)) {
    return 0;
  }
  short silence[2] = {0, 0};
  std::vector<uint8_t> out(Mp3FrameRepacker::kStagingSize);
  for (uint32_t fed = 1; fed <= 4 * samplesPerFrame_; ++fed) {
    const int n = lame_encode_buffer_interleaved(probe.get(), silence, 1, out.data(),
                                                 static_cast<int>(out.size()));
    if (n > 0) {
      return fed;
    }
    if (n < 0) {
      return 0;
    }
  }
  return 0;
}

int JMP3Encoder::encode(const int16_t* pcm, uint8_t* out, size_t ancillaryLength,
                        const uint8_t* ancillary) {
  return encodePart(pcm, samplesPerFrame_, out, ancillaryLength, ancillary);
}

int JMP3Encoder::encodePart(const int16_t* pcm, uint32_t part, uint8_t* out, size_t ancillaryLength,
                            const uint8_t* ancillary) {
  lame_t lame = lame_.get();
  // The library does not write to the samples; its prototypes just lack const.
  short* samples = const_cast<short*>(pcm);
  const int count = static_cast<int>(part);
  if (!repacker_) {
    uint8_t none[1];
    return lame_encode_buffer(lame, samples, samples, count, none, 0);
  }
  if (part == 0 || part > samplesPerFrame_ - blockFed_) {
    return -1;
  }
  const int room = static_cast<int>(repacker_->spaceSize());
  const int written =
      channels_ == 2
          ? lame_encode_buffer_interleaved(lame, samples, count, repacker_->space(), room)
          : lame_encode_buffer(lame, samples, samples, count, repacker_->space(), room);
  if (written < 0) {
    return written;
  }
  repacker_->commit(static_cast<size_t>(written));
  blockFed_ += part;
  const bool blockEnd = blockFed_ == samplesPerFrame_;
  if (blockEnd) {
    blockFed_ = 0;
  }
  // With the reservoir, how many library frames the repack lays out in one
  // go decides which caller bytes they carry: it keeps to whole blocks.
  if (reservoir_ && !blockEnd) {
    return 0;
  }
  return repacker_->next(out, ancillaryLength, ancillary);
}

std::vector<uint8_t> stockSilentFrame(uint32_t bitRate, uint32_t sampleRate, uint32_t channels) {
  std::unique_ptr<lame_global_struct, decltype(&lame_close)> lame(lame_init(), &lame_close);
  if (lame == nullptr || bitRate < kMinLibraryBitRate || bitRate > 640000 || sampleRate == 0 ||
      sampleRate > 48000 || channels < 1 || channels > 2) {
    return {};
  }
  lame_set_in_samplerate(lame.get(), static_cast<int>(sampleRate));
  lame_set_out_samplerate(lame.get(), static_cast<int>(sampleRate));
  lame_set_num_channels(lame.get(), static_cast<int>(channels));
  lame_set_mode(lame.get(), channels == 2 ? JOINT_STEREO : MONO);
  lame_set_brate(lame.get(), static_cast<int>(bitRate / 1000));
  lame_set_VBR(lame.get(), vbr_off);
  lame_set_disable_reservoir(lame.get(), 1);
  lame_set_bWriteVbrTag(lame.get(), 0);
  if (lame_init_params(lame.get()) < 0 ||
      static_cast<uint32_t>(lame_get_out_samplerate(lame.get())) != sampleRate) {
    return {};
  }
  const int version = lame_get_version(lame.get()) == 1 ? 1 : sampleRate < 16000 ? 3 : 2;
  uint32_t samples = 0;
  uint32_t size = 0;
  frameGeometry(sampleRate, bitRate, version, &samples, &size);
  // The interleaved call reads two samples per instant, mono or not.
  std::vector<short> silence(size_t{samples} * 2, 0);
  std::vector<uint8_t> out(16384);
  // The library's delay holds the first frames back; each call hands over
  // whole frames, padded or not, and the first unpadded one is taken.
  for (int call = 0; call < 64; ++call) {
    const int n =
        lame_encode_buffer_interleaved(lame.get(), silence.data(), static_cast<int>(samples),
                                       out.data(), static_cast<int>(out.size()));
    bool padding = false;
    for (size_t at = 0; n > 0 && at + size <= static_cast<size_t>(n); at += size + padding) {
      uint32_t rate = 0;
      if (!parseFrameHeader(out.data() + at, &rate, nullptr, nullptr, nullptr, &padding, nullptr) ||
          rate != bitRate) {
        return {};
      }
      if (!padding) {
        return {out.begin() + static_cast<std::ptrdiff_t>(at),
                out.begin() + static_cast<std::ptrdiff_t>(at + size)};
      }
    }
  }
  return {};
}

}  // namespace zq
