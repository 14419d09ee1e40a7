#pragma once

// Drives one VideoPipe the way the capture service, the encoder and the
// dispatcher do, each from its own thread, and records what it sends.

#include <future>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <nlohmann/json.hpp>

#include "doubles/fake_capture_service.h"
#include "doubles/fake_compression_session.h"
#include "doubles/message_log.h"
#include "video_pipe/video_pipe.h"
#include "video_pipe_inspector.h"

namespace tavrino::share::testing {

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
    pipe = std::get<std::shared_ptr<VideoPipe>>(
        VideoPipe::create(1280, 720, std::move(request), ownerPID, encoders,
                          [log = log](const nlohmann::json& m) { log->add(m); }, std::move(sendBody)));
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
  FakeCaptureStream stream{{}, {}, std::nullopt};  // only named as the samples' source
  std::shared_ptr<VideoPipe> pipe;

 private:
  bool finished_ = false;
};

}  // namespace tavrino::share::testing
