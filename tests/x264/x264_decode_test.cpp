// What the session produces, played back by a standard decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "x264/encode_results.h"
#include "x264/h264_decoder.h"
#include "x264/live_session.h"
#include "x264/test_pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tavrino::share::testing {
namespace {

constexpr int kNalIdr = 5;
constexpr int kNalNonIdr = 1;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

std::vector<std::uint8_t> avcCOf(const SampleBuffer& sample) {
  const Dictionary& atoms =
      sample.formatDescription->extensions.at(keys::kSampleDescriptionExtensionAtoms);
  return atoms.at(keys::kAvcC).get_binary();
}

std::string codecOf(const std::vector<std::uint8_t>& record) {
  char codec[32];
  std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", record[1], record[2], record[3]);
  return codec;
}

TEST(X264Decode, FullHdSequencePlaysBackAsEncoded) {
  constexpr int kWidth = 1920, kHeight = 1080, kFrames = 48;
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  std::unique_ptr<H264Decoder> decoder;
  std::vector<std::uint8_t> record;
  int lastIdr = -1;
  int nonIdrFrames = 0;
  std::size_t largest = 0;

  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    auto picture = movingPattern(kWidth, kHeight, i);
    const auto options = i < 2 ? std::optional<FrameOptions>(FrameOptions{true}) : std::nullopt;
    ASSERT_EQ(session->encodeFrame(picture, frameTime(i), kFrameDuration, options, results.handler()), 0);
    // The next frame is only submitted once this one's result is back: any
    // lookahead or frame-thread delay would stall here.
    ASSERT_TRUE(results.waitFor(i + 1));
    const EncodeResult result = results.snapshot().back();
    ASSERT_EQ(result.status, 0);
    ASSERT_TRUE(result.sample && result.sample->formatDescription && result.sample->dataBuffer);
    const SampleBuffer& sample = *result.sample;
    EXPECT_EQ(sample.presentationTime, frameTime(i));
    EXPECT_EQ(sample.formatDescription->dimensions.width, kWidth);
    EXPECT_EQ(sample.formatDescription->dimensions.height, kHeight);

    if (!decoder) {
      record = avcCOf(sample);
      ASSERT_GT(record.size(), 4u);
      EXPECT_EQ(record[0], 1);
      EXPECT_EQ(record[4] & 0x03, 3) << "NAL lengths must be declared as 4 bytes";
      EXPECT_EQ(codecOf(record), "avc1.42c028");  // Constrained Baseline, level 4.0
      decoder = std::make_unique<H264Decoder>(record);
    }
    EXPECT_EQ(avcCOf(sample), record) << "the configuration must not change mid-stream";

    const std::vector<std::uint8_t> bytes = bytesOf(sample);
    largest = std::max(largest, bytes.size());
    const auto types = nalTypes(bytes);
    ASSERT_TRUE(types) << "NAL units are not 4-byte length-prefixed";
    EXPECT_EQ(std::count(types->begin(), types->end(), kNalSps), 0);
    EXPECT_EQ(std::count(types->begin(), types->end(), kNalPps), 0);
    const bool idr = std::count(types->begin(), types->end(), kNalIdr) > 0;
    EXPECT_EQ(isNotSync(sample), !idr);
    if (i < 2) {
      EXPECT_TRUE(idr);
    }
    if (idr) {
      if (lastIdr >= 0) {
        EXPECT_LE(i - lastIdr, 24);
      }
      lastIdr = i;
    } else {
      EXPECT_GT(std::count(types->begin(), types->end(), kNalNonIdr), 0);
      ++nonIdrFrames;
    }

    std::vector<DecodedPicture> decoded;
    ASSERT_TRUE(decoder->decode(bytes, decoded));
    ASSERT_EQ(decoded.size(), 1u) << "the decoder must not need to wait for later frames";
    ASSERT_EQ(decoded[0].width, kWidth);
    ASSERT_EQ(decoded[0].height, kHeight);
    const Psnr quality = psnr(*picture, decoded[0]);
    EXPECT_GE(quality.luma, 30.0);
    EXPECT_GE(quality.chroma, 30.0);
    EXPECT_EQ(decoded[0].colorMatrix, AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(decoded[0].fullRange);
  }
  EXPECT_GE(kFrames - 1 - lastIdr, 0);
  EXPECT_LE(kFrames - 1 - lastIdr, 24);
  EXPECT_GT(nonIdrFrames, kFrames / 2);
  EXPECT_EQ(decoder->profile(), FF_PROFILE_H264_CONSTRAINED_BASELINE);
  EXPECT_EQ(decoder->level(), 40);
  EXPECT_LE(largest, 700'000u);
}

TEST(X264Decode, ForcedKeyFrameMidSequenceIsAnIdr) {
  constexpr int kWidth = 640, kHeight = 360, kFrames = 12, kForced = 7;
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  // A still picture: no scene cut or key interval can make an IDR here, so
  // the only IDRs are the forced ones.
  const auto picture = movingPattern(kWidth, kHeight, 0);
  for (int i = 0; i < kFrames; ++i) {
    const bool force = i < 2 || i == kForced;
    const auto options = force ? std::optional<FrameOptions>(FrameOptions{true}) : std::nullopt;
    ASSERT_EQ(session->encodeFrame(picture, frameTime(i), kFrameDuration,
                                   options, results.handler()),
              0);
  }
  ASSERT_TRUE(results.waitFor(kFrames));
  const auto all = results.snapshot();
  H264Decoder decoder(avcCOf(*all[0].sample));
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    ASSERT_EQ(all[i].status, 0);
    const auto bytes = bytesOf(*all[i].sample);
    const auto types = nalTypes(bytes);
    ASSERT_TRUE(types);
    const bool idr = std::count(types->begin(), types->end(), kNalIdr) > 0;
    EXPECT_EQ(idr, i < 2 || i == kForced);
    EXPECT_EQ(isNotSync(*all[i].sample), !idr);
    std::vector<DecodedPicture> decoded;
    EXPECT_TRUE(decoder.decode(bytes, decoded));
    EXPECT_EQ(decoded.size(), 1u);
  }
}

TEST(X264Decode, NoiseStaysWithinTheSharingLimitAndStillDecodes) {
  // Full-HD noise is the largest thing a screen can show; IDRs of it are the
  // largest frames the encoder can be asked for.
  constexpr int kWidth = 1920, kHeight = 1080, kFrames = 5;
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  for (int i = 0; i < kFrames; ++i) {
    const auto options = i != 3 ? std::optional<FrameOptions>(FrameOptions{true}) : std::nullopt;
    ASSERT_EQ(session->encodeFrame(noisePicture(kWidth, kHeight, i), frameTime(i), kFrameDuration,
                                   options, results.handler()),
              0);
  }
  ASSERT_TRUE(results.waitFor(kFrames));
  const auto all = results.snapshot();
  H264Decoder decoder(avcCOf(*all[0].sample));
  for (const EncodeResult& result : all) {
    ASSERT_EQ(result.status, 0);
    EXPECT_LE(result.sample->dataBuffer->dataLength(), 700'000u);
    std::vector<DecodedPicture> decoded;
    EXPECT_TRUE(decoder.decode(bytesOf(*result.sample), decoded));
  }
}

}  // namespace
}  // namespace tavrino::share::testing
