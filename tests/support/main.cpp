// The unit tests' main: a child process of a test runs its job alone.
#include <gtest/gtest.h>

#include "support/host.h"

namespace zub::testing {
// The fault sweep's job of one run.
void RunSweepJob(const std::string& job);
}  // namespace zub::testing

int main(int argc, char** argv) {
  if (zub::testing::host::RunAsChild(zub::testing::RunSweepJob)) return 0;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
