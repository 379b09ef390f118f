// Fuzzes the stream objects' command interface with arbitrary texts,
// checking the property of control_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "control_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = zq::fuzz::checkControlProperty(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "control property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
