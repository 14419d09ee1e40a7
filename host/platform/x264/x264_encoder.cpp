#include "platform/x264/x264_encoder.h"

#include <cstdlib>
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
// The flags must hold against the picture x264 encoded last: the changes of
// pictures that never reached it come in missed. A key frame, and a picture
// whose predecessor was not encoded, get none.
void X264Encoder::markUnchanged(const ImageBuffer& image, const ChangedBlocks* missed, bool key,
                                x264_picture_t& input) const {
  const ChangedBlocks& changed = image.changed;
  const int columns = (image.width + ChangedBlocks::kBlock - 1) / ChangedBlocks::kBlock;
  const int rows = (image.height + ChangedBlocks::kBlock - 1) / ChangedBlocks::kBlock;
  if (key || !follows_ || changed.everywhere() || changed.columns != columns || changed.rows != rows) return;
  if (missed && (missed->everywhere() || missed->columns != columns || missed->rows != rows)) return;
  // x264 frees the flags with the frame it keeps them with.
  auto* flags = static_cast<std::uint8_t*>(std::malloc(changed.marks.size()));
  if (flags == nullptr) return;
  for (std::size_t i = 0; i < changed.marks.size(); ++i) {
    const bool touched = changed.marks[i] != 0 || (missed && missed->marks[i] != 0);
    flags[i] = touched ? 0 : X264_MBINFO_CONSTANT;
  }
  input.prop.mb_info = flags;
  input.prop.mb_info_free = std::free;
}

int X264Encoder::delayedFrames() const { return x264_encoder_delayed_frames(handle_.get()); }

int X264Encoder::maximumDelayedFrames() const {
  return x264_encoder_maximum_delayed_frames(handle_.get());
}

int X264Encoder::encode(const ImageBuffer* image, const ChangedBlocks* missed, std::int64_t sequence, bool forceIdr,
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
    markUnchanged(*image, missed, forceIdr, input);
    input.i_type = forceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;
  }
  x264_picture_t encoded;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = x264_encoder_encode(handle_.get(), &nals, &count, image ? &input : nullptr, &encoded);
  if (image) follows_ = size >= 0;
  if (size <= 0) return size < 0 ? size : 0;
  // The NAL payloads of one frame lie back to back in x264's buffer.
  output.bytes.assign(nals[0].p_payload, nals[0].p_payload + size);
  output.idr = encoded.i_type == X264_TYPE_IDR;
  output.sequence = encoded.i_pts;
  return 1;
}

}  // namespace tavrino::share
