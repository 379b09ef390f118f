// Fuzzes the MP3 file input (description, reading every frame, seeking and
// looping) with arbitrary file contents, checking the property of
// file_input_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "file_input_property.h"

// The readers log what they find wrong in a file: into a registry of the
// fuzzer's own, never the machine's.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("ZQ_REGISTRY_DIR") == nullptr) {
    char dir[] = "/tmp/zq-fuzz-XXXXXX";
    if (::mkdtemp(dir) != nullptr) {
      ::setenv("ZQ_REGISTRY_DIR", dir, 1);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::FileInputOutcome outcome;
  const std::string failure = zq::fuzz::checkMp3FileProperty(data, size, outcome);
  if (!failure.empty()) {
    std::fprintf(stderr, "mp3 file property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
