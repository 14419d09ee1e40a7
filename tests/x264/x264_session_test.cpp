// The session's contract with its caller: threads, order, refusals, end of life.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "x264/encode_results.h"
#include "x264/live_session.h"
#include "x264/test_pictures.h"

namespace tavrino::share::testing {
namespace {

constexpr int kWidth = 320, kHeight = 240;

TEST(X264Session, ResultsComeOnOneEncoderThreadInInputOrder) {
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  constexpr int kFrames = 10;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(session->encodeFrame(movingPattern(kWidth, kHeight, i), frameTime(i), kFrameDuration,
                                   std::nullopt, results.handler()),
              0);
  }
  ASSERT_TRUE(results.waitFor(kFrames));
  const auto all = results.snapshot();
  ASSERT_EQ(all.size(), std::size_t{kFrames});
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(all[i].status, 0);
    ASSERT_TRUE(all[i].sample);
    EXPECT_EQ(all[i].sample->presentationTime, frameTime(i));
    EXPECT_NE(all[i].thread, std::this_thread::get_id());
    EXPECT_EQ(all[i].thread, all[0].thread);
  }
}

TEST(X264Session, CreateRefusesWhatItCannotEncode) {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  const auto hevc = static_cast<VideoCodec>(0x68766331);
  EXPECT_NE(factory.create(kWidth, kHeight, hevc, {true}, session), 0);
  EXPECT_FALSE(session);
  EXPECT_NE(factory.create(321, kHeight, VideoCodec::h264, {true}, session), 0);
  EXPECT_NE(factory.create(kWidth, 0, VideoCodec::h264, {true}, session), 0);
  EXPECT_NE(factory.create(-2, kHeight, VideoCodec::h264, {true}, session), 0);
  EXPECT_FALSE(session);
}

TEST(X264Session, RefusedPropertiesLeaveTheRestInForce) {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(factory.create(kWidth, kHeight, VideoCodec::h264, {true}, session), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::realTime, true), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::averageBitRate, true), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::expectedFrameRate, std::int64_t{0}), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::maxKeyFrameInterval,
                                 ProfileLevel::h264BaselineAutoLevel),
            0);
  EXPECT_EQ(session->setProperty(CompressionProperty::maxFrameDelayCount, std::int64_t{0}), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::maxKeyFrameInterval, std::int64_t{5}), 0);
  EXPECT_EQ(session->prepareToEncodeFrames(), 0);

  EncodeResults results;
  int lastKey = -1;
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(session->encodeFrame(movingPattern(kWidth, kHeight, i), frameTime(i), kFrameDuration,
                                   std::nullopt, results.handler()),
              0);
    ASSERT_TRUE(results.waitFor(i + 1)) << "a frame was held back";
    const auto result = results.snapshot().back();
    ASSERT_EQ(result.status, 0);
    if (!isNotSync(*result.sample)) {
      if (lastKey >= 0) {
        EXPECT_LE(i - lastKey, 5);
      }
      lastKey = i;
    }
  }
  EXPECT_GE(lastKey, 7) << "key frames must follow the accepted interval";
}

TEST(X264Session, EncodeFrameRefusesPicturesItCannotRead) {
  auto session = makeLiveSession(kWidth, kHeight);
  ASSERT_TRUE(session);
  EncodeResults results;
  auto submit = [&](std::shared_ptr<const ImageBuffer> image, MediaTime time) {
    return session->encodeFrame(std::move(image), time, kFrameDuration, std::nullopt, results.handler());
  };
  EXPECT_NE(submit(movingPattern(kWidth + 2, kHeight, 0), frameTime(0)), 0);
  auto shortLuma = movingPattern(kWidth, kHeight, 0);
  shortLuma->luma.resize(shortLuma->luma.size() / 2);
  EXPECT_NE(submit(shortLuma, frameTime(0)), 0);
  auto shortChroma = movingPattern(kWidth, kHeight, 0);
  // One byte short of the last chroma row; the stride padding is not needed.
  shortChroma->chroma.resize(shortChroma->chroma.size() -
                             (shortChroma->chromaStride - kWidth) - 1);
  EXPECT_NE(submit(shortChroma, frameTime(0)), 0);
  auto narrowStride = movingPattern(kWidth, kHeight, 0);
  narrowStride->lumaStride = kWidth - 2;
  EXPECT_NE(submit(narrowStride, frameTime(0)), 0);
  auto otherFormat = movingPattern(kWidth, kHeight, 0);
  otherFormat->pixelFormat = 0x42475241;  // 'BGRA'
  EXPECT_NE(submit(otherFormat, frameTime(0)), 0);
  EXPECT_NE(submit(nullptr, frameTime(0)), 0);
  EXPECT_NE(submit(movingPattern(kWidth, kHeight, 0), MediaTime{}), 0);
  EXPECT_NE(session->encodeFrame(movingPattern(kWidth, kHeight, 0), frameTime(0), kFrameDuration,
                                 std::nullopt, nullptr),
            0);

  ASSERT_EQ(submit(movingPattern(kWidth, kHeight, 1), frameTime(1)), 0);
  ASSERT_TRUE(results.waitFor(1));
  // A refused frame never reaches the handler, so the good one is first.
  const auto first = results.snapshot().front();
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.sample->presentationTime, frameTime(1));
}

TEST(X264Session, InvalidateEndsTheSessionAtOnce) {
  auto session = makeLiveSession(640, 360);
  ASSERT_TRUE(session);
  EncodeResults results;
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(session->encodeFrame(movingPattern(640, 360, i), frameTime(i), kFrameDuration,
                                   std::nullopt, results.handler()),
              0);
  }
  session->invalidate();
  const std::size_t delivered = results.snapshot().size();
  EXPECT_LE(delivered, 6u);
  EXPECT_NE(session->encodeFrame(movingPattern(640, 360, 6), frameTime(6), kFrameDuration,
                                 std::nullopt, results.handler()),
            0);
  EXPECT_NE(session->setProperty(CompressionProperty::realTime, true), 0);
  EXPECT_NE(session->prepareToEncodeFrames(), 0);
  session->invalidate();
  session.reset();
  EXPECT_EQ(results.snapshot().size(), delivered) << "no result after invalidate returned";
}

TEST(X264Session, DestructionWithoutInvalidateDropsQueuedFrames) {
  auto session = makeLiveSession(1920, 1080);
  ASSERT_TRUE(session);
  auto owner = std::make_shared<int>(0);
  std::atomic<int> delivered{0};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(session->encodeFrame(movingPattern(1920, 1080, i), frameTime(i), kFrameDuration,
                                   std::nullopt,
                                   [owner, &delivered](std::int32_t, std::uint32_t,
                                                       std::shared_ptr<const SampleBuffer>) {
                                     ++delivered;
                                   }),
              0);
  }
  session.reset();
  const int afterDestruction = delivered.load();
  EXPECT_LE(afterDestruction, 4);
  EXPECT_EQ(owner.use_count(), 1) << "handlers of dropped frames must be released";
}

TEST(X264Session, MayBeDestroyedFromItsOwnResultHandler) {
  auto holder = std::make_shared<std::unique_ptr<CompressionSession>>(makeLiveSession(kWidth, kHeight));
  ASSERT_TRUE(*holder);
  std::promise<std::int32_t> done;
  auto handler = [holder, &done](std::int32_t status, std::uint32_t,
                                 std::shared_ptr<const SampleBuffer>) {
    holder->reset();
    done.set_value(status);
  };
  ASSERT_EQ((*holder)->encodeFrame(movingPattern(kWidth, kHeight, 0), frameTime(0), kFrameDuration,
                                   std::nullopt, handler),
            0);
  auto result = done.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
}

}  // namespace
}  // namespace tavrino::share::testing
