#include "platform/x264/x264_compression_session.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/x264/x264_encoder.h"
#include "platform/x264/x264_settings.h"

namespace tavrino::share {

namespace {

struct Job {
  std::shared_ptr<const ImageBuffer> image;
  MediaTime presentationTime;
  bool forceKeyFrame = false;
  std::optional<ChangedBlocks> missed;
  EncodeOutputHandler handler;
};

struct InFlight {
  MediaTime presentationTime;
  EncodeOutputHandler handler;
};

struct Delivery {
  EncodeOutputHandler handler;
  std::int32_t status = 0;
  std::shared_ptr<const SampleBuffer> sample;
};

// Whether the encoder can read a whole picture of this size from image.
bool fitsSession(const ImageBuffer& image, int width, int height) {
  if (image.pixelFormat != ImageBuffer::kPixelFormat420v) return false;
  if (image.width != width || image.height != height) return false;
  if (image.lumaStride < width || image.chromaStride < width) return false;
  const auto rows = static_cast<std::size_t>(height);
  const auto chromaRows = rows / 2;
  return image.luma.size() >= static_cast<std::size_t>(image.lumaStride) * (rows - 1) + width &&
         image.chroma.size() >=
             static_cast<std::size_t>(image.chromaStride) * (chromaRows - 1) + width;
}

std::shared_ptr<const SampleBuffer> makeSample(X264Encoder::Output&& output, MediaTime time,
                                               std::shared_ptr<const FormatDescription> format) {
  auto sample = std::make_shared<SampleBuffer>();
  sample->presentationTime = time;
  sample->formatDescription = std::move(format);
  sample->dataBuffer = std::make_shared<ContiguousBlockBuffer>(std::move(output.bytes));
  sample->attachments.emplace();
  sample->attachments->push_back(output.idr ? Dictionary::object()
                                            : Dictionary{{keys::kSampleAttachmentNotSync, true}});
  return sample;
}

// State shared by the session and its worker thread, so that a worker that
// outlives its session (destroyed from inside a result handler) stays sound.
// The encoder opens once its settings are known: at prepareToEncodeFrames,
// or with the first frame; x264 holds tens of megabytes per encoder.
class SessionCore {
 public:
  SessionCore(int width, int height) : width_(width), height_(height) {}

  int width() const { return width_; }
  int height() const { return height_; }

  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) {
    if (isStopping()) return x264status::kInvalidSession;
    std::lock_guard lock(encoderMutex_);
    const std::int32_t status = applyProperty(settings_, key, value);
    if (status == 0) dirty_ = true;
    return status;
  }

  std::int32_t prepare() {
    if (isStopping()) return x264status::kInvalidSession;
    std::lock_guard lock(encoderMutex_);
    // Frames still inside the encoder must come out on the worker, not here.
    if (!inFlight_.empty()) return 0;
    std::vector<Delivery> none;
    return reopenIfDirty(none);
  }

  std::int32_t submit(Job job) {
    // Notified under the lock: once the worker can see the job, its handler
    // may drop the last reference to the session, and the core with it.
    std::lock_guard lock(queueMutex_);
    if (stopping_) return x264status::kInvalidSession;
    jobs_.push_back(std::move(job));
    wake_.notify_one();
    return 0;
  }

  // Stops the worker; returns the jobs it will never run, for the caller to
  // destroy outside every lock (their handlers may own this session's owner).
  std::deque<Job> stop() {
    std::deque<Job> dropped;
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
    dropped.swap(jobs_);
    wake_.notify_all();
    return dropped;
  }

  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(queueMutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) break;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      std::vector<Delivery> deliveries = encode(std::move(job));
      for (Delivery& delivery : deliveries) {
        if (isStopping()) break;
        delivery.handler(delivery.status, 0, std::move(delivery.sample));
      }
    }
    std::map<std::int64_t, InFlight> abandoned;
    std::unique_ptr<X264Encoder> encoder;
    {
      std::lock_guard lock(encoderMutex_);
      abandoned.swap(inFlight_);
      encoder = std::move(encoder_);
    }
  }

 private:
  bool isStopping() {
    std::lock_guard lock(queueMutex_);
    return stopping_;
  }

  std::vector<Delivery> encode(Job job) {
    std::vector<Delivery> deliveries;
    std::lock_guard lock(encoderMutex_);
    const std::int32_t opened = reopenIfDirty(deliveries);
    if (!encoder_) {
      deliveries.push_back({std::move(job.handler), opened != 0 ? opened : x264status::kEncoderUnavailable, nullptr});
      return deliveries;
    }
    const std::int64_t sequence = nextSequence_++;
    inFlight_.emplace(sequence, InFlight{job.presentationTime, std::move(job.handler)});
    X264Encoder::Output output;
    const int result = encoder_->encode(job.image.get(), job.missed ? &*job.missed : nullptr, sequence,
                                        job.forceKeyFrame, output);
    if (result < 0) {
      auto node = inFlight_.extract(sequence);
      deliveries.push_back({std::move(node.mapped().handler), x264status::kEncodeFailed, nullptr});
    } else if (result > 0) {
      collect(std::move(output), deliveries);
    }
    return deliveries;
  }

  void collect(X264Encoder::Output&& output, std::vector<Delivery>& deliveries) {
    auto node = inFlight_.extract(output.sequence);
    if (node.empty()) return;
    deliveries.push_back({std::move(node.mapped().handler), 0,
                          makeSample(std::move(output), node.mapped().presentationTime,
                                     encoder_->formatDescription())});
  }

  // Opens an encoder with the current settings and, once it is open, drains
  // the old one into deliveries. If x264 refuses the settings the old encoder
  // stays: a refused configuration leaves the session as it was.
  std::int32_t reopenIfDirty(std::vector<Delivery>& deliveries) {
    if (!dirty_) return 0;
    dirty_ = false;
    x264_param_t params;
    if (!makeX264Parameters(settings_, width_, height_, params)) return x264status::kParameter;
    auto fresh = X264Encoder::open(params);
    if (!fresh) return x264status::kEncoderUnavailable;
    while (encoder_ && encoder_->delayedFrames() > 0) {
      X264Encoder::Output output;
      if (encoder_->encode(nullptr, nullptr, 0, false, output) <= 0) break;
      collect(std::move(output), deliveries);
    }
    for (auto& [sequence, frame] : inFlight_) {
      deliveries.push_back({std::move(frame.handler), x264status::kEncodeFailed, nullptr});
    }
    inFlight_.clear();
    encoder_ = std::move(fresh);
    return 0;
  }

  const int width_;
  const int height_;

  std::mutex encoderMutex_;
  X264Settings settings_;
  bool dirty_ = true;
  std::unique_ptr<X264Encoder> encoder_;
  std::int64_t nextSequence_ = 0;
  std::map<std::int64_t, InFlight> inFlight_;  // inside the encoder, by sequence

  std::mutex queueMutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
};

class X264CompressionSession final : public CompressionSession {
 public:
  explicit X264CompressionSession(std::shared_ptr<SessionCore> core)
      : core_(std::move(core)), worker_([core = core_] { core->run(); }) {}

  ~X264CompressionSession() override { invalidate(); }

  X264CompressionSession(const X264CompressionSession&) = delete;
  X264CompressionSession& operator=(const X264CompressionSession&) = delete;

  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) override {
    return core_->setProperty(key, value);
  }

  std::int32_t prepareToEncodeFrames() override { return core_->prepare(); }

  // The duration is not used: the rate control works from the expected frame rate.
  std::int32_t encodeFrame(std::shared_ptr<const ImageBuffer> image, MediaTime presentationTime,
                           MediaTime /*duration*/, const std::optional<FrameOptions>& options,
                           EncodeOutputHandler handler) override {
    if (!image || !handler || !presentationTime.isValid()) return x264status::kParameter;
    if (!fitsSession(*image, core_->width(), core_->height())) return x264status::kParameter;
    return core_->submit(Job{std::move(image), presentationTime, options && options->forceKeyFrame,
                             options ? options->missed : std::nullopt, std::move(handler)});
  }

  void invalidate() override {
    std::thread worker;
    {
      std::lock_guard lock(workerMutex_);
      worker = std::move(worker_);
    }
    std::deque<Job> dropped = core_->stop();
    if (!worker.joinable()) return;
    // From inside a result handler the worker cannot wait for itself; it
    // ends on its own once the handler returns, keeping the core alive.
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else {
      worker.join();
    }
  }

 private:
  std::shared_ptr<SessionCore> core_;
  std::mutex workerMutex_;
  std::thread worker_;
};

}  // namespace

std::int32_t X264CompressionSessionFactory::create(std::int32_t width, std::int32_t height,
                                                   VideoCodec codec,
                                                   const EncoderRequirements& /*requirements*/,
                                                   std::unique_ptr<CompressionSession>& session) {
  // A required hardware encoder is satisfied by libx264, this platform's H.264 encoder.
  session.reset();
  if (codec != VideoCodec::h264) return x264status::kCodecNotSupported;
  // 4:2:0 needs even sizes.
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) return x264status::kParameter;
  x264_param_t params;
  if (!makeX264Parameters(X264Settings{}, width, height, params)) return x264status::kEncoderUnavailable;
  session = std::make_unique<X264CompressionSession>(std::make_shared<SessionCore>(width, height));
  return 0;
}

}  // namespace tavrino::share
