#include "video_pipe.h"

#include <signal.h>

#include <cerrno>
#include <utility>

#include <asio/post.hpp>

#include "platform/await_completion.h"

namespace tavrino::share {

struct VideoPipe::Private {};

namespace {

constexpr std::int64_t kMaxFramesInFlight = 2;
constexpr MediaTime kFrameDuration = MediaTime::make(1, 12);

std::string withStatus(const char* prefix, std::int32_t status) {
  return prefix + std::to_string(status) + ").";
}

}  // namespace

VideoPipe::VideoPipe(Private, std::string request, std::optional<std::int32_t> ownerPID,
                     SendMessage send, SendBody sendFrameBody)
    : queue_(makeSerialQueue()),
      request_(std::move(request)),
      ownerPID_(ownerPID),
      send_(std::move(send)),
      sendFrameBody_(std::move(sendFrameBody)) {}

VideoPipe::CreateResult VideoPipe::create(std::int32_t width, std::int32_t height,
                                          std::string request,
                                          std::optional<std::int32_t> ownerPID,
                                          CompressionSessionFactory& encoders, SendMessage send,
                                          SendBody sendFrameBody) {
  auto pipe = std::make_shared<VideoPipe>(Private{}, std::move(request), ownerPID, std::move(send),
                                          std::move(sendFrameBody));

  std::unique_ptr<CompressionSession> session;
  EncoderRequirements requirements;
  requirements.requireHardwareAcceleratedVideoEncoder = true;
  const std::int32_t status = encoders.create(width, height, VideoCodec::h264, requirements, session);
  if (status != 0 || !session) {
    return ErrorValue{"TavrinoShare", 1, withStatus("Hardware video encoder unavailable (", status)};
  }

  configureForLiveSharing(*session);

  // Nobody else holds the pipe yet, so setting the field here needs no queue.
  pipe->encoder_ = std::move(session);
  return pipe;
}

void VideoPipe::configureForLiveSharing(CompressionSession& session) {
  // A refused property leaves the encoder's own choice in place; the stream is
  // still usable, so the results are deliberately not checked.
  session.setProperty(CompressionProperty::realTime, true);
  session.setProperty(CompressionProperty::allowFrameReordering, false);
  session.setProperty(CompressionProperty::profileLevel, ProfileLevel::h264BaselineAutoLevel);
  session.setProperty(CompressionProperty::averageBitRate, std::int64_t{6'000'000});
  session.setProperty(CompressionProperty::expectedFrameRate, std::int64_t{12});
  session.setProperty(CompressionProperty::maxFrameDelayCount, std::int64_t{0});
  session.setProperty(CompressionProperty::maxKeyFrameInterval, std::int64_t{24});
  session.prepareToEncodeFrames();
}

bool VideoPipe::ownerGone() const {
  if (!ownerPID_) return false;
  // Signal 0 only asks whether the process exists. EPERM means it exists but
  // belongs to someone else, which is not "gone".
  return ::kill(*ownerPID_, 0) != 0 && errno == ESRCH;
}

void VideoPipe::streamDidOutputSampleBuffer(CaptureStream&, std::shared_ptr<const SampleBuffer> sample,
                                            StreamOutputType type) {
  if (type != StreamOutputType::screen) return;
  if (stopped_) return;
  // Probed before the sample is judged, so that incomplete frames (the only
  // kind a still desktop produces) also notice a closed owner.
  if (ownerGone()) {
    fail("Tavrino closed. Start sharing again after reopening it.");
    return;
  }
  if (!sample || !sample->attachments || sample->attachments->empty()) return;
  const Dictionary& info = sample->attachments->front();
  if (!info.is_object() || info.empty()) return;
  auto status = info.find(keys::kStreamFrameInfoStatus);
  if (status == info.end() || !status->is_number_integer()) return;
  const bool full = static_cast<std::int64_t>(pending_.size()) >= kMaxFramesInFlight;
  if (status->get<std::int64_t>() == keys::kFrameStatusIdle) {
    if (held_ && !full && encoder_) submit(std::exchange(held_, {}), sample->presentationTime);
    return;
  }
  if (status->get<std::int64_t>() != keys::kFrameStatusComplete) return;
  if (!sample->image || !encoder_) return;

  if (full) {
    ++received_;
    ++skipped_;
    // The encoder measures the next picture against the last it saw.
    if (missed_) {
      missed_->add(sample->image->changed);
    } else {
      missed_ = sample->image->changed;
    }
    held_ = sample->image;
    return;
  }
  // Whatever was held is older than this picture, and its changes are in missed_.
  held_.reset();
  submit(sample->image, sample->presentationTime);
}

void VideoPipe::submit(std::shared_ptr<const ImageBuffer> image, MediaTime presentationTime) {
  ++received_;
  const std::int64_t id = ++nextID_;
  pending_.insert(id);

  if (!firstTimestamp_) firstTimestamp_ = presentationTime;
  const MediaTime time = subtract(presentationTime, *firstTimestamp_);
  // Two forced key frames: a receiver whose decoder missed the first one still
  // starts at once instead of waiting for the next scheduled key frame.
  std::optional<FrameOptions> options;
  if (id <= 2 || missed_) options = FrameOptions{.forceKeyFrame = id <= 2, .missed = std::exchange(missed_, {})};

  // The handler keeps the pipe alive until its result has been handled.
  auto handler = [self = shared_from_this(), id](std::int32_t result, std::uint32_t,
                                                 std::shared_ptr<const SampleBuffer> encoded) {
    asio::post(self->queue_, [self, id, result, encoded = std::move(encoded)]() mutable {
      self->handleResult(result, std::move(encoded), id);
    });
  };
  const std::int32_t accepted =
      encoder_->encodeFrame(std::move(image), time, kFrameDuration, options, std::move(handler));
  if (accepted != 0) {
    pending_.erase(id);
    fail(withStatus("Video input failed (", accepted));
  }
}

void VideoPipe::acknowledge(std::int64_t id) {
  asio::post(queue_, [self = shared_from_this(), id] { self->pending_.erase(id); });
}

asio::awaitable<void> VideoPipe::finish() {
  auto start = [self = shared_from_this()](auto complete) {
    asio::post(self->queue_, [self, complete = std::move(complete)]() mutable {
      self->finishOnQueue();
      complete();
    });
  };
  // Kept out of the co_await expression: GCC 12 destroys temporaries with
  // captures there twice, which would release the pipe one time too many.
  auto done = awaitCompletion<void>(std::move(start));
  co_await std::move(done);
}

void VideoPipe::finishOnQueue() {
  stopped_ = true;
  if (encoder_) {
    encoder_->invalidate();
    encoder_.reset();
  }
  pending_.clear();
  held_.reset();
  send_({{"type", "stats"},
         {"request", request_},
         {"received", received_},
         {"sent", sent_},
         {"backpressureDrops", skipped_}});
}

void VideoPipe::fail(const std::string& message) {
  stopped_ = true;
  held_.reset();
  send_({{"type", "error"}, {"request", request_}, {"message", message}});
}

}  // namespace tavrino::share
