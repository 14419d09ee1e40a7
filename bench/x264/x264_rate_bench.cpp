// Weighs x264 rate controls for screen content under the live-sharing
// settings: each configuration encodes the same scenes, interleaved over
// rounds, and the table gives the encoder's process CPU per frame, the bit
// rate (average and the largest one-second window) and the quality of the
// decoded stream against the source. Every configuration keeps the shipped
// preset, tune, profile, key frames and threads; only the rate control
// differs.
//   x264_rate_bench [--frames N] [--rounds R] [--scenes a,b] [--configs a,b]
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <x264.h>

#include "picture_quality.h"
#include "platform/x264/avc_decoder_configuration.h"
#include "platform/x264/x264_settings.h"
#include "scenes.h"
#include "video_pipe/video_pipe.h"
#include "x264/h264_decoder.h"

using namespace tavrino::share;
using namespace tavrino::share::bench;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFps = 12, kBlock = 16;
constexpr int kAverageKbit = 6000;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Takes the properties the video pipe sets, so the parameters are the
// shipped ones.
class SettingsRecorder final : public CompressionSession {
 public:
  X264Settings settings;
  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) override {
    return applyProperty(settings, key, value);
  }
  std::int32_t prepareToEncodeFrames() override { return 0; }
  std::int32_t encodeFrame(std::shared_ptr<const ImageBuffer>, MediaTime, MediaTime, const std::optional<FrameOptions>&,
                           EncodeOutputHandler) override {
    return -1;
  }
  void invalidate() override {}
};

x264_param_t shippedParameters() {
  SettingsRecorder recorder;
  VideoPipe::configureForLiveSharing(recorder);
  x264_param_t params;
  if (!makeX264Parameters(recorder.settings, kWidth, kHeight, params)) {
    std::fprintf(stderr, "x264 refuses the live-sharing settings\n");
    std::exit(1);
  }
  return params;
}

// The configurations below start from the preset's adaptive quantisation,
// whatever the shipped settings chose.
void capped(x264_param_t& p) {
  p.rc.i_aq_mode = X264_AQ_VARIANCE;
  p.rc.i_vbv_max_bitrate = kAverageKbit;
  p.rc.i_vbv_buffer_size = vbvBufferKbit(kAverageKbit);
}
void abr(x264_param_t& p) {
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = kAverageKbit;
  capped(p);
}
void crf(x264_param_t& p, float factor) {
  p.rc.i_rc_method = X264_RC_CRF;
  p.rc.f_rf_constant = factor;
  capped(p);
}

struct Config {
  std::string name;
  std::function<void(x264_param_t&)> change;
};

// Today's setting, the average-rate mode it replaced, and the neighbours
// that were weighed against it.
std::vector<Config> configs() {
  const auto qpFloor = [](x264_param_t& p) {
    abr(p);
    p.rc.i_qp_min = 20;
  };
  std::vector<Config> all{{"shipped", [](x264_param_t&) {}}, {"abr", abr}, {"abr-qpmin20", qpFloor},
                          // Not a candidate (key frames every 2 s stay): what they cost.
                          {"shipped-nokey", [](x264_param_t& p) { p.i_keyint_max = p.i_keyint_min = 100000; }}};
  for (float factor : {18.f, 23.f})
    all.push_back({"crf" + std::to_string(static_cast<int>(factor)), [factor](x264_param_t& p) { crf(p, factor); }});
  // Variance AQ moves bits from busy blocks to flat ones; on a screen the
  // busy blocks are the text.
  for (float factor : {18.f, 20.f, 23.f})
    all.push_back({"crf" + std::to_string(static_cast<int>(factor)) + "-aq0", [factor](x264_param_t& p) {
                     crf(p, factor);
                     p.rc.i_aq_mode = X264_AQ_NONE;
                   }});
  return all;
}

struct Run {
  double cpu = 0;
  std::vector<std::size_t> bytes;
  double squaredError = 0, ssimSum = 0, minPsnr = 100;
  double changedError = 0, changedSamples = 0;
};

struct Closer {
  void operator()(x264_t* handle) const { x264_encoder_close(handle); }
};

std::unique_ptr<testing::H264Decoder> decoderFor(x264_t* encoder) {
  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(encoder, &nals, &count) < 0) return nullptr;
  std::span<const std::uint8_t> sps, pps;
  for (int i = 0; i < count; ++i) {
    const std::span<const std::uint8_t> unit(nals[i].p_payload + 4, static_cast<std::size_t>(nals[i].i_payload - 4));
    if (nals[i].i_type == NAL_SPS) sps = unit;
    if (nals[i].i_type == NAL_PPS) pps = unit;
  }
  const auto record = makeAvcDecoderConfigurationRecord(sps, pps);
  return record ? std::make_unique<testing::H264Decoder>(*record) : nullptr;
}

// Macroblocks equal to the last picture are flagged constant, as the helper
// flags what the capture did not redraw. Returns the flags, 0 = changed.
std::vector<std::uint8_t> unchangedBlocks(const std::vector<std::uint8_t>& now, const std::vector<std::uint8_t>& last) {
  const int columns = kWidth / kBlock, rows = (kHeight + kBlock - 1) / kBlock;
  std::vector<std::uint8_t> flags(static_cast<std::size_t>(columns) * rows, last.empty() ? 0 : X264_MBINFO_CONSTANT);
  if (last.empty()) return flags;
  auto compare = [&](std::size_t offset, int lines, int linesPerBlock) {
    for (int y = 0; y < lines; ++y) {
      const std::size_t at = offset + static_cast<std::size_t>(y) * kWidth;
      for (int x = 0; x < columns; ++x)
        if (std::memcmp(&now[at + x * kBlock], &last[at + x * kBlock], kBlock) != 0)
          flags[static_cast<std::size_t>(y / linesPerBlock) * columns + x] = 0;
    }
  };
  compare(0, kHeight, kBlock);
  compare(static_cast<std::size_t>(kWidth) * kHeight, kHeight / 2, kBlock / 2);
  return flags;
}

void measureQuality(const std::vector<std::uint8_t>& source, const testing::DecodedPicture& decoded,
                    const std::vector<std::uint8_t>& flags, bool first, Run& run) {
  const Plane original{source.data(), kWidth, kWidth, kHeight}, played{decoded.y.data(), kWidth, kWidth, kHeight};
  const double error = squaredError(original, played);
  run.squaredError += error;
  const double framePsnr = psnr(error / (double{kWidth} * kHeight));
  run.minPsnr = std::min(run.minPsnr, framePsnr);
  run.ssimSum += ssim(original, played);
  if (first) return;  // all of it is new: the whole picture's figures cover it
  const int columns = kWidth / kBlock;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i] != 0) continue;
    const int x = static_cast<int>(i % columns) * kBlock, y = static_cast<int>(i / columns) * kBlock;
    const int h = std::min(kBlock, kHeight - y);
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(y) * kWidth + x;
    run.changedError += squaredError({original.samples + at, kWidth, kBlock, h}, {played.samples + at, kWidth, kBlock, h});
    run.changedSamples += kBlock * h;
  }
}

Run encodeScene(Scene scene, const x264_param_t& base, const Config& config, int frames, bool quality) {
  x264_param_t params = base;
  config.change(params);
  std::unique_ptr<x264_t, Closer> encoder(x264_encoder_open(&params));
  if (!encoder) {
    std::fprintf(stderr, "x264 refuses configuration %s\n", config.name.c_str());
    std::exit(1);
  }
  auto decoder = quality ? decoderFor(encoder.get()) : nullptr;
  if (quality && !decoder) std::exit(1);
  SceneFrames source(scene, kWidth, kHeight);
  std::vector<std::uint8_t> last;
  Run run;
  for (int i = 0; i < frames; ++i) {
    const std::vector<std::uint8_t>& picture = source.next();
    const auto flags = unchangedBlocks(picture, last);
    x264_picture_t input, output;
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_NV12;
    input.img.i_plane = 2;
    input.img.plane[0] = const_cast<std::uint8_t*>(picture.data());
    input.img.plane[1] = const_cast<std::uint8_t*>(picture.data()) + kWidth * kHeight;
    input.img.i_stride[0] = input.img.i_stride[1] = kWidth;
    input.i_pts = i;
    input.i_type = i < 2 ? X264_TYPE_IDR : X264_TYPE_AUTO;  // as the helper starts a stream
    auto* mbInfo = static_cast<std::uint8_t*>(std::malloc(flags.size()));
    std::memcpy(mbInfo, flags.data(), flags.size());
    input.prop.mb_info = mbInfo;
    input.prop.mb_info_free = std::free;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const double before = cpuSeconds();
    const int size = x264_encoder_encode(encoder.get(), &nals, &count, &input, &output);
    run.cpu += cpuSeconds() - before;
    if (size <= 0) {
      std::fprintf(stderr, "x264 returned no frame for frame %d\n", i);
      std::exit(1);
    }
    run.bytes.push_back(static_cast<std::size_t>(size));
    if (decoder) {
      std::vector<testing::DecodedPicture> decoded;
      if (!decoder->decode({nals[0].p_payload, static_cast<std::size_t>(size)}, decoded) || decoded.size() != 1) {
        std::fprintf(stderr, "the stream of %s does not decode\n", config.name.c_str());
        std::exit(1);
      }
      measureQuality(picture, decoded[0], flags, i == 0, run);
    }
    last = picture;
  }
  return run;
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> parts;
  std::stringstream stream(list);
  for (std::string part; std::getline(stream, part, ',');) parts.push_back(part);
  return parts;
}

void printRow(const char* scene, const std::string& config, int frames, const Run& run, double cpu) {
  const std::size_t total = std::accumulate(run.bytes.begin(), run.bytes.end(), std::size_t{0});
  std::size_t window = 0, worstWindow = 0;
  for (std::size_t i = 0; i < run.bytes.size(); ++i) {
    window += run.bytes[i];
    if (i >= kFps) window -= run.bytes[i - kFps];
    worstWindow = std::max(worstWindow, window);
  }
  std::printf("%-9s %-14s %8.2f %8.0f %8.0f %8zu %7.2f %7.2f %7.2f %7.4f %6.2f\n", scene, config.c_str(),
              cpu / frames * 1000, total * 8.0 * kFps / frames / 1000, worstWindow * 8.0 / 1000,
              *std::max_element(run.bytes.begin(), run.bytes.end()), psnr(run.squaredError / (double{kWidth} * kHeight * frames)), run.minPsnr,
              psnr(run.changedError / std::max(1.0, run.changedSamples)), run.ssimSum / frames,
              -10 * std::log10(std::max(1e-10, 1 - run.ssimSum / frames)));
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 300, rounds = 2;
  std::vector<Scene> scenes(std::begin(kScenes), std::end(kScenes));
  std::vector<Config> chosen = configs();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--frames") {
      frames = std::atoi(value.c_str());
    } else if (option == "--rounds") {
      rounds = std::atoi(value.c_str());
    } else if (option == "--scenes") {
      scenes.clear();
      for (const auto& name : split(value)) {
        const auto scene = sceneNamed(name);
        if (!scene) {
          std::fprintf(stderr, "There is no scene called %s.\n", name.c_str());
          return 2;
        }
        scenes.push_back(*scene);
      }
    } else if (option == "--configs") {
      const auto names = split(value);
      std::erase_if(chosen, [&](const Config& c) { return std::find(names.begin(), names.end(), c.name) == names.end(); });
    } else {
      std::fprintf(stderr, "usage: %s [--frames N] [--rounds R] [--scenes a,b] [--configs a,b]\n", argv[0]);
      return 2;
    }
  }
  if (argc % 2 == 0 || frames < kFps || rounds < 1 || chosen.empty()) {
    std::fprintf(stderr, "usage: %s [--frames N] [--rounds R] [--scenes a,b] [--configs a,b]\n", argv[0]);
    return 2;
  }
  const x264_param_t base = shippedParameters();

  // The first round also decodes and measures quality (outside the timed
  // encoder calls); the others only time. Each round runs the configurations
  // in the opposite order to the last, so a busy spell of the machine does
  // not fall on one of them.
  std::map<std::pair<int, std::string>, Run> runs;
  std::map<std::pair<int, std::string>, double> leastCpu;
  for (int round = 0; round < rounds; ++round) {
    for (const Scene scene : scenes) {
      std::vector<const Config*> order;
      for (const Config& c : chosen) order.push_back(&c);
      if (round % 2 == 1) std::reverse(order.begin(), order.end());
      for (const Config* config : order) {
        Run run = encodeScene(scene, base, *config, frames, round == 0);
        const auto key = std::make_pair(static_cast<int>(scene), config->name);
        leastCpu[key] = round == 0 ? run.cpu : std::min(leastCpu[key], run.cpu);
        if (round == 0) runs[key] = std::move(run);
      }
    }
  }
  std::printf("%d frames of %dx%d at %d fps per scene; CPU: the least of %d interleaved rounds; "
              "PSNR over all frames, min: the worst frame's, changed: macroblocks that differ from the last picture\n", frames, kWidth,
              kHeight, kFps, rounds);
  std::printf("%-9s %-14s %8s %8s %8s %8s %7s %7s %7s %7s %6s\n", "scene", "rate", "cpu ms/f", "kbit/s", "max 1s", "largest",
              "psnr-y", "min", "changed", "ssim-y", "ssim");
  std::printf("%-9s %-14s %8s %8s %8s %8s %7s %7s %7s %7s %6s\n", "", "control", "", "", "kbit", "bytes", "dB", "dB", "dB", "", "dB");
  for (const Scene scene : scenes)
    for (const Config& config : chosen) {
      const auto key = std::make_pair(static_cast<int>(scene), config.name);
      printRow(sceneName(scene), config.name, frames, runs[key], leastCpu[key]);
    }
  return 0;
}
