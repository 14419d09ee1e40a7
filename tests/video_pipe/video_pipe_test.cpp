#include <gtest/gtest.h>

#include "doubles/fake_compression_session.h"
#include "video_pipe/video_pipe.h"

namespace tavrino::share {
namespace {

using testing::FakeCompressionSessionFactory;

TEST(VideoPipeSetup, HardwareEncoderMissingFailsCreation) {
  FakeCompressionSessionFactory encoders;
  encoders.createStatus = -12915;
  encoders.storeSession = false;
  auto result = VideoPipe::create(1280, 720, "r1", std::nullopt, encoders, [](const auto&) {});
  ASSERT_TRUE(std::holds_alternative<ErrorValue>(result));
  EXPECT_EQ(std::get<ErrorValue>(result),
            (ErrorValue{"TavrinoShare", 1, "Hardware video encoder unavailable (-12915)."}));
}

}  // namespace
}  // namespace tavrino::share
