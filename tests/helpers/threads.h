// Counting the threads of the test process.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace zq::test {

/// The threads of the process whose name starts with `namePrefix` (all of
/// them for an empty prefix). The system keeps 15 characters of a name.
inline size_t threadCount(std::string_view namePrefix = {}) {
  size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    if (!namePrefix.empty()) {
      std::getline(std::ifstream(task.path() / "comm"), name);
    }
    n += name.starts_with(namePrefix) ? 1 : 0;
  }
  return n;
}

}  // namespace zq::test
