#pragma once

// Drives one VideoPipe the way the capture service, the encoder and the
// dispatcher do, each from its own thread, and records what it sends.

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <nlohmann/json.hpp>

#include "doubles/fake_compression_session.h"
#include "video_pipe/video_pipe.h"
#include "video_pipe_inspector.h"

namespace tavrino::share::testing {

class MessageLog {
 public:
  void add(const nlohmann::json& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
  }
  std::vector<nlohmann::json> all() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> types() const {
    std::vector<std::string> result;
    for (const auto& m : all()) result.push_back(m.at("type").get<std::string>());
    return result;
  }
  std::vector<nlohmann::json> ofType(const std::string& type) const {
    std::vector<nlohmann::json> result;
    for (const auto& m : all())
      if (m.at("type") == type) result.push_back(m);
    return result;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> messages_;
};

class NullStream final : public CaptureStream {
 public:
  std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput>, StreamOutputType,
                                            SerialQueue) override {
    return std::nullopt;
  }
  void startCapture(StreamCompletion completion) override { completion(std::nullopt); }
  void stopCapture(StreamCompletion completion) override { completion(std::nullopt); }
};

inline MediaTime seconds(double value) {
  return MediaTime::make(static_cast<std::int64_t>(value * 1'000'000'000), 1'000'000'000);
}

class PipeHarness {
 public:
  static constexpr const char* kRequest = "req-7";

  explicit PipeHarness(std::optional<std::int32_t> ownerPID = std::nullopt,
                       bool frameBodies = false, std::string request = kRequest) {
    SendBody sendBody;
    if (frameBodies) {
      sendBody = [log = log, bodies = bodies](const std::string& body) {
        bodies->add(body);
        log->add(nlohmann::json::parse(body));
      };
    }
    auto result = VideoPipe::create(1280, 720, std::move(request), ownerPID, encoders,
                                    [log = log](const nlohmann::json& m) { log->add(m); },
                                    std::move(sendBody));
    pipe = std::get<std::shared_ptr<VideoPipe>>(result);
  }
  ~PipeHarness() {
    // A pipe left running would be kept alive by the handlers the double holds.
    if (!finished_) finish();
    session().releaseHandlers();
  }

  FakeSessionLog& session() { return *encoders.log; }

  // Hands one sample to the pipe on its queue, as the capture service does.
  void offer(std::shared_ptr<const SampleBuffer> sample,
             StreamOutputType type = StreamOutputType::screen) {
    std::promise<void> done;
    asio::post(pipe->queue(), [&] {
      pipe->streamDidOutputSampleBuffer(stream, std::move(sample), type);
      done.set_value();
    });
    done.get_future().get();
  }
  void offerFrameAt(double at, std::int64_t status = 0) {
    offer(makeCapturedSample(seconds(at), status));
  }

  // Reports the encoder's result for the index-th encode call from an encoder
  // thread and waits until the pipe has handled it.
  void deliver(std::size_t index, std::int32_t status, std::shared_ptr<const SampleBuffer> sample) {
    session().deliverOnThread(index, status, std::move(sample));
    snapshot();
  }
  void deliverGood(std::size_t index, EncodedSampleSpec spec = {}) {
    spec.presentationTime = session().call(index).presentationTime;
    deliver(index, 0, makeEncodedSample(std::move(spec)));
  }

  void acknowledge(std::int64_t id) {
    std::thread([&] { pipe->acknowledge(id); }).join();
    snapshot();
  }

  VideoPipeInspector::Snapshot snapshot() { return VideoPipeInspector::snapshot(*pipe); }

  // Runs finish() as the capture stop does: a coroutine on its own executor.
  // Returns whether it resumed on that executor's thread.
  bool finish() {
    finished_ = true;
    asio::io_context context;
    bool resumedHere = false;
    const auto thread = std::this_thread::get_id();
    asio::co_spawn(
        context,
        [&]() -> asio::awaitable<void> {
          co_await pipe->finish();
          resumedHere = std::this_thread::get_id() == thread;
        },
        asio::detached);
    context.run();
    // The pool thread that resumed us may still be inside the context's wake-up
    // call; passing the pipe's queue once more orders that before the context
    // is destroyed.
    snapshot();
    return resumedHere;
  }

  FakeCompressionSessionFactory encoders;
  std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();
  std::shared_ptr<MessageLog> bodies = std::make_shared<MessageLog>();  // raw frame texts
  NullStream stream;
  std::shared_ptr<VideoPipe> pipe;

 private:
  bool finished_ = false;
};

}  // namespace tavrino::share::testing
