#include <string>

#include <gtest/gtest.h>

#include "core/capture_plan.h"
#include "core/request_text.h"
#include "core/wire.h"

namespace tavrino::share {
namespace {

using nlohmann::json;

// Numbers as a peer writes them: exactness is decided on the text, so that no
// rounding to a double carries a number into range.
TEST(RequestNumbers, AreExactIntegersOnlyAsWritten) {
  using I = std::optional<std::int64_t>;
  using U = std::optional<std::uint32_t>;
  const struct {
    const char* text;
    I int64;
    U uint32;
  } cases[] = {
      {"5", 5, 5u},
      {"3.0", 3, 3u},
      {"1.5e1", 15, 15u},
      {"1E2", 100, 100u},
      {"-0.0", 0, 0u},
      {"-1", -1, {}},
      {"3.5", {}, {}},
      {"12e-1", {}, {}},
      {"-9223372036854775808", INT64_MIN, {}},
      {"-9223372036854775808.0", INT64_MIN, {}},
      {"-9223372036854775809", {}, {}},
      {"9223372036854775807", INT64_MAX, {}},
      {"9223372036854775808", {}, {}},
      {"18446744073709551616", {}, {}},
      {"4294967295", 4294967295, 4294967295u},
      {"4294967295.00000001", {}, {}},
      {"4294967296", 4294967296, {}},
      {"4294967295999999999e-9", {}, {}},
      {"1e300", {}, {}},
      {"0.0e99999999999999999999", 0, 0u},
      {"1e-99999999999999999999", {}, {}},
      {R"("5")", {}, {}},
      {"true", {}, {}},
      {"null", {}, {}},
  };
  for (const auto& c : cases) {
    const auto request = Wire::parseRequest(std::string(R"({"id":)") + c.text + "}");
    ASSERT_TRUE(request) << c.text;
    EXPECT_EQ(exactInt64(request->at("id")), c.int64) << c.text;
    EXPECT_EQ(exactUInt32(request->at("id")), c.uint32) << c.text;
  }
}

TEST(CaptureModeChoice, PicksFixtureThenWindowThenNormal) {
  using Kind = CaptureMode::Kind;
  EXPECT_EQ(chooseCaptureMode({}).kind, Kind::normal);
  EXPECT_EQ(chooseCaptureMode({"--test-window=5", "--test-application"}).kind, Kind::fixture);
  const auto window = chooseCaptureMode({"--other", "--test-window=4294967295"});
  EXPECT_EQ(window.kind, Kind::window);
  EXPECT_EQ(window.windowNumber, 4294967295u);
  EXPECT_EQ(chooseCaptureMode({"--test-window=007"}).windowNumber, 7u);
  for (const char* text : {"--test-window=", "--test-window=-3", "--test-window=+3",
                           "--test-window=4294967296", "--test-window=99999999999999999999",
                           "--test-window=12ab", "--test-window=abc", "--test-window= 1"})
    EXPECT_EQ(chooseCaptureMode({text}).kind, Kind::normal) << text;
  // Only the first window option counts.
  EXPECT_EQ(chooseCaptureMode({"--test-window=x", "--test-window=3"}).kind, Kind::normal);
  EXPECT_TRUE(isTestMode({"--test-window=x"}));
  EXPECT_FALSE(isTestMode({"--test-app", "test-window=1"}));
}

TEST(CaptureSizeRule, FollowsTheWidthCapAndTheReportedAspect) {
  EXPECT_EQ(captureSize(3840, {1, 3840, 2160}), (CaptureSize{1920, 1080}));
  EXPECT_EQ(captureSize(2560, {1, 2560, 1440}), (CaptureSize{1920, 1080}));
  EXPECT_EQ(captureSize(1366, {1, 1366, 768}), (CaptureSize{1366, 768}));
  EXPECT_EQ(captureSize(1511, {1, 1000, 600}), (CaptureSize{1510, 906}));
  EXPECT_EQ(captureSize(1001, {1, 1001, 333}), (CaptureSize{1000, 332}));  // 332.67 -> 332
  // No usable picture:
  EXPECT_FALSE(captureSize(1920, {1, 0, 1080}));
  EXPECT_FALSE(captureSize(0, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(1, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(-1920, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(1920, {1, 1920, 0}));
  EXPECT_FALSE(captureSize(1920, {1, 1, INT64_MAX}));
}

}  // namespace
}  // namespace tavrino::share
