#include <gtest/gtest.h>

#include "pipe_harness.h"

namespace tavrino::share {
namespace {

using testing::FakeCompressionSessionFactory;

VideoPipe::CreateResult createWith(FakeCompressionSessionFactory& encoders) {
  return VideoPipe::create(1920, 1080, "r1", std::nullopt, encoders, [](const auto&) {});
}

TEST(VideoPipeSetup, WithoutAWorkingEncoderFailsWithTheStatus) {
  struct Case {
    std::int32_t status;
    bool storeSession;
  };
  // A failing status is a failure even when a session was handed back, and
  // that session must not outlive the call; success without one is a failure.
  for (const Case c : {Case{-12915, false}, Case{7, true}, Case{0, false}}) {
    FakeCompressionSessionFactory encoders;
    encoders.createStatus = c.status;
    encoders.storeSession = c.storeSession;
    const auto result = createWith(encoders);
    EXPECT_EQ(std::get<ErrorValue>(result),
              (ErrorValue{"TavrinoShare", 1,
                          "Hardware video encoder unavailable (" + std::to_string(c.status) + ")."}));
    EXPECT_FALSE(encoders.log->sessionAlive) << c.status;
  }
}

TEST(VideoPipeSetup, AsksForHardwareH264AndConfiguresLiveSharing) {
  FakeCompressionSessionFactory encoders;
  encoders.log->refusePropertiesWith(-12900);  // refused settings do not stop the pipe
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<VideoPipe>>(createWith(encoders)));

  ASSERT_EQ(encoders.createCalls.size(), 1u);
  const auto& call = encoders.createCalls[0];
  EXPECT_EQ(call.width, 1920);
  EXPECT_EQ(call.height, 1080);
  EXPECT_EQ(call.codec, VideoCodec::h264);
  EXPECT_TRUE(call.requirements.requireHardwareAcceleratedVideoEncoder);

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
  EXPECT_EQ(encoders.log->prepareCount.load(), 1);
}

}  // namespace
}  // namespace tavrino::share
