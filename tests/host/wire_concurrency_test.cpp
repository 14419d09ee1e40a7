#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/wire.h"
#include "frames.h"

namespace tavrino::share {
namespace {

// Frames written from two threads at once must arrive whole, one after the other.
TEST(WireConcurrency, FramesFromTwoThreadsNeverInterleave) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr int kFrames = 200;
  const std::string bodies[2] = {std::string(70'000, 'a'), std::string(50'000, 'b')};

  std::string received;
  std::thread drain([&] {
    char buffer[65536];
    for (;;) {
      const auto n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  {
    std::vector<std::jthread> writers;
    for (int w = 0; w < 2; ++w)
      writers.emplace_back([&, w] {
        for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(Wire::writeFrame(fds[1], bodies[w]));
      });
  }
  ::close(fds[1]);
  drain.join();
  ::close(fds[0]);

  std::size_t rest = 0;
  int counts[2] = {0, 0};
  for (const auto& body : testing::frameBodies(received, &rest)) {
    const int which = body == bodies[0] ? 0 : body == bodies[1] ? 1 : -1;
    ASSERT_NE(which, -1) << "mixed frame after " << counts[0] + counts[1] << " whole ones";
    ++counts[which];
  }
  EXPECT_EQ(rest, 0u);
  EXPECT_EQ(counts[0], kFrames);
  EXPECT_EQ(counts[1], kFrames);
}

}  // namespace
}  // namespace tavrino::share
