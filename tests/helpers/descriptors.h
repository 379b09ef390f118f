// Running a test with few descriptors left: the soft limit that leaves a
// given number free, and a scope that lowers the limit to it.
#pragma once

#include <sys/resource.h>

namespace zq::test {

/// The descriptor limit that leaves exactly `free` numbers for new
/// descriptors, whatever is open now (with gaps, or far above the rest).
rlim_t limitLeaving(int free);

/// Lowers the soft descriptor limit for its life.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t limit);
  ~DescriptorLimit();
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

}  // namespace zq::test
