// The main of every test program: GoogleTest's, except that a program run
// by hand, without ZQ_REGISTRY_DIR (ctest sets one), gets a scratch registry
// of its own instead of the machine's, which logging would otherwise read and
// create.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "helpers/temp_dir.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::optional<zq::test::ScopedRegistryDir> scratch;
  if (std::getenv("ZQ_REGISTRY_DIR") == nullptr) {
    scratch.emplace();
  }
  return RUN_ALL_TESTS();
}
