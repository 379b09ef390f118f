// Temporary directories and per-test registry directories.
#include "helpers/temp_dir.h"

#include <cstdlib>
#include <stdexcept>

namespace zq::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zq-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedRegistryDir::ScopedRegistryDir() {
  const char* previous = std::getenv("ZQ_REGISTRY_DIR");
  hadPrevious_ = previous != nullptr;
  if (hadPrevious_) {
    previous_ = previous;
  }
  ::setenv("ZQ_REGISTRY_DIR", dir_.str().c_str(), 1);
}

ScopedRegistryDir::~ScopedRegistryDir() {
  if (hadPrevious_) {
    ::setenv("ZQ_REGISTRY_DIR", previous_.c_str(), 1);
  } else {
    ::unsetenv("ZQ_REGISTRY_DIR");
  }
}

}  // namespace zq::test
