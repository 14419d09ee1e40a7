#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/x264/x264_compression_session.h"
#include "video_pipe/video_pipe.h"

namespace tavrino::share::testing {

// A session configured the way the video pipe configures it.
inline std::unique_ptr<CompressionSession> makeLiveSession(int width, int height) {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create(width, height, VideoCodec::h264, {true}, session), 0);
  if (session) VideoPipe::configureForLiveSharing(*session);
  return session;
}

inline MediaTime frameTime(int index) {
  return MediaTime::make(std::int64_t{index} * 1'000'000'000 / 12, 1'000'000'000);
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
    return [state = state_](std::int32_t status, std::uint32_t,
                            std::shared_ptr<const SampleBuffer> sample) {
      std::lock_guard lock(state->mutex);
      state->results.push_back({status, std::move(sample), std::this_thread::get_id()});
      state->changed.notify_all();
    };
  }

  // Submits frame index of a 12 fps sequence with its presentation time.
  std::int32_t submit(CompressionSession& session, std::shared_ptr<const ImageBuffer> image,
                      int index, bool forceKeyFrame = false) {
    const auto options = forceKeyFrame ? std::optional(FrameOptions{true}) : std::nullopt;
    return session.encodeFrame(std::move(image), frameTime(index), MediaTime::make(1, 12), options,
                               handler());
  }

  bool waitFor(std::size_t count) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::seconds(30),
                                    [&] { return state_->results.size() >= count; });
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

inline bool isNotSync(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return false;
  return sample.attachments->front().value(keys::kSampleAttachmentNotSync, false);
}

inline std::vector<std::uint8_t> bytesOf(const SampleBuffer& sample) {
  std::vector<std::uint8_t> bytes(sample.dataBuffer->dataLength());
  EXPECT_EQ(sample.dataBuffer->copyDataBytes(0, bytes.size(), bytes.data()), 0);
  return bytes;
}

}  // namespace tavrino::share::testing
