#include <csignal>

#include <gtest/gtest.h>

// Writes to closed pipes must fail with an error here, as in the helper.
int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
