// make_tone: writes an MP3 file of a sine tone with the system's own encoder,
// in the format the local AAM streams (a row of the bit-rate table), for
// demonstrations and for trying StreamFiles.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "base/error.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5 || std::string(argv[1]) == "--help") {
    std::fputs(
        "usage: make_tone OUT.mp3 [seconds (2)] [frequency Hz (440)] [bit rate (128000)]\n"
        "Writes a sine tone as MP3 frames of our encoder at a rate of its table.\n",
        argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  const double frequency = argc > 3 ? std::atof(argv[3]) : 440.0;
  const auto bitRate = static_cast<uint32_t>(argc > 4 ? std::atol(argv[4]) : 128000);
  uint32_t rate = 0;
  uint32_t channels = 0;
  if (seconds <= 0 || seconds > 3600 || frequency <= 0 || frequency >= 20000 ||
      !zq::lookupBitRate(bitRate, &rate, &channels, nullptr)) {
    std::fprintf(stderr, "make_tone: bad seconds, frequency or bit rate (a row of the table)\n");
    return 2;
  }
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  try {
    zq::JMP3Encoder encoder(bitRate, rate, channels, false);
    const uint32_t block = encoder.samplesPerFrame();
    std::vector<int16_t> pcm(size_t{block} * channels);
    std::vector<uint8_t> frame(encoder.frameSize() + 16);
    const uint8_t tag[3] = {0, 0, 0};
    const auto total = static_cast<uint64_t>(seconds * rate);
    for (uint64_t at = 0; at < total + 4 * block; at += block) {
      for (uint32_t i = 0; i < block; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * frequency * static_cast<double>(at + i) / rate);
        for (uint32_t c = 0; c < channels; ++c) {
          pcm[size_t{i} * channels + c] = static_cast<int16_t>(v * 32767);
        }
      }
      const int n = encoder.encode(pcm.data(), frame.data(), sizeof tag, tag);
      if (n > 0) {
        std::fwrite(frame.data(), 1, static_cast<size_t>(n), out);
      }
    }
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "make_tone: %s\n", e.message().c_str());
    std::fclose(out);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
