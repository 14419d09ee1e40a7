#pragma once

// A scriptable H.264 compression session for unit tests. It records what the
// pipe asks of it and lets the test decide, frame by frame, what the encoder
// reports back and on which thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio/post.hpp>

#include "platform/compression_session.h"
#include "platform/media_sample.h"
#include "platform/serial_queue.h"

namespace tavrino::share::testing {

struct EncodeCall {
  std::shared_ptr<const ImageBuffer> image;
  MediaTime presentationTime;
  std::optional<FrameOptions> options;
  EncodeOutputHandler handler;
};

// What one fake session saw. Shared between the session (owned by the code
// under test) and the test, so the test can look after the session is gone.
class FakeSessionLog {
 public:
  using AutoResult = std::function<std::shared_ptr<const SampleBuffer>(const EncodeCall&)>;

  // Status encodeFrame returns; a non-zero status refuses the frame (its
  // handler is dropped, never called).
  void refuseFramesWith(std::int32_t status) {
    std::lock_guard lock(mutex_);
    refuseStatus_ = status;
  }
  // Every accepted frame gets its result from this function, run on a
  // background pool thread right after encodeFrame returns.
  void completeAutomatically(AutoResult result) {
    std::lock_guard lock(mutex_);
    autoResult_ = std::move(result);
  }
  // Keeps no record of encode calls (long benchmark runs).
  void forgetCalls() {
    std::lock_guard lock(mutex_);
    keepCalls_ = false;
  }

  std::atomic<bool> invalidated{false};
  std::atomic<bool> sessionAlive{false};
  std::size_t callCount() const {
    std::lock_guard lock(mutex_);
    return callCount_;
  }
  // Copy of the index-th recorded encode call (0-based, in call order).
  EncodeCall call(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return calls_.at(index);
  }

  // Delivers the result of the index-th call on the calling thread.
  void deliver(std::size_t index, std::int32_t status, std::shared_ptr<const SampleBuffer> sample) const {
    call(index).handler(status, 0, std::move(sample));
  }
  // The same, from a thread of its own that is joined before returning.
  void deliverOnThread(std::size_t index, std::int32_t status, std::shared_ptr<const SampleBuffer> sample) const {
    std::thread([&] { deliver(index, status, sample); }).join();
  }
  // Drops every stored handler, so that nothing the handlers hold outlives the test.
  void releaseHandlers() {
    std::lock_guard lock(mutex_);
    for (auto& c : calls_) c.handler = nullptr;
  }

  // What encodeFrame does with a call; the status it returns.
  std::int32_t encode(EncodeCall call) {
    std::lock_guard lock(mutex_);
    ++callCount_;
    if (refuseStatus_ != 0) call.handler = nullptr;
    if (keepCalls_) calls_.push_back(call);
    if (refuseStatus_ == 0 && autoResult_)
      asio::post(backgroundPool(), [handler = std::move(call.handler), sample = autoResult_(call)] {
        handler(0, 0, sample);
      });
    return refuseStatus_;
  }

 private:
  mutable std::mutex mutex_;
  std::int32_t refuseStatus_ = 0;
  AutoResult autoResult_;
  bool keepCalls_ = true;
  std::size_t callCount_ = 0;
  std::vector<EncodeCall> calls_;
};

class FakeCompressionSession final : public CompressionSession {
 public:
  explicit FakeCompressionSession(std::shared_ptr<FakeSessionLog> log) : log_(std::move(log)) {
    log_->sessionAlive = true;
  }
  ~FakeCompressionSession() override { log_->sessionAlive = false; }

  std::int32_t setProperty(CompressionProperty, const PropertyValue&) override { return 0; }
  std::int32_t prepareToEncodeFrames() override { return 0; }
  std::int32_t encodeFrame(std::shared_ptr<const ImageBuffer> image, MediaTime presentationTime, MediaTime,
                           const std::optional<FrameOptions>& options, EncodeOutputHandler handler) override {
    return log_->encode({std::move(image), presentationTime, options, std::move(handler)});
  }
  void invalidate() override { log_->invalidated = true; }

 private:
  std::shared_ptr<FakeSessionLog> log_;
};

class FakeCompressionSessionFactory final : public CompressionSessionFactory {
 public:
  // Status create() returns, and whether it stores a session.
  std::int32_t createStatus = 0;
  bool storeSession = true;
  // Runs inside create(), on the thread that opens the encoder.
  std::function<void()> whileCreating = [] {};
  std::vector<std::thread::id> createThreads;
  std::shared_ptr<FakeSessionLog> log = std::make_shared<FakeSessionLog>();

  std::int32_t create(std::int32_t, std::int32_t, VideoCodec, const EncoderRequirements&,
                      std::unique_ptr<CompressionSession>& session) override {
    whileCreating();
    createThreads.push_back(std::this_thread::get_id());
    if (storeSession) session = std::make_unique<FakeCompressionSession>(log);
    return createStatus;
  }
};

struct EncodedSampleSpec {
  std::vector<std::uint8_t> data = {0, 0, 0, 2, 0x65, 0x88};
  // An AVCDecoderConfigurationRecord for Baseline, constrained, level 3.1.
  std::optional<std::vector<std::uint8_t>> avcC = std::vector<std::uint8_t>{
      0x01, 0x42, 0xC0, 0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x42,
      0xC0, 0x1F, 0x01, 0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80};
  std::optional<bool> notSync;  // none: no attachment list at all
  MediaTime presentationTime = MediaTime::make(0, 1000000);
  VideoDimensions dimensions{1280, 720};
};

// An encoded sample as the encoder would report it.
inline std::shared_ptr<SampleBuffer> makeEncodedSample(EncodedSampleSpec spec = {}) {
  auto format = std::make_shared<FormatDescription>();
  format->dimensions = spec.dimensions;
  if (spec.avcC)
    format->extensions = {
        {keys::kSampleDescriptionExtensionAtoms, {{keys::kAvcC, Dictionary::binary(std::move(*spec.avcC))}}}};
  auto sample = std::make_shared<SampleBuffer>();
  sample->formatDescription = std::move(format);
  sample->dataBuffer = std::make_shared<ContiguousBlockBuffer>(std::move(spec.data));
  sample->presentationTime = spec.presentationTime;
  if (spec.notSync)
    sample->attachments = std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, *spec.notSync}}};
  return sample;
}

// A captured screen sample with the given frame status (0 = complete).
inline std::shared_ptr<SampleBuffer> makeCapturedSample(
    MediaTime presentationTime, std::int64_t frameStatus = 0,
    std::shared_ptr<const ImageBuffer> image = ImageBuffer::makeNV12(16, 16)) {
  auto sample = std::make_shared<SampleBuffer>();
  sample->attachments = std::vector<Dictionary>{{{keys::kStreamFrameInfoStatus, frameStatus}}};
  sample->image = std::move(image);
  sample->presentationTime = presentationTime;
  return sample;
}

}  // namespace tavrino::share::testing
