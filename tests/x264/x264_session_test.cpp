// The libx264 session: its contract with its caller (threads, order,
// refusals, end of life), and what it produces, played back by libavcodec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "platform/x264/x264_compression_session.h"
#include "screen_content.h"
#include "video_pipe/video_pipe.h"
#include "x264/h264_decoder.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace tavrino::share::testing {
namespace {

constexpr int kWidth = 320, kHeight = 240;
// Screen text at the sharing bit rate stays above 25 dB in every block; a
// block left as it was in the previous picture falls below 10.
constexpr double kWorstBlockPsnr = 20;

// A session configured the way the video pipe configures it.
std::unique_ptr<CompressionSession> makeLiveSession(int width, int height) {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create(width, height, VideoCodec::h264, {true}, session), 0);
  if (session) VideoPipe::configureForLiveSharing(*session);
  return session;
}

MediaTime frameTime(int index) { return MediaTime::make(std::int64_t{index} * 1'000'000'000 / 12, 1'000'000'000); }

// Tight NV12 copied into rows wider than the picture, as a capture may
// deliver them. The padding stays zero: the encoder must not depend on it.
std::shared_ptr<ImageBuffer> paddedNV12(int width, int height, const std::vector<std::uint8_t>& tight) {
  auto image = std::make_shared<ImageBuffer>();
  image->width = width;
  image->height = height;
  image->lumaStride = width + 32;
  image->chromaStride = width + 64;
  image->luma.resize(static_cast<std::size_t>(image->lumaStride) * height);
  image->chroma.resize(static_cast<std::size_t>(image->chromaStride) * (height / 2));
  const std::uint8_t* from = tight.data();
  for (int y = 0; y < height; ++y, from += width) std::memcpy(&image->luma[y * image->lumaStride], from, width);
  for (int y = 0; y < height / 2; ++y, from += width)
    std::memcpy(&image->chroma[y * image->chromaStride], from, width);
  return image;
}

// The benchmark's synthetic desktop (scrolling text, a moving window).
std::shared_ptr<ImageBuffer> screenPicture(int width, int height, int frame) {
  return paddedNV12(width, height, bench::screenFrame(width, height, frame));
}

// Uniform noise in every sample: the worst case for the rate control.
std::shared_ptr<ImageBuffer> noisePicture(int width, int height, std::uint32_t seed) {
  std::vector<std::uint8_t> samples(static_cast<std::size_t>(width) * height * 3 / 2);
  std::mt19937 random(seed);
  for (std::uint8_t& sample : samples) sample = static_cast<std::uint8_t>(random() >> 24);
  return paddedNV12(width, height, samples);
}

// PSNR of the worst macroblock-sized block of one plane whose original
// samples lie step bytes apart: a block left stale is plain here, where the
// whole picture's figure would hide it.
double planePsnr(const std::uint8_t* original, int stride, int step, const std::vector<std::uint8_t>& decoded,
                 int width, int height, int block) {
  double worst = std::numeric_limits<double>::infinity();
  for (int by = 0; by < height; by += block)
    for (int bx = 0; bx < width; bx += block) {
      double squaredError = 0;
      const int w = std::min(block, width - bx), h = std::min(block, height - by);
      for (int y = by; y < by + h; ++y)
        for (int x = bx; x < bx + w; ++x) {
          const double d = original[y * stride + x * step] - decoded[y * width + x];
          squaredError += d * d;
        }
      if (squaredError > 0) worst = std::min(worst, 10.0 * std::log10(255.0 * 255.0 * w * h / squaredError));
    }
  return worst;
}

// The worst of the three planes.
double psnr(const ImageBuffer& original, const DecodedPicture& decoded) {
  const int w = original.width, h = original.height, stride = original.chromaStride;
  const std::uint8_t* chroma = original.chroma.data();
  return std::min({planePsnr(original.luma.data(), original.lumaStride, 1, decoded.y, w, h, 16),
                   planePsnr(chroma, stride, 2, decoded.cb, w / 2, h / 2, 8),
                   planePsnr(chroma + 1, stride, 2, decoded.cr, w / 2, h / 2, 8)});
}

struct EncodeResult {
  std::int32_t status = 0;
  std::shared_ptr<const SampleBuffer> sample;
  std::thread::id thread;
};

// Collects per-frame results from the encoder thread. The handlers share the
// collected state, so they stay sound whichever of session and collector
// goes first.
class EncodeResults {
 public:
  EncodeOutputHandler handler() {
    return [state = state_](std::int32_t status, std::uint32_t, std::shared_ptr<const SampleBuffer> sample) {
      std::lock_guard lock(state->mutex);
      state->results.push_back({status, std::move(sample), std::this_thread::get_id()});
      state->changed.notify_all();
    };
  }
  // Submits frame index of a 12 fps sequence with its presentation time.
  std::int32_t submit(CompressionSession& session, std::shared_ptr<const ImageBuffer> image, int index,
                      const std::optional<FrameOptions>& options = std::nullopt) {
    return session.encodeFrame(std::move(image), frameTime(index), MediaTime::make(1, 12), options, handler());
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::seconds(30), [&] { return state_->results.size() >= count; });
  }
  // Whether no handler from here is held any longer.
  bool handlersReleased() const { return state_.use_count() == 1; }
  std::vector<EncodeResult> snapshot() {
    std::lock_guard lock(state_->mutex);
    return state_->results;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<EncodeResult> results;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

TEST(X264Session, RefusesUnreadableFramesAndDeliversTheRestInOrderOnOneEncoderThread) {
  const std::function<void(ImageBuffer&)> spoilers[] = {
      [](ImageBuffer& image) { image.width += 2; },
      [](ImageBuffer& image) { image.luma.resize(image.luma.size() / 2); },
      // One byte short of the last chroma row; the stride padding is not needed.
      [](ImageBuffer& image) { image.chroma.resize(image.chroma.size() - (image.chromaStride - kWidth) - 1); },
      [](ImageBuffer& image) { image.lumaStride = kWidth - 2; },
      [](ImageBuffer& image) { image.pixelFormat = 0x42475241; },  // 'BGRA'
  };
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  for (const auto& spoil : spoilers) {
    auto picture = screenPicture(kWidth, kHeight, 0);
    spoil(*picture);
    EXPECT_NE(results.submit(*session, picture, 0), 0);
  }
  EXPECT_NE(results.submit(*session, nullptr, 0), 0);
  const auto good = screenPicture(kWidth, kHeight, 0);
  const MediaTime duration = MediaTime::make(1, 12);
  EXPECT_NE(session->encodeFrame(good, MediaTime{}, duration, std::nullopt, results.handler()), 0);
  EXPECT_NE(session->encodeFrame(good, frameTime(0), duration, std::nullopt, nullptr), 0);

  // Queued without waiting; a refused frame never reaches the handler.
  constexpr int kFrames = 10;
  for (int i = 1; i <= kFrames; ++i) ASSERT_EQ(results.submit(*session, screenPicture(kWidth, kHeight, i), i), 0);
  ASSERT_TRUE(results.waitFor(kFrames));
  const auto all = results.snapshot();
  ASSERT_EQ(all.size(), std::size_t{kFrames});
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(all[i].status, 0);
    ASSERT_TRUE(all[i].sample);
    EXPECT_EQ(all[i].sample->presentationTime, frameTime(i + 1));
    EXPECT_NE(all[i].thread, std::this_thread::get_id()) << "results belong on the encoder thread";
    EXPECT_EQ(all[i].thread, all[0].thread);
  }
}

TEST(X264Session, InvalidateEndsTheSessionAtOnceAndReleasesQueuedFrames) {
  // Full-HD frames take long enough to encode that some are still queued.
  auto session = makeLiveSession(1920, 1080);
  ASSERT_TRUE(session);
  EncodeResults results;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(results.submit(*session, screenPicture(1920, 1080, i), i), 0);
  session->invalidate();
  const std::size_t delivered = results.snapshot().size();
  EXPECT_TRUE(results.handlersReleased()) << "handlers of dropped frames must be released";
  EXPECT_NE(results.submit(*session, screenPicture(1920, 1080, 4), 4), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::realTime, true), 0);
  EXPECT_NE(session->prepareToEncodeFrames(), 0);
  session->invalidate();
  session.reset();
  EXPECT_EQ(results.snapshot().size(), delivered) << "no result after invalidate returned";
}

TEST(X264Session, MayBeDestroyedFromItsOwnResultHandler) {
  auto holder = std::make_shared<std::unique_ptr<CompressionSession>>(makeLiveSession(kWidth, kHeight));
  ASSERT_TRUE(*holder);
  std::promise<std::int32_t> done;
  auto handler = [holder, &done](std::int32_t status, std::uint32_t, std::shared_ptr<const SampleBuffer>) {
    holder->reset();
    done.set_value(status);
  };
  ASSERT_EQ((*holder)->encodeFrame(screenPicture(kWidth, kHeight, 0), frameTime(0), MediaTime::make(1, 12),
                                   std::nullopt, handler),
            0);
  auto result = done.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
}

enum NalType { kNalIdr = 5, kNalSps = 7, kNalPps = 8 };

// NAL unit types of a 4-byte length-prefixed access unit; none if the
// lengths do not tile the buffer exactly.
std::optional<std::set<int>> nalTypes(const std::vector<std::uint8_t>& bytes) {
  std::set<int> types;
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes.size() - at < 4) return std::nullopt;
    const std::size_t length = std::size_t{bytes[at]} << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
    at += 4;
    if (length == 0 || length > bytes.size() - at) return std::nullopt;
    types.insert(bytes[at] & 0x1f);
    at += length;
  }
  return types;
}

struct Playback {
  std::vector<std::uint8_t> record;  // the first frame's avcC
  std::vector<bool> idr;
  std::vector<double> psnr;  // of each decoded picture's worst block against its input
  std::vector<std::size_t> bytes;
};

// Encodes frames with a live session, checks what every encoded frame must
// satisfy and plays the stream back with libavcodec. Each frame is only
// submitted once the previous result is back: any lookahead or frame-thread
// delay would stall here.
void encodeAndPlay(int width, int height, int frames, const std::function<std::shared_ptr<ImageBuffer>(int)>& picture,
                   const std::function<std::optional<FrameOptions>(int)>& options, Playback& playback) {
  auto session = makeLiveSession(width, height);
  ASSERT_TRUE(session);
  EncodeResults results;
  std::unique_ptr<H264Decoder> decoder;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const auto image = picture(i);
    ASSERT_EQ(results.submit(*session, image, i, options(i)), 0);
    ASSERT_TRUE(results.waitFor(i + 1));
    const EncodeResult result = results.snapshot().back();
    ASSERT_EQ(result.status, 0);
    ASSERT_TRUE(result.sample && result.sample->formatDescription && result.sample->dataBuffer);
    const SampleBuffer& sample = *result.sample;
    EXPECT_EQ(sample.presentationTime, frameTime(i));
    EXPECT_EQ(sample.formatDescription->dimensions.width, width);
    EXPECT_EQ(sample.formatDescription->dimensions.height, height);
    const auto record = sample.formatDescription->extensions.at(keys::kSampleDescriptionExtensionAtoms)
                            .at(keys::kAvcC)
                            .get_binary();
    if (!decoder) {
      playback.record = record;
      ASSERT_GT(record.size(), 4u);
      EXPECT_EQ(record[4] & 0x03, 3) << "NAL lengths must be declared as 4 bytes";
      decoder = std::make_unique<H264Decoder>(record);
    }
    EXPECT_EQ(record, playback.record) << "the configuration must not change mid-stream";

    std::vector<std::uint8_t> bytes(sample.dataBuffer->dataLength());
    ASSERT_EQ(sample.dataBuffer->copyDataBytes(0, bytes.size(), bytes.data()), 0);
    EXPECT_LE(bytes.size(), 700'000u) << "beyond the sharing limit";
    const auto types = nalTypes(bytes);
    ASSERT_TRUE(types) << "NAL units are not 4-byte length-prefixed";
    EXPECT_FALSE(types->contains(kNalSps) || types->contains(kNalPps)) << "parameter sets belong in the record";
    const bool idr = types->contains(kNalIdr);
    const bool notSync = sample.attachments && !sample.attachments->empty() &&
                         sample.attachments->front().value(keys::kSampleAttachmentNotSync, false);
    EXPECT_EQ(notSync, !idr);

    std::vector<DecodedPicture> decoded;
    ASSERT_TRUE(decoder->decode(bytes, decoded));
    ASSERT_EQ(decoded.size(), 1u) << "the decoder must not need to wait for later frames";
    ASSERT_EQ(decoded[0].width, width);
    ASSERT_EQ(decoded[0].height, height);
    // Captured pictures are BT.601 video range; anything else shifts colours.
    EXPECT_EQ(decoded[0].colorMatrix, AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(decoded[0].fullRange);
    playback.idr.push_back(idr);
    playback.bytes.push_back(bytes.size());
    playback.psnr.push_back(psnr(*image, decoded[0]));
  }
}

// The blocks of now that differ from before, marked as the capture marks them.
ChangedBlocks changesBetween(const ImageBuffer& before, const ImageBuffer& now) {
  ChangedBlocks changed;
  changed.clear(now.width, now.height);
  for (int y = 0; y < now.height; ++y)
    for (int x = 0; x < now.width; ++x) {
      const std::size_t chroma = static_cast<std::size_t>(y / 2) * now.chromaStride + x;
      if (now.luma[y * now.lumaStride + x] != before.luma[y * before.lumaStride + x] ||
          now.chroma[chroma] != before.chroma[static_cast<std::size_t>(y / 2) * before.chromaStride + x])
        changed.mark(x, y, 1, 1);
    }
  return changed;
}

// Pictures come with the blocks that changed since the picture before them,
// and the encoder codes the rest as unchanged; pictures dropped on the way
// (by backpressure) hand their changes on, or their areas would stay stale.
TEST(X264Decode, FullHdSequencePlaysBackAsEncoded) {
  constexpr int kFrames = 48;
  const std::set<int> dropped = {9, 10, 30};
  std::vector<std::shared_ptr<ImageBuffer>> pictures;
  std::vector<std::optional<FrameOptions>> options;
  std::shared_ptr<ImageBuffer> previous;
  std::optional<ChangedBlocks> missed;
  for (int frame = 0; static_cast<int>(pictures.size()) < kFrames; ++frame) {
    auto picture = screenPicture(1920, 1080, frame);
    // Stripes that appear in a dropped picture and stay: the only news of them is that picture's.
    for (int y = 64; frame >= *dropped.begin() && y < 128; ++y)
      std::memset(&picture->luma[y * picture->lumaStride + 64], y % 4 < 2 ? 235 : 16, 64);
    if (previous) picture->changed = changesBetween(*previous, *picture);
    previous = picture;
    if (dropped.contains(frame)) {
      if (!missed) missed.emplace(picture->changed);
      else missed->add(picture->changed);
      continue;
    }
    options.push_back(pictures.size() < 2 ? std::optional(FrameOptions{.forceKeyFrame = true})
                      : missed             ? std::optional(FrameOptions{.missed = std::exchange(missed, {})})
                                           : std::nullopt);
    pictures.push_back(picture);
  }
  Playback playback;
  encodeAndPlay(1920, 1080, kFrames, [&](int i) { return pictures[i]; }, [&](int i) { return options[i]; },
                playback);
  ASSERT_FALSE(HasFatalFailure());
  const auto& record = playback.record;
  char codec[16];
  std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", record[1], record[2], record[3]);
  EXPECT_STREQ(codec, "avc1.42c028");  // Constrained Baseline, level 4.0

  std::vector<int> idrFrames;
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_GE(playback.psnr[i], kWorstBlockPsnr) << "frame " << i + 1;
    if (playback.idr[i]) idrFrames.push_back(i);
  }
  ASSERT_GE(idrFrames.size(), 2u);
  EXPECT_EQ(idrFrames[1], 1) << "frames 1 and 2 must be IDR";
  EXPECT_LT(idrFrames.size(), std::size_t{kFrames / 2}) << "most frames must be predicted";
  idrFrames.push_back(kFrames - 1);  // the stream's end, too, stays within one interval
  for (std::size_t k = 1; k < idrFrames.size(); ++k)
    EXPECT_LE(idrFrames[k] - idrFrames[k - 1], 24) << "after frame " << idrFrames[k - 1] + 1;
}

TEST(X264Decode, NoiseStaysWithinTheSharingRateAndLimitAndStillDecodes) {
  // Full-HD noise is the largest thing a screen can show; IDRs of it are the
  // largest frames the encoder can be asked for. Over any stretch of a second
  // or more, the stream may pass 6 Mbit/s by no more than one largest frame.
  constexpr int kFrames = 36;
  Playback playback;
  encodeAndPlay(1920, 1080, kFrames, [](int i) { return noisePicture(1920, 1080, i); },
                [](int i) { return i < 5 && i != 3 ? std::optional(FrameOptions{.forceKeyFrame = true}) : std::nullopt; }, playback);
  ASSERT_FALSE(HasFatalFailure());
  for (int first = 0; first < kFrames; ++first)
    for (int last = first + 11; last < kFrames; ++last) {
      const double bits = 8.0 * std::accumulate(&playback.bytes[first], &playback.bytes[last] + 1, 0.0);
      EXPECT_LE(bits, 6e6 * (last - first + 1) / 12 + 8 * 700'000) << "frames " << first + 1 << "-" << last + 1;
    }
}

}  // namespace
}  // namespace tavrino::share::testing
