// Running a test with few descriptors left.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <iterator>
#include <set>

namespace zq::test {

/// How many descriptors the process holds now.
inline size_t openDescriptors() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

/// The soft limit that leaves exactly `free` numbers for new descriptors.
inline rlim_t limitLeaving(int free) {
  std::set<int> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    open.insert(std::stoi(entry.path().filename().string()));
  }
  int n = 0;
  for (; free > 0; ++n) {
    free -= open.count(n) == 0 ? 1 : 0;
  }
  return static_cast<rlim_t>(n);
}

/// Lowers the soft limit to `limit` for the object's life; ok() if it could.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const rlimit lowered{limit, saved_.rlim_max};
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

}  // namespace zq::test
