#include "x264/h264_decoder.h"

#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace tavrino::share::testing {

namespace {

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

std::vector<std::uint8_t> packedPlane(const AVFrame& frame, int plane, int width, int height) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height);
  av_image_copy_plane(out.data(), width, frame.data[plane], frame.linesize[plane], width, height);
  return out;
}

}  // namespace

void H264Decoder::ContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}

H264Decoder::H264Decoder(std::span<const std::uint8_t> avcC) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("no H.264 decoder");
  context_.reset(avcodec_alloc_context3(codec));
  if (!context_) throw std::runtime_error("no decoder context");
  // Owned by the context from here on; freed by avcodec_free_context.
  context_->extradata =
      static_cast<std::uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!context_->extradata) throw std::runtime_error("no memory");
  std::memcpy(context_->extradata, avcC.data(), avcC.size());
  context_->extradata_size = static_cast<int>(avcC.size());
  context_->thread_count = 1;
  context_->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_EXPLODE;
  if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
    throw std::runtime_error("decoder refused the configuration record");
  }
}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::decode(std::span<const std::uint8_t> frame,
                         std::vector<DecodedPicture>& pictures) {
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!packet || av_new_packet(packet.get(), static_cast<int>(frame.size())) < 0) return false;
  std::memcpy(packet->data, frame.data(), frame.size());
  if (avcodec_send_packet(context_.get(), packet.get()) < 0) return false;
  return receive(pictures);
}

bool H264Decoder::flush(std::vector<DecodedPicture>& pictures) {
  if (avcodec_send_packet(context_.get(), nullptr) < 0) return false;
  return receive(pictures);
}

bool H264Decoder::receive(std::vector<DecodedPicture>& pictures) {
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  for (;;) {
    const int result = avcodec_receive_frame(context_.get(), frame.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    if (frame->format != AV_PIX_FMT_YUV420P || frame->decode_error_flags != 0) return false;
    const int width = frame->width, height = frame->height;
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    pictures.push_back({width, height, packedPlane(*frame, 0, width, height),
                        packedPlane(*frame, 1, chromaWidth, chromaHeight),
                        packedPlane(*frame, 2, chromaWidth, chromaHeight), frame->colorspace,
                        frame->color_range == AVCOL_RANGE_JPEG});
    av_frame_unref(frame.get());
  }
}

}  // namespace tavrino::share::testing
