#include "platform/x264/x264_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/x264/avc_decoder_configuration.h"

namespace tavrino::share {

namespace {

constexpr std::size_t kLengthPrefix = 4;

// A parameter-set NAL unit without its length prefix.
std::span<const std::uint8_t> unprefixed(const x264_nal_t& nal) {
  if (nal.i_payload <= static_cast<int>(kLengthPrefix)) return {};
  return {nal.p_payload + kLengthPrefix, static_cast<std::size_t>(nal.i_payload) - kLengthPrefix};
}

}  // namespace

std::unique_ptr<X264Encoder> X264Encoder::open(const x264_param_t& params) {
  x264_param_t copy = params;  // x264_encoder_open takes a mutable pointer
  std::unique_ptr<x264_t, Closer> handle(x264_encoder_open(&copy));
  if (!handle) return nullptr;

  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(handle.get(), &nals, &count) < 0) return nullptr;
  std::span<const std::uint8_t> sps, pps;
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_type == NAL_SPS && sps.empty()) sps = unprefixed(nals[i]);
    if (nals[i].i_type == NAL_PPS && pps.empty()) pps = unprefixed(nals[i]);
  }
  auto record = makeAvcDecoderConfigurationRecord(sps, pps);
  if (!record) return nullptr;

  auto format = std::make_shared<FormatDescription>();
  format->extensions = Dictionary::object();
  format->extensions[keys::kSampleDescriptionExtensionAtoms][keys::kAvcC] =
      Dictionary::binary(std::move(*record));
  format->dimensions = {params.i_width, params.i_height};
  return std::make_unique<X264Encoder>(std::move(handle), std::move(format));
}

// A screen mostly stays as it was; x264 codes the macroblocks flagged as
// constant as skipped without searching them, which is most of its work.
// Comparing with the last picture, rather than trusting what the capture
// says changed, keeps this right when pictures are dropped on the way.
void X264Encoder::markUnchanged(const ImageBuffer& image, x264_picture_t& input) {
  constexpr int kBlock = 16;
  const int columns = (image.width + kBlock - 1) / kBlock;
  const int rows = (image.height + kBlock - 1) / kBlock;
  const bool comparable = previous_.width == image.width && previous_.height == image.height;
  // x264 frees the flags with the frame it keeps them with.
  auto* flags = comparable ? static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(columns) * rows))
                           : nullptr;
  if (flags != nullptr) {
    std::memset(flags, X264_MBINFO_CONSTANT, static_cast<std::size_t>(columns) * rows);
    // Luma rows are a block row's 16th, chroma rows (interleaved Cb Cr, as
    // wide as the luma) its 8th.
    auto compare = [&](const std::vector<std::uint8_t>& now, int nowStride, const std::vector<std::uint8_t>& before,
                       int beforeStride, int lines, int linesPerBlock) {
      for (int y = 0; y < lines; ++y) {
        const std::uint8_t* a = now.data() + static_cast<std::size_t>(y) * nowStride;
        const std::uint8_t* b = before.data() + static_cast<std::size_t>(y) * beforeStride;
        if (std::memcmp(a, b, static_cast<std::size_t>(image.width)) == 0) continue;
        std::uint8_t* row = flags + static_cast<std::size_t>(y / linesPerBlock) * columns;
        for (int x = 0; x < columns; ++x) {
          const int width = std::min(kBlock, image.width - x * kBlock);
          if (row[x] != 0 && std::memcmp(a + x * kBlock, b + x * kBlock, static_cast<std::size_t>(width)) != 0) {
            row[x] = 0;
          }
        }
      }
    };
    compare(image.luma, image.lumaStride, previous_.luma, previous_.lumaStride, image.height, kBlock);
    compare(image.chroma, image.chromaStride, previous_.chroma, previous_.chromaStride, (image.height + 1) / 2,
            kBlock / 2);
    input.prop.mb_info = flags;
    input.prop.mb_info_free = std::free;
  }
  previous_ = image;
}

int X264Encoder::delayedFrames() const { return x264_encoder_delayed_frames(handle_.get()); }

int X264Encoder::maximumDelayedFrames() const {
  return x264_encoder_maximum_delayed_frames(handle_.get());
}

int X264Encoder::encode(const ImageBuffer* image, std::int64_t sequence, bool forceIdr,
                        Output& output) {
  x264_picture_t input;
  x264_picture_init(&input);
  if (image) {
    input.img.i_csp = X264_CSP_NV12;
    input.img.i_plane = 2;
    // x264 copies the planes into its own frames and never writes to them.
    input.img.plane[0] = const_cast<std::uint8_t*>(image->luma.data());
    input.img.i_stride[0] = image->lumaStride;
    input.img.plane[1] = const_cast<std::uint8_t*>(image->chroma.data());
    input.img.i_stride[1] = image->chromaStride;
    input.i_pts = sequence;
    markUnchanged(*image, input);
    input.i_type = forceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;
  }
  x264_picture_t encoded;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = x264_encoder_encode(handle_.get(), &nals, &count, image ? &input : nullptr, &encoded);
  if (size <= 0) return size < 0 ? size : 0;
  // The NAL payloads of one frame lie back to back in x264's buffer.
  output.bytes.assign(nals[0].p_payload, nals[0].p_payload + size);
  output.idr = encoded.i_type == X264_TYPE_IDR;
  output.sequence = encoded.i_pts;
  return 1;
}

}  // namespace tavrino::share
