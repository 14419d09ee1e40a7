// Encodes raw NV12 frames from a file with the live-sharing session, one frame
// in flight at a time as the video pipe does, and reports what the run cost.
//   x264_session_bench write <file> <frames>   writes the synthetic desktop
//   x264_session_bench encode <file> <frames>  encodes it, prints key=value lines
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/x264/x264_compression_session.h"
#include "video_pipe/video_pipe.h"
#include "screen_content.h"

using namespace tavrino::share;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int write(const char* path, int frames) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < frames; ++i) {
    const auto bytes = bench::screenFrame(kWidth, kHeight, i);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  return out ? 0 : 1;
}

std::unique_ptr<CompressionSession> liveSession() {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  if (factory.create(kWidth, kHeight, VideoCodec::h264, {true}, session) != 0) return nullptr;
  VideoPipe::configureForLiveSharing(*session);
  return session;
}

int encode(const char* path, int frames) {
  std::ifstream in(path, std::ios::binary);
  auto session = liveSession();
  if (!in || !session) return 1;
  std::vector<double> latencies;
  std::size_t largest = 0, total = 0;
  for (int i = 0; i < frames; ++i) {
    auto image = std::make_shared<ImageBuffer>();
    image->width = kWidth;
    image->height = kHeight;
    image->lumaStride = image->chromaStride = kWidth;
    image->luma.resize(static_cast<std::size_t>(kWidth) * kHeight);
    image->chroma.resize(image->luma.size() / 2);
    in.read(reinterpret_cast<char*>(image->luma.data()), static_cast<std::streamsize>(image->luma.size()));
    in.read(reinterpret_cast<char*>(image->chroma.data()), static_cast<std::streamsize>(image->chroma.size()));
    if (!in) return 1;

    std::promise<std::pair<std::int32_t, std::size_t>> result;
    const auto start = std::chrono::steady_clock::now();
    const std::optional<FrameOptions> options =
        i < 2 ? std::optional<FrameOptions>(FrameOptions{.forceKeyFrame = true}) : std::nullopt;
    const std::int32_t status = session->encodeFrame(
        image, MediaTime::make(i, 12), MediaTime::make(1, 12), options,
        [&result](std::int32_t status, std::uint32_t, std::shared_ptr<const SampleBuffer> sample) {
          result.set_value({status, sample ? sample->dataBuffer->dataLength() : 0});
        });
    if (status != 0) return 1;
    const auto [encodeStatus, size] = result.get_future().get();
    latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (encodeStatus != 0) return 1;
    largest = std::max(largest, size);
    total += size;
  }
  session->invalidate();
  std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
  std::printf("frames=%d\ncpu_seconds=%.3f\nmedian_latency_ms=%.2f\nlargest_frame=%zu\ntotal_bytes=%zu\n",
              frames, cpuSeconds(), latencies[latencies.size() / 2], largest, total);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s write|encode <file> <frames>\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const int frames = std::atoi(argv[3]);
  if (frames <= 0) return 2;
  if (mode == "write") return write(argv[2], frames);
  if (mode == "encode") return encode(argv[2], frames);
  return 2;
}
