#include <gtest/gtest.h>

#include "pipe_harness.h"

namespace tavrino::share {
namespace {

using testing::FakeCompressionSessionFactory;
using testing::PipeHarness;

VideoPipe::CreateResult createWith(FakeCompressionSessionFactory& encoders) {
  return VideoPipe::create(1920, 1080, "r1", std::nullopt, encoders, [](const auto&) {});
}

TEST(VideoPipeSetup, MissingHardwareEncoderFailsWithTheStatus) {
  FakeCompressionSessionFactory encoders;
  encoders.createStatus = -12915;
  encoders.storeSession = false;
  auto result = createWith(encoders);
  ASSERT_TRUE(std::holds_alternative<ErrorValue>(result));
  EXPECT_EQ(std::get<ErrorValue>(result),
            (ErrorValue{"TavrinoShare", 1, "Hardware video encoder unavailable (-12915)."}));

  // A failing status is a failure even when a session was handed back; that
  // session must not outlive the call.
  FakeCompressionSessionFactory leaky;
  leaky.createStatus = 7;
  auto second = createWith(leaky);
  ASSERT_TRUE(std::holds_alternative<ErrorValue>(second));
  EXPECT_EQ(std::get<ErrorValue>(second).description, "Hardware video encoder unavailable (7).");
  EXPECT_FALSE(leaky.log->sessionAlive());
}

TEST(VideoPipeSetup, SuccessWithoutSessionReportsStatusZero) {
  FakeCompressionSessionFactory encoders;
  encoders.storeSession = false;
  auto result = createWith(encoders);
  ASSERT_TRUE(std::holds_alternative<ErrorValue>(result));
  EXPECT_EQ(std::get<ErrorValue>(result).description, "Hardware video encoder unavailable (0).");
}

TEST(VideoPipeSetup, AsksForHardwareH264AndConfiguresLiveSharing) {
  FakeCompressionSessionFactory encoders;
  encoders.log->refusePropertiesWith(-12900);  // refused settings do not stop the pipe
  auto result = createWith(encoders);
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<VideoPipe>>(result));

  ASSERT_EQ(encoders.createCalls.size(), 1u);
  const auto& call = encoders.createCalls[0];
  EXPECT_EQ(call.width, 1920);
  EXPECT_EQ(call.height, 1080);
  EXPECT_EQ(call.codec, VideoCodec::h264);
  EXPECT_TRUE(call.specification.requireHardwareAcceleratedVideoEncoder);

  using P = CompressionProperty;
  const std::vector<std::pair<CompressionProperty, PropertyValue>> expected = {
      {P::realTime, true},
      {P::allowFrameReordering, false},
      {P::profileLevel, ProfileLevel::h264BaselineAutoLevel},
      {P::averageBitRate, std::int64_t{6'000'000}},
      {P::expectedFrameRate, std::int64_t{12}},
      {P::maxFrameDelayCount, std::int64_t{0}},
      {P::maxKeyFrameInterval, std::int64_t{24}},
  };
  EXPECT_EQ(encoders.log->properties(), expected);
  EXPECT_EQ(encoders.log->prepareCount(), 1);
}

TEST(VideoPipeSetup, FreshPipeIsIdle) {
  PipeHarness h(4242);
  EXPECT_EQ(h.pipe->request(), PipeHarness::kRequest);
  EXPECT_EQ(h.pipe->ownerPID(), 4242);
  auto s = h.snapshot();
  EXPECT_TRUE(s.hasEncoder);
  EXPECT_EQ(s.nextID, 0);
  EXPECT_TRUE(s.pending.empty());
  EXPECT_EQ(s.received + s.sent + s.skipped, 0);
  EXPECT_FALSE(s.configured);
  EXPECT_FALSE(s.stopped);
  EXPECT_FALSE(s.firstTimestamp);
  EXPECT_TRUE(h.log->all().empty());
}

}  // namespace
}  // namespace tavrino::share
