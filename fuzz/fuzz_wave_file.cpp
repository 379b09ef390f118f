// Fuzzes the WAVE file input (description, reading every block and looping)
// with arbitrary file contents, checking the property of
// file_input_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "file_input_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::FileInputOutcome outcome;
  const std::string failure = zq::fuzz::checkWaveFileProperty(data, size, outcome);
  if (!failure.empty()) {
    std::fprintf(stderr, "wave file property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
