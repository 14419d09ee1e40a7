// The session's contract with its caller: threads, order, refusals, end of life.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "x264/live_session.h"
#include "x264/test_pictures.h"

namespace tavrino::share::testing {
namespace {

constexpr int kWidth = 320, kHeight = 240;

TEST(X264Session, RefusesUnreadableFramesAndDeliversTheRestInOrderOnOneEncoderThread) {
  const std::function<void(ImageBuffer&)> spoilers[] = {
      [](ImageBuffer& image) { image.width += 2; },
      [](ImageBuffer& image) { image.luma.resize(image.luma.size() / 2); },
      // One byte short of the last chroma row; the stride padding is not needed.
      [](ImageBuffer& image) {
        image.chroma.resize(image.chroma.size() - (image.chromaStride - kWidth) - 1);
      },
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
  for (int i = 1; i <= kFrames; ++i) {
    ASSERT_EQ(results.submit(*session, screenPicture(kWidth, kHeight, i), i), 0);
  }
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
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(results.submit(*session, screenPicture(1920, 1080, i), i), 0);
  }
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
  auto handler = [holder, &done](std::int32_t status, std::uint32_t,
                                 std::shared_ptr<const SampleBuffer>) {
    holder->reset();
    done.set_value(status);
  };
  ASSERT_EQ((*holder)->encodeFrame(screenPicture(kWidth, kHeight, 0), frameTime(0),
                                   MediaTime::make(1, 12), std::nullopt, handler),
            0);
  auto result = done.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
}

}  // namespace
}  // namespace tavrino::share::testing
