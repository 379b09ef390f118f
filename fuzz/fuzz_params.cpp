// Fuzzes the parameter parser with arbitrary bytes, checking the
// parse/write/parse property of params_property.h on every input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "params_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = zq::fuzz::checkParamsProperty(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "params property failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
