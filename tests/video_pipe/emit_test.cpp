#include <gtest/gtest.h>

#include "pipe_harness.h"

namespace tavrino::share {
namespace {

using nlohmann::json;
using testing::EncodedSampleSpec;
using testing::makeEncodedSample;
using testing::PipeHarness;
using Types = std::vector<std::string>;

json errorMessage(const std::string& text, const std::string& request = PipeHarness::kRequest) {
  return {{"type", "error"}, {"request", request}, {"message", text}};
}

// Frames written as ready bodies must say what the message would, keep the
// Base64 slashes unescaped, and stay within the limits.
TEST(VideoPipeEmit, FrameBodiesMatchTheMessageUpToSevenHundredThousandBytes) {
  const std::string request = "a\"b\\c/\u00e9\U0001F600\n";
  PipeHarness h(std::nullopt, true, request);
  h.offerFrameAt(0);
  h.offerFrameAt(0.5);
  EncodedSampleSpec largest;
  largest.data.assign(700'000, 0xFF);  // all "/" in Base64: the worst case for escaping
  largest.avcC = std::vector<std::uint8_t>{1, 0x64, 0x00, 0x28, 0xFF};  // five bytes are enough
  h.deliverGood(0, largest);
  EncodedSampleSpec small;
  small.data = {0, 0, 0, 3, 0x65, 0xFB, 0xFF};
  small.notSync = true;
  h.deliverGood(1, small);
  h.acknowledge(1);
  h.acknowledge(2);
  h.offerFrameAt(1);
  EncodedSampleSpec tooLarge;
  tooLarge.data.assign(700'001, 0);
  h.deliverGood(2, tooLarge);
  h.offerFrameAt(1.5);

  const auto messages = h.log->all();
  ASSERT_EQ(h.log->types(), (Types{"configuration", "frame", "frame", "error"}));
  EXPECT_EQ(messages[0], (json{{"type", "configuration"}, {"request", request}, {"codec", "avc1.640028"},
                               {"description", "AWQAKP8="}, {"width", 1280}, {"height", 720}}));
  EXPECT_EQ(messages[1].at("data").get<std::string>().size(), 933'336u);
  EXPECT_EQ(messages[2], (json{{"type", "frame"}, {"request", request}, {"id", 2}, {"key", false},
                               {"timestamp", 500000}, {"data", "AAAAA2X7/w=="}}));
  EXPECT_EQ(messages[3],
            errorMessage("Video frame exceeded the sharing limit. Share at a lower resolution.", request));
  const std::string big = h.bodies->all().at(0).get<std::string>();
  EXPECT_NE(big.find(std::string(933'333, '/')), std::string::npos);
  EXPECT_LT(big.size(), 1'048'576u);  // still fits the framing cap
  EXPECT_EQ(h.snapshot().sent, 2);
  EXPECT_EQ(h.session().callCount(), 3u);  // stopped: the last frame never reached the encoder
}

TEST(VideoPipeEmit, KeyFlagAndTimestampFollowTheEncodedSample) {
  struct Case {
    std::optional<std::vector<Dictionary>> attachments;
    MediaTime time;
    bool key;
    std::int64_t microseconds;  // rounded half away from zero
  };
  const auto notSync = [](Dictionary value) {
    return std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, std::move(value)}}};
  };
  const std::vector<Case> cases = {
      {std::nullopt, MediaTime::make(1, 12), true, 83333},
      {std::vector<Dictionary>{}, MediaTime::make(5, 12), true, 416667},
      {std::vector<Dictionary>{Dictionary::object()}, MediaTime::make(1, 2'000'000), true, 1},
      {notSync(1), MediaTime::make(-1, 2'000'000), true, -1},
      {notSync(false), MediaTime::make(3, 2'000'000), true, 2},
      {notSync(true), MediaTime::make(-5, 12), false, -416667},
      {std::nullopt, MediaTime::make(7'200, 1), true, 7'200'000'000},
  };
  PipeHarness h;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    h.offerFrameAt(static_cast<double>(i));
    auto sample = makeEncodedSample();
    sample->attachments = cases[i].attachments;
    sample->presentationTime = cases[i].time;
    h.deliver(i, 0, sample);
    h.acknowledge(static_cast<std::int64_t>(i + 1));
  }
  const auto frames = h.log->ofType("frame");
  ASSERT_EQ(frames.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(frames[i].at("key"), cases[i].key) << i;
    EXPECT_EQ(frames[i].at("timestamp"), cases[i].microseconds) << i;
  }
}

std::shared_ptr<SampleBuffer> withExtensions(Dictionary extensions) {
  auto sample = makeEncodedSample();
  auto format = std::make_shared<FormatDescription>(*sample->formatDescription);
  format->extensions = std::move(extensions);
  sample->formatDescription = format;
  return sample;
}

class FailingBlockBuffer final : public BlockBuffer {
 public:
  std::size_t dataLength() const override { return 10; }
  std::int32_t copyDataBytes(std::size_t, std::size_t, std::uint8_t*) const override { return -12700; }
};

TEST(VideoPipeEmit, EachFailureSendsItsTextOnceAndStopsThePipe) {
  const auto without = [](std::shared_ptr<SampleBuffer> sample, auto member) {
    (*sample).*member = nullptr;
    return sample;
  };
  const auto atoms = [](Dictionary atoms) {
    return withExtensions({{keys::kSampleDescriptionExtensionAtoms, std::move(atoms)}});
  };
  auto unreadable = makeEncodedSample();
  unreadable->dataBuffer = std::make_shared<FailingBlockBuffer>();
  const char* const kNoConfiguration = "Video decoder configuration unavailable.";
  struct Row {
    std::int32_t status;
    std::shared_ptr<SampleBuffer> sample;
    std::string message;
    bool configurationSent = false;
  };
  const std::vector<Row> rows = {
      {-12902, makeEncodedSample(), "Video encoding failed (-12902)."},
      {0, nullptr, "Video encoding failed (0)."},
      {0, without(makeEncodedSample(), &SampleBuffer::formatDescription), "Encoded video is incomplete."},
      {0, without(makeEncodedSample(), &SampleBuffer::dataBuffer), "Encoded video is incomplete."},
      {0, withExtensions(nullptr), kNoConfiguration},
      {0, withExtensions({{keys::kSampleDescriptionExtensionAtoms, "avcC"}}), kNoConfiguration},
      {0, atoms({{keys::kAvcC, "0142c01f01"}}), kNoConfiguration},
      {0, atoms({{keys::kAvcC, Dictionary::binary({1, 0x42, 0xC0, 0x1F})}}), kNoConfiguration},
      {0, unreadable, "Encoded video could not be read.", true},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    PipeHarness h;
    h.offerFrameAt(0);
    h.offerFrameAt(0.1);
    h.deliver(0, rows[i].status, rows[i].sample);
    h.deliverGood(1);  // arrives after the error: discarded
    h.offerFrameAt(0.2);

    EXPECT_EQ(h.log->types(), (rows[i].configurationSent ? Types{"configuration", "error"} : Types{"error"}));
    EXPECT_EQ(h.log->ofType("error").at(0), errorMessage(rows[i].message));
    const auto s = h.snapshot();
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.sent, 0);
    EXPECT_EQ(h.session().callCount(), 2u);
  }
}

}  // namespace
}  // namespace tavrino::share
