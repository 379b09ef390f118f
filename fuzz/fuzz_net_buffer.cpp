// Fuzzes the packet reassembly with arbitrary datagram sequences, checking
// the property of net_buffer_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net_buffer_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = zq::fuzz::checkNetBufferProperty(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "net buffer property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
