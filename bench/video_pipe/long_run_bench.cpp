#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <vector>

#include "core/wire.h"
#include "doubles/fake_compression_session.h"
#include "stdout_pipe.h"
#include "video_pipe/video_pipe_inspector.h"

namespace tavrino::share {
namespace {

long residentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The extension's side: ids of the frames it has received, not yet acknowledged.
class Receiver {
 public:
  void received(const std::string& body) {
    auto at = body.find(R"("id":)");
    if (at == std::string::npos) return;
    std::lock_guard lock(mutex_);
    unacknowledged_.push_back(std::strtoll(body.c_str() + at + 5, nullptr, 10));
  }
  std::vector<std::int64_t> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(unacknowledged_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::int64_t> unacknowledged_;
};

// 100,000 captured frames through a pipe whose encoder answers at once with a
// 20 kB frame; the extension acknowledges what it has received on every other
// capture tick, so the in-flight limit is hit all the time. Memory must stay
// flat after the warm-up and pending must never exceed 2.
void BM_LongRunMemory(benchmark::State& state) {
  constexpr int kFrames = 100'000;
  constexpr int kWarmUp = 10'000;
  testing::FakeCompressionSessionFactory encoders;
  encoders.log->forgetCalls();
  auto format = testing::makeEncodedSample()->formatDescription;
  auto data = std::make_shared<ContiguousBlockBuffer>(std::vector<std::uint8_t>(20'000, 0x5A));
  encoders.log->completeAutomatically([format, data](const testing::EncodeCall& call) {
    auto sample = std::make_shared<SampleBuffer>();
    sample->formatDescription = format;
    sample->dataBuffer = data;
    sample->presentationTime = call.presentationTime;
    if (!call.options) sample->attachments = std::vector<Dictionary>{{{"NotSync", true}}};
    return std::shared_ptr<const SampleBuffer>(std::move(sample));
  });
  Receiver extension;
  bench::StdoutPipe out;
  auto created = VideoPipe::create(
      1280, 720, "bench-request", std::nullopt, encoders,
      [](const nlohmann::json& m) { Wire::send(m); },
      [&extension](const std::string& body) {
        Wire::sendBody(body);
        extension.received(body);
      });
  auto pipe = std::get<std::shared_ptr<VideoPipe>>(created);
  auto image = ImageBuffer::makeNV12(1280, 720);
  struct NoStream final : CaptureStream {
    std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput>, StreamOutputType,
                                              SerialQueue) override {
      return std::nullopt;
    }
    void startCapture(StreamCompletion) override {}
    void stopCapture(StreamCompletion) override {}
  } stream;

  long warmRss = 0, peakAfterWarmUp = 0;
  std::size_t maxPending = 0;
  for (auto _ : state) {
    for (int tick = 0; tick < kFrames; ++tick) {
      auto sample = testing::makeCapturedSample(MediaTime::make(tick, 12), 0, image);
      std::promise<std::size_t> pending;
      asio::post(pipe->queue(), [&] {
        pipe->streamDidOutputSampleBuffer(stream, sample, StreamOutputType::screen);
        pending.set_value(VideoPipeInspector::pendingCountOnQueue(*pipe));
      });
      maxPending = std::max(maxPending, pending.get_future().get());
      if (tick % 2 == 1)
        for (auto id : extension.take()) pipe->acknowledge(id);
      if (tick == kWarmUp) warmRss = residentKilobytes();
      if (tick > kWarmUp && tick % 1000 == 0)
        peakAfterWarmUp = std::max(peakAfterWarmUp, residentKilobytes());
    }
  }
  auto s = VideoPipeInspector::snapshot(*pipe);
  state.counters["rss_warm_kB"] = static_cast<double>(warmRss);
  state.counters["rss_peak_after_warm_kB"] = static_cast<double>(peakAfterWarmUp);
  state.counters["rss_end_kB"] = static_cast<double>(residentKilobytes());
  state.counters["max_pending"] = static_cast<double>(maxPending);
  state.counters["received"] = static_cast<double>(s.received);
  state.counters["sent"] = static_cast<double>(s.sent);
  state.counters["drops"] = static_cast<double>(s.skipped);
}
BENCHMARK(BM_LongRunMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrino::share
