#include "stream_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "stream_record.h"
#include "time_code.h"

namespace tavrino::bench {

namespace {

struct ContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// libavcodec's H.264 decoder set up from the stream's avcC record, fed the
// length-prefixed frames as they were delivered. Each picture carries the
// index of its frame, so a frame the decoder refuses leaves no gap unnoticed.
class Decoder {
 public:
  explicit Decoder(const std::vector<std::uint8_t>& avcC) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return;
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) return;
    // Owned by the context from here on.
    context_->extradata = static_cast<std::uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context_->extradata) return;
    std::memcpy(context_->extradata, avcC.data(), avcC.size());
    context_->extradata_size = static_cast<int>(avcC.size());
    context_->thread_count = 1;  // stay out of the way of the next run
    if (avcodec_open2(context_.get(), codec, nullptr) < 0) context_.reset();
  }
  bool ok() const { return context_ != nullptr; }

  template <class OnPicture>
  void decode(const std::vector<std::uint8_t>& bytes, std::int64_t index, OnPicture&& onPicture) {
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return;
    std::memcpy(packet->data, bytes.data(), bytes.size());
    packet->pts = index;
    if (avcodec_send_packet(context_.get(), packet.get()) < 0) return;
    receive(onPicture);
  }
  template <class OnPicture>
  void flush(OnPicture&& onPicture) {
    if (avcodec_send_packet(context_.get(), nullptr) == 0) receive(onPicture);
  }

 private:
  template <class OnPicture>
  void receive(OnPicture& onPicture) {
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    while (frame && avcodec_receive_frame(context_.get(), frame.get()) == 0) {
      onPicture(*frame);
      av_frame_unref(frame.get());
    }
  }
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
};

double meanLuma(const AVFrame& picture, double x, double y, double half) {
  const int x0 = std::max(0, static_cast<int>(x - half)), x1 = std::min(picture.width, static_cast<int>(x + half));
  const int y0 = std::max(0, static_cast<int>(y - half)), y1 = std::min(picture.height, static_cast<int>(y + half));
  double sum = 0;
  int count = 0;
  for (int row = y0; row < y1; ++row) {
    const std::uint8_t* line = picture.data[0] + static_cast<std::ptrdiff_t>(row) * picture.linesize[0];
    for (int col = x0; col < x1; ++col, ++count) sum += line[col];
  }
  return count > 0 ? sum / count : 0;
}

// The sequence number shown by the time code, or -1 when the picture does
// not show a whole one (see time_code.h).
std::int64_t readTimeCode(const AVFrame& picture, int screenWidth, int screenHeight) {
  const double sx = static_cast<double>(picture.width) / screenWidth;
  const double sy = static_cast<double>(picture.height) / screenHeight;
  const double half = kCodeCell * std::min(sx, sy) / 4;
  std::int64_t value = 0;
  for (int bit = 0; bit < kCodeBits; ++bit) {
    const double x = (kCodeX + (bit + 0.5) * kCodeCell) * sx;
    const double ones = meanLuma(picture, x, (kCodeY + 0.5 * kCodeCell) * sy, half);
    const double zeros = meanLuma(picture, x, (kCodeY + 1.5 * kCodeCell) * sy, half);
    if (std::abs(ones - zeros) < 100) return -1;  // black on black, or blurred
    value = value << 1 | (ones > zeros ? 1 : 0);
  }
  return value;
}

// The luma of the last picture in the window, to look at what a program
// actually captured (a binary PGM file).
class Snapshot {
 public:
  void take(const AVFrame& picture) {
    width_ = picture.width;
    height_ = picture.height;
    luma_.resize(static_cast<std::size_t>(width_) * height_);
    for (int row = 0; row < height_; ++row) {
      std::memcpy(&luma_[static_cast<std::size_t>(row) * width_],
                  picture.data[0] + static_cast<std::ptrdiff_t>(row) * picture.linesize[0], width_);
    }
  }
  bool write(const std::string& path) const {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    return file && std::fprintf(file.get(), "P5\n%d %d\n255\n", width_, height_) > 0 &&
           std::fwrite(luma_.data(), 1, luma_.size(), file.get()) == luma_.size();
  }

 private:
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> luma_;
};

// The first paint time of every sequence number in the changer's log.
std::unordered_map<std::int64_t, std::int64_t> readPaintLog(const std::string& path) {
  std::unordered_map<std::int64_t, std::int64_t> paints;
  std::ifstream log(path);
  std::int64_t seq = 0, micros = 0;
  while (log >> seq >> micros) paints.emplace(seq, micros);
  return paints;
}

}  // namespace

int measureStream(const MeasureOptions& options) {
  std::vector<StreamRecord> records;
  if (!readRecords(options.record, records)) return 1;
  auto inWindow = [&](const StreamRecord& r) {
    return r.kind == StreamRecord::kFrame && r.arrivalMicros >= options.fromMicros &&
           r.arrivalMicros <= options.toMicros;
  };
  std::int64_t frames = 0, bytes = 0, firstSecond = 0, first = -1;
  for (const auto& r : records) {
    if (r.kind == StreamRecord::kFrame) {
      if (first < 0) first = r.arrivalMicros;
      if (r.arrivalMicros < first + 1'000'000) ++firstSecond;
    }
    if (!inWindow(r)) continue;
    ++frames;
    bytes += static_cast<std::int64_t>(r.bytes.size());
  }
  std::vector<double> latencies;
  if (!options.paintLog.empty() || !options.snapshot.empty()) {
    const auto paints = readPaintLog(options.paintLog);
    const auto configuration = std::find_if(records.begin(), records.end(),
                                            [](const auto& r) { return r.kind == StreamRecord::kConfiguration; });
    if (configuration == records.end()) {
      std::fprintf(stderr, "%s: no decoder configuration\n", options.record.c_str());
      return 1;
    }
    Decoder decoder(configuration->bytes);
    if (!decoder.ok()) {
      std::fprintf(stderr, "%s: the decoder refused the configuration\n", options.record.c_str());
      return 1;
    }
    Snapshot last;
    auto onPicture = [&](const AVFrame& picture) {
      const auto index = static_cast<std::size_t>(picture.pts);
      if (picture.pts < 0 || index >= records.size() || !inWindow(records[index])) return;
      if (!options.snapshot.empty()) last.take(picture);
      const std::int64_t seq = readTimeCode(picture, options.screenWidth, options.screenHeight);
      const auto paint = paints.find(seq);
      if (paint == paints.end()) return;
      latencies.push_back(static_cast<double>(records[index].arrivalMicros - paint->second) / 1000);
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].kind == StreamRecord::kFrame) decoder.decode(records[i].bytes, static_cast<std::int64_t>(i), onPicture);
    }
    decoder.flush(onPicture);
    if (!options.snapshot.empty() && !last.write(options.snapshot)) {
      std::fprintf(stderr, "cannot write %s\n", options.snapshot.c_str());
      return 1;
    }
  }
  std::printf("frames=%lld bytes=%lld first_second=%lld latencies=", static_cast<long long>(frames),
              static_cast<long long>(bytes), static_cast<long long>(firstSecond));
  if (options.paintLog.empty()) std::printf("-");
  for (std::size_t i = 0; i < latencies.size(); ++i) std::printf("%s%.2f", i > 0 ? "," : "", latencies[i]);
  std::printf("\n");
  return 0;
}

}  // namespace tavrino::bench
