#include <gtest/gtest.h>

#include "pipe_harness.h"
#include "video_pipe/base64.h"

namespace tavrino::share {
namespace {

using testing::EncodedSampleSpec;
using testing::makeEncodedSample;
using testing::PipeHarness;

nlohmann::json errorMessage(const std::string& text) {
  return {{"type", "error"}, {"request", PipeHarness::kRequest}, {"message", text}};
}

class FailingBlockBuffer final : public BlockBuffer {
 public:
  std::size_t dataLength() const override { return 10; }
  std::int32_t copyDataBytes(std::size_t, std::size_t, std::uint8_t*) const override {
    return -12700;
  }
};

TEST(VideoPipeEmit, ConfigurationOnceThenOneFramePerResult) {
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(1.0 / 12);
  EncodedSampleSpec first;
  first.data = {0, 0, 0, 3, 0x65, 0xFB, 0xFF};
  h.deliverGood(0, first);
  EncodedSampleSpec second;
  second.notSync = true;
  h.deliverGood(1, second);

  auto messages = h.log->all();
  ASSERT_EQ(h.log->types(), (std::vector<std::string>{"configuration", "frame", "frame"}));
  const auto record = testing::sampleAvcC();
  EXPECT_EQ(messages[0], (nlohmann::json{{"type", "configuration"},
                                         {"request", PipeHarness::kRequest},
                                         {"codec", "avc1.42c01f"},
                                         {"description", base64Encode(record)},
                                         {"width", 1280},
                                         {"height", 720}}));
  EXPECT_EQ(messages[1], (nlohmann::json{{"type", "frame"},
                                         {"request", PipeHarness::kRequest},
                                         {"id", 1},
                                         {"key", true},
                                         {"timestamp", 0},
                                         {"data", "AAAAA2X7/w=="}}));
  EXPECT_EQ(messages[2].at("key"), false);
  EXPECT_EQ(messages[2].at("timestamp"), 83333);  // 1e6 / 12, rounded
  // Slashes of the Base64 alphabet travel unescaped.
  EXPECT_NE(messages[1].dump().find("X7/w=="), std::string::npos);
}

TEST(VideoPipeEmit, FrameBodiesMatchTheMessageAndKeepSlashesUnescaped) {
  const std::string request = "a\"b\\c/\u00e9\U0001F600\n";
  PipeHarness h(std::nullopt, true, request);
  h.offerFrameAt(0);
  h.offerFrameAt(0.5);
  EncodedSampleSpec largest;
  largest.data.assign(700'000, 0xFF);  // all "/" in Base64: the worst case for escaping
  h.deliverGood(0, largest);
  EncodedSampleSpec small;
  small.data = {0, 0, 0, 3, 0x65, 0xFB, 0xFF};
  small.notSync = true;
  h.deliverGood(1, small);

  ASSERT_EQ(h.log->types(), (std::vector<std::string>{"configuration", "frame", "frame"}));
  EXPECT_EQ(h.log->all()[0].at("request"), request);
  EXPECT_EQ(h.log->all()[2], (nlohmann::json{{"type", "frame"},
                                             {"request", request},
                                             {"id", 2},
                                             {"key", false},
                                             {"timestamp", 500000},
                                             {"data", "AAAAA2X7/w=="}}));
  auto bodies = h.bodies->all();
  ASSERT_EQ(bodies.size(), 2u);
  const std::string big = bodies[0].get<std::string>();
  EXPECT_NE(big.find(std::string(933'333, '/')), std::string::npos);
  EXPECT_LT(big.size(), 1'048'576u);
  EXPECT_EQ(h.log->all()[1].at("data").get<std::string>().size(), 933'336u);
}

TEST(VideoPipeEmit, KeyFlagComesFromTheNotSyncAttachmentOnly) {
  struct Case {
    std::optional<std::vector<Dictionary>> attachments;
    bool key;
  };
  const std::vector<Case> cases = {
      {std::nullopt, true},
      {std::vector<Dictionary>{}, true},
      {std::vector<Dictionary>{Dictionary::object()}, true},
      {std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, 1}}}, true},
      {std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, false}}}, true},
      {std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, true}}}, false},
  };
  PipeHarness h;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    h.offerFrameAt(static_cast<double>(i));
    auto sample = makeEncodedSample();
    sample->attachments = cases[i].attachments;
    sample->presentationTime = h.session().call(i).presentationTime;
    h.deliver(i, 0, sample);
    h.acknowledge(static_cast<std::int64_t>(i + 1));
  }
  auto frames = h.log->ofType("frame");
  ASSERT_EQ(frames.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(frames[i].at("key"), cases[i].key) << i;
}

TEST(VideoPipeEmit, TimestampsRoundHalfAwayFromZeroInMicroseconds) {
  struct Case {
    MediaTime time;
    std::int64_t microseconds;
  };
  const std::vector<Case> cases = {
      {MediaTime::make(1, 12), 83333},         {MediaTime::make(5, 12), 416667},
      {MediaTime::make(1, 2'000'000), 1},      {MediaTime::make(-1, 2'000'000), -1},
      {MediaTime::make(3, 2'000'000), 2},      {MediaTime::make(-5, 12), -416667},
      {MediaTime::make(7'200, 1), 7'200'000'000},
  };
  PipeHarness h;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    h.offerFrameAt(static_cast<double>(i));
    EncodedSampleSpec spec;
    spec.presentationTime = cases[i].time;
    h.deliver(i, 0, makeEncodedSample(spec));
    h.acknowledge(static_cast<std::int64_t>(i + 1));
  }
  auto frames = h.log->ofType("frame");
  ASSERT_EQ(frames.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(frames[i].at("timestamp"), cases[i].microseconds) << i;
}

TEST(VideoPipeEmit, SevenHundredThousandBytesIsTheLargestFrame) {
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  EncodedSampleSpec largest;
  largest.data.assign(700'000, 0xFF);  // all "/" in Base64: the worst case for escaping
  h.deliverGood(0, largest);
  EncodedSampleSpec tooLarge;
  tooLarge.data.assign(700'001, 0);
  h.deliverGood(1, tooLarge);
  h.offerFrameAt(0.2);

  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"configuration", "frame", "error"}));
  auto frame = h.log->ofType("frame").at(0);
  EXPECT_EQ(frame.at("data").get<std::string>().size(), 933'336u);
  EXPECT_LT(frame.dump().size(), 1'048'576u);  // still fits the framing cap
  EXPECT_EQ(h.log->all()[2],
            errorMessage("Video frame exceeded the sharing limit. Share at a lower resolution."));
  EXPECT_EQ(h.snapshot().sent, 1);
  EXPECT_EQ(h.session().callCount(), 2u);  // stopped: the third frame never reached the encoder
}

struct ErrorRow {
  const char* name;
  std::int32_t status;
  std::function<std::shared_ptr<SampleBuffer>()> sample;
  const char* message;
  bool configurationSent;
};

class VideoPipeEmitErrors : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(VideoPipeEmitErrors, EachFailureSendsItsTextOnceAndStopsThePipe) {
  const ErrorRow& row = GetParam();
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  h.deliver(0, row.status, row.sample());
  h.deliverGood(1);  // arrives after the error: discarded
  h.offerFrameAt(0.2);

  std::vector<std::string> expected;
  if (row.configurationSent) expected.push_back("configuration");
  expected.push_back("error");
  EXPECT_EQ(h.log->types(), expected);
  EXPECT_EQ(h.log->ofType("error").at(0), errorMessage(row.message));
  auto s = h.snapshot();
  EXPECT_TRUE(s.stopped);
  EXPECT_EQ(s.sent, 0);
  EXPECT_EQ(h.session().callCount(), 2u);
}

std::shared_ptr<SampleBuffer> withAvcC(Dictionary extensions) {
  auto sample = makeEncodedSample();
  auto format = std::make_shared<FormatDescription>(*sample->formatDescription);
  format->extensions = std::move(extensions);
  sample->formatDescription = format;
  return sample;
}


INSTANTIATE_TEST_SUITE_P(
    Rows, VideoPipeEmitErrors,
    ::testing::Values(
        ErrorRow{"EncoderStatus", -12902, [] { return makeEncodedSample(); },
                 "Video encoding failed (-12902).", false},
        ErrorRow{"NoSample", 0, [] { return std::shared_ptr<SampleBuffer>(); },
                 "Video encoding failed (0).", false},
        ErrorRow{"NoFormatDescription", 0,
                 [] {
                   auto s = makeEncodedSample();
                   s->formatDescription.reset();
                   return s;
                 },
                 "Encoded video is incomplete.", false},
        ErrorRow{"NoDataBuffer", 0,
                 [] {
                   auto s = makeEncodedSample();
                   s->dataBuffer.reset();
                   return s;
                 },
                 "Encoded video is incomplete.", false},
        ErrorRow{"NoExtensions", 0, [] { return withAvcC(nullptr); },
                 "Video decoder configuration unavailable.", false},
        ErrorRow{"AtomsNotADictionary", 0,
                 [] { return withAvcC({{keys::kSampleDescriptionExtensionAtoms, "avcC"}}); },
                 "Video decoder configuration unavailable.", false},
        ErrorRow{"AvcCNotBytes", 0,
                 [] {
                   return withAvcC(
                       {{keys::kSampleDescriptionExtensionAtoms, {{keys::kAvcC, "0142c01f01"}}}});
                 },
                 "Video decoder configuration unavailable.", false},
        ErrorRow{"AvcCFourBytes", 0,
                 [] {
                   return withAvcC({{keys::kSampleDescriptionExtensionAtoms,
                                     {{keys::kAvcC, Dictionary::binary({1, 0x42, 0xC0, 0x1F})}}}});
                 },
                 "Video decoder configuration unavailable.", false},
        ErrorRow{"CopyFails", 0,
                 [] {
                   auto s = makeEncodedSample();
                   s->dataBuffer = std::make_shared<FailingBlockBuffer>();
                   return s;
                 },
                 "Encoded video could not be read.", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VideoPipeEmit, EncoderFailureFreesTheFramesSlot) {
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  h.deliver(1, -1, nullptr);
  EXPECT_EQ(h.snapshot().pending, (std::set<std::int64_t>{1}));
}

TEST(VideoPipeEmit, FiveBytesOfRecordAreEnough) {
  PipeHarness h;
  h.offerFrameAt(0);
  EncodedSampleSpec spec;
  spec.avcC = std::vector<std::uint8_t>{1, 0x64, 0x00, 0x28, 0xFF};
  h.deliverGood(0, spec);
  auto configuration = h.log->ofType("configuration");
  ASSERT_EQ(configuration.size(), 1u);
  EXPECT_EQ(configuration[0].at("codec"), "avc1.640028");
  EXPECT_EQ(configuration[0].at("description"), "AWQAKP8=");
}

}  // namespace
}  // namespace tavrino::share
