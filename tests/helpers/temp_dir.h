// Directories of the test's own, removed with everything in them when the
// object goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace zq::test {

/// A fresh directory under the system's temporary directory.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zq-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

/// Points ZQ_REGISTRY_DIR at a fresh directory for the object's life.
class ScopedRegistryDir {
 public:
  ScopedRegistryDir() {
    if (const char* previous = std::getenv("ZQ_REGISTRY_DIR")) {
      previous_ = previous;
    }
    ::setenv("ZQ_REGISTRY_DIR", dir_.str().c_str(), 1);
  }
  ~ScopedRegistryDir() {
    previous_ ? ::setenv("ZQ_REGISTRY_DIR", previous_->c_str(), 1) : ::unsetenv("ZQ_REGISTRY_DIR");
  }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::optional<std::string> previous_;
};

}  // namespace zq::test
