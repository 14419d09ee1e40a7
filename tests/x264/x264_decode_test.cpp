// What the session produces, played back by a standard decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>

#include "x264/h264_decoder.h"
#include "x264/live_session.h"
#include "x264/test_pictures.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace tavrino::share::testing {
namespace {

enum NalType { kNalIdr = 5, kNalSps = 7, kNalPps = 8 };

// NAL unit types of a 4-byte length-prefixed access unit; none if the
// lengths do not tile the buffer exactly.
std::optional<std::set<int>> nalTypes(const std::vector<std::uint8_t>& bytes) {
  std::set<int> types;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) return std::nullopt;
    const std::size_t length = (std::size_t{bytes[at]} << 24) | (std::size_t{bytes[at + 1]} << 16) |
                               (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
    at += 4;
    if (length == 0 || length > bytes.size() - at) return std::nullopt;
    types.insert(bytes[at] & 0x1f);
    at += length;
  }
  return types;
}

std::vector<std::uint8_t> avcCOf(const SampleBuffer& sample) {
  const Dictionary& atoms =
      sample.formatDescription->extensions.at(keys::kSampleDescriptionExtensionAtoms);
  return atoms.at(keys::kAvcC).get_binary();
}

struct Playback {
  std::vector<std::uint8_t> record;  // the first frame's avcC
  std::vector<bool> idr;
  std::vector<double> psnr;  // of each decoded picture against its input
};

// Encodes frames with a live session, checks what every encoded frame must
// satisfy and plays the stream back with libavcodec. Each frame is only
// submitted once the previous result is back: any lookahead or frame-thread
// delay would stall here.
void encodeAndPlay(int width, int height, int frames,
                   const std::function<std::shared_ptr<ImageBuffer>(int)>& picture,
                   const std::function<bool(int)>& forceKeyFrame, Playback& playback) {
  auto session = makeLiveSession(width, height);
  ASSERT_TRUE(session);
  EncodeResults results;
  std::unique_ptr<H264Decoder> decoder;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const auto image = picture(i);
    ASSERT_EQ(results.submit(*session, image, i, forceKeyFrame(i)), 0);
    ASSERT_TRUE(results.waitFor(i + 1));
    const EncodeResult result = results.snapshot().back();
    ASSERT_EQ(result.status, 0);
    ASSERT_TRUE(result.sample && result.sample->formatDescription && result.sample->dataBuffer);
    const SampleBuffer& sample = *result.sample;
    EXPECT_EQ(sample.presentationTime, frameTime(i));
    EXPECT_EQ(sample.formatDescription->dimensions.width, width);
    EXPECT_EQ(sample.formatDescription->dimensions.height, height);
    if (!decoder) {
      playback.record = avcCOf(sample);
      ASSERT_GT(playback.record.size(), 4u);
      EXPECT_EQ(playback.record[4] & 0x03, 3) << "NAL lengths must be declared as 4 bytes";
      decoder = std::make_unique<H264Decoder>(playback.record);
    }
    EXPECT_EQ(avcCOf(sample), playback.record) << "the configuration must not change mid-stream";

    const std::vector<std::uint8_t> bytes = bytesOf(sample);
    EXPECT_LE(bytes.size(), 700'000u) << "beyond the sharing limit";
    const auto types = nalTypes(bytes);
    ASSERT_TRUE(types) << "NAL units are not 4-byte length-prefixed";
    EXPECT_FALSE(types->contains(kNalSps) || types->contains(kNalPps))
        << "parameter sets belong in the record";
    const bool idr = types->contains(kNalIdr);
    EXPECT_EQ(isNotSync(sample), !idr);

    std::vector<DecodedPicture> decoded;
    ASSERT_TRUE(decoder->decode(bytes, decoded));
    ASSERT_EQ(decoded.size(), 1u) << "the decoder must not need to wait for later frames";
    ASSERT_EQ(decoded[0].width, width);
    ASSERT_EQ(decoded[0].height, height);
    // Captured pictures are BT.601 video range; anything else shifts colours.
    EXPECT_EQ(decoded[0].colorMatrix, AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(decoded[0].fullRange);
    playback.idr.push_back(idr);
    playback.psnr.push_back(psnr(*image, decoded[0]));
  }
}

TEST(X264Decode, FullHdSequencePlaysBackAsEncoded) {
  constexpr int kFrames = 48;
  Playback playback;
  encodeAndPlay(1920, 1080, kFrames, [](int i) { return screenPicture(1920, 1080, i); },
                [](int i) { return i < 2; }, playback);
  ASSERT_FALSE(HasFatalFailure());
  const auto& record = playback.record;
  char codec[16];
  std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", record[1], record[2], record[3]);
  EXPECT_STREQ(codec, "avc1.42c028");  // Constrained Baseline, level 4.0

  std::vector<int> idrFrames;
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_GE(playback.psnr[i], 30.0) << "frame " << i + 1;
    if (playback.idr[i]) idrFrames.push_back(i);
  }
  ASSERT_GE(idrFrames.size(), 2u);
  EXPECT_EQ(idrFrames[1], 1) << "frames 1 and 2 must be IDR";
  EXPECT_LT(idrFrames.size(), std::size_t{kFrames / 2}) << "most frames must be predicted";
  idrFrames.push_back(kFrames - 1);  // the stream's end, too, stays within one interval
  for (std::size_t k = 1; k < idrFrames.size(); ++k) {
    EXPECT_LE(idrFrames[k] - idrFrames[k - 1], 24) << "after frame " << idrFrames[k - 1] + 1;
  }
}

TEST(X264Decode, NoiseStaysWithinTheSharingLimitAndStillDecodes) {
  // Full-HD noise is the largest thing a screen can show; IDRs of it are the
  // largest frames the encoder can be asked for.
  Playback playback;
  encodeAndPlay(1920, 1080, 5, [](int i) { return noisePicture(1920, 1080, i); },
                [](int i) { return i != 3; }, playback);
}

}  // namespace
}  // namespace tavrino::share::testing
