// Linked into every fuzzer: before the first input, ZQ_REGISTRY_DIR points at
// a fresh directory of the fuzzer's own (unless the caller set one). The code
// under test logs what it refuses, and the logging reads its configuration
// from the registry: none of that may touch the machine's own registry.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

std::string& scratchDir() {
  static std::string dir;
  return dir;
}

void removeScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchDir(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (::getenv("ZQ_REGISTRY_DIR") == nullptr) {
    char dir[] = "/tmp/zq-fuzz-XXXXXX";
    if (::mkdtemp(dir) != nullptr) {
      scratchDir() = dir;
      ::setenv("ZQ_REGISTRY_DIR", dir, 1);
      ::atexit(removeScratchDir);
    }
  }
  return 0;
}
