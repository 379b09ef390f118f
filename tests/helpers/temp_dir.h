// A directory of the test's own under the system's temporary directory,
// removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace zq::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

/// Points ZQ_REGISTRY_DIR at a fresh directory for the object's life, so that
/// the test reads and writes a registry of its own.
class ScopedRegistryDir {
 public:
  ScopedRegistryDir();
  ~ScopedRegistryDir();
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_;
};

}  // namespace zq::test
