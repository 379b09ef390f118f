// Fuzzes the RIFF/WAVE header reader with arbitrary bytes, checking the
// property of wave_header_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "wave_header_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::WaveFileProblem problem;
  const std::string failure = zq::fuzz::checkWaveHeaderProperty(data, size, problem);
  if (!failure.empty()) {
    std::fprintf(stderr, "wave header property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
