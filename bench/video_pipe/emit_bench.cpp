#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/wire.h"
#include "doubles/fake_compression_session.h"
#include "stdout_pipe.h"
#include "video_pipe/base64.h"
#include "video_pipe/video_pipe_inspector.h"

namespace tavrino::share {
namespace {

constexpr std::size_t kFrameBytes = 700'000;

std::vector<std::uint8_t> frameBytes() {
  std::vector<std::uint8_t> bytes(kFrameBytes);
  std::uint32_t x = 2463534242u;
  for (auto& b : bytes) {  // xorshift: incompressible, like encoded video
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

// Size of the frame message body as the writer sends it.
std::size_t frameMessageSize() {
  nlohmann::json message = {{"type", "frame"},
                            {"request", "bench-request"},
                            {"id", 123456},
                            {"key", false},
                            {"timestamp", 123456789},
                            {"data", base64Encode(frameBytes())}};
  return 4 + message.dump().size();
}

// One frame: copy out of the sample, Base64, JSON, header and body written to
// standard output, which a thread drains.
// state.range(0): 1 = as the program sends frames (body through Wire::sendBody),
// 0 = through a JSON tree and Wire::send. state.range(1): pipe buffer size in
// bytes, 0 for the default 64 KiB.
void BM_EmitLargestFrame(benchmark::State& state) {
  testing::FakeCompressionSessionFactory encoders;
  SendBody sendBody;
  if (state.range(0) == 1) {
    sendBody = [](const std::string& body) { Wire::sendBody(body); };
  }
  auto created = VideoPipe::create(1920, 1080, "bench-request", std::nullopt, encoders,
                                   [](const nlohmann::json& m) { Wire::send(m); }, sendBody);
  auto pipe = std::get<std::shared_ptr<VideoPipe>>(created);
  testing::EncodedSampleSpec spec;
  spec.data = frameBytes();
  spec.notSync = true;
  spec.presentationTime = MediaTime::make(123456789, 1'000'000);
  auto sample = testing::makeEncodedSample(std::move(spec));

  bench::StdoutPipe out(static_cast<int>(state.range(1)));
  std::int64_t id = 123456;
  for (auto _ : state) VideoPipeInspector::emit(*pipe, *sample, id);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameMessageSize()));
}
BENCHMARK(BM_EmitLargestFrame)
    ->Args({1, 0})
    ->Args({1, 1 << 20})
    ->Args({0, 0})
    ->Unit(benchmark::kMicrosecond);

// The yardstick: one memcpy of a buffer as large as that frame's message.
void BM_MemcpyFrameMessageSize(benchmark::State& state) {
  const std::size_t size = frameMessageSize();
  std::vector<char> source(size, 'A');
  std::vector<char> destination(size);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), size);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_MemcpyFrameMessageSize)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavrino::share

namespace tavrino::share {
namespace {

// The parts of BM_EmitLargestFrame, to see where its time goes.
void BM_PartBase64(benchmark::State& state) {
  auto bytes = frameBytes();
  std::string text(base64Length(bytes.size()), '\0');
  for (auto _ : state) {
    base64Encode(bytes, text.data());
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_PartBase64)->Unit(benchmark::kMicrosecond);

void BM_PartJsonDump(benchmark::State& state) {
  nlohmann::json message = {{"type", "frame"}, {"data", base64Encode(frameBytes())}};
  for (auto _ : state) benchmark::DoNotOptimize(message.dump());
}
BENCHMARK(BM_PartJsonDump)->Unit(benchmark::kMicrosecond);

void BM_PartPipeWrite(benchmark::State& state) {
  std::string body(frameMessageSize() - 4, 'A');
  bench::StdoutPipe out(static_cast<int>(state.range(0)));
  for (auto _ : state) Wire::writeFrame(1, body);
}
BENCHMARK(BM_PartPipeWrite)->Arg(0)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavrino::share
