// The descriptor limit helpers over /proc/self/fd and setrlimit.
#include "helpers/descriptors.h"

#include <filesystem>
#include <set>
#include <string>

namespace zq::test {

rlim_t limitLeaving(int free) {
  std::set<int> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    open.insert(std::stoi(entry.path().filename().string()));
  }
  int n = 0;
  for (int left = free; left > 0; ++n) {
    if (open.count(n) == 0) {
      --left;
    }
  }
  return static_cast<rlim_t>(n);
}

DescriptorLimit::DescriptorLimit(rlim_t limit) {
  ::getrlimit(RLIMIT_NOFILE, &saved_);
  rlimit lowered = saved_;
  lowered.rlim_cur = limit;
  ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
}

DescriptorLimit::~DescriptorLimit() {
  ::setrlimit(RLIMIT_NOFILE, &saved_);
}

}  // namespace zq::test
