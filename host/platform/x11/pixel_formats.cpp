#include "platform/x11/pixel_formats.h"

#include <bit>
#include <cstring>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

namespace tavrino::share::x11 {

namespace {

using Kind = PixelLayout::Kind;

Kind kindOf(const PixelLayout& l) {
  if (!l.lsbFirst && l.bitsPerPixel > 8) return Kind::masked;
  if (l.bitsPerPixel == 32) {
    if (l.red == 0xFF0000 && l.green == 0xFF00 && l.blue == 0xFF) return Kind::bgra;
    if (l.red == 0xFF && l.green == 0xFF00 && l.blue == 0xFF0000) return Kind::rgba;
    if (l.red == 0x3FF00000 && l.green == 0xFFC00 && l.blue == 0x3FF) return Kind::rgb10;
    if (l.red == 0x3FF && l.green == 0xFFC00 && l.blue == 0x3FF00000) return Kind::bgr10;
  }
  if (l.bitsPerPixel == 16 && l.blue == 0x1F) {
    if (l.red == 0xF800 && l.green == 0x7E0) return Kind::rgb565;
    if (l.red == 0x7C00 && l.green == 0x3E0) return Kind::rgb555;
  }
  return Kind::masked;
}

// One colour channel of the masked path: where it lies and how to widen it
// to 8 bits.
struct Channel {
  int shift = 0;
  int bits = 0;
  std::uint32_t mask = 0;

  explicit Channel(std::uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    bits = std::popcount(m);
  }
  std::uint8_t of(std::uint32_t pixel, std::uint8_t absent) const {
    if (bits == 0) return absent;
    const std::uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
    return static_cast<std::uint8_t>(v * 255 / ((1u << bits) - 1));
  }
};

std::uint32_t pixelAt(const std::uint8_t* p, int bytes, bool lsbFirst) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::uint32_t b = p[i];
    v |= lsbFirst ? b << (8 * i) : b << (8 * (bytes - 1 - i));
  }
  return v;
}

void convertMasked(const PixelLayout& l, const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to,
                   std::size_t toStride, int width, int height) {
  const Channel r(l.red), g(l.green), b(l.blue), a(l.translucent() ? l.alpha : 0);
  const int bytes = l.bitsPerPixel / 8;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = from + y * fromStride;
    std::uint8_t* out = to + y * toStride;
    for (int x = 0; x < width; ++x, in += bytes, out += 4) {
      const std::uint32_t pixel = pixelAt(in, bytes, l.lsbFirst);
      out[0] = b.of(pixel, 0);
      out[1] = g.of(pixel, 0);
      out[2] = r.of(pixel, 0);
      out[3] = a.of(pixel, 0xFF);
    }
  }
}

}  // namespace

std::size_t PixelLayout::rowBytes(int width) const {
  const std::size_t bits = static_cast<std::size_t>(width) * bitsPerPixel;
  const std::size_t pad = scanlinePad == 0 ? 8 : scanlinePad;
  return (bits + pad - 1) / pad * pad / 8;
}

PixelFormats::PixelFormats(const XcbConnection& x)
    : rootVisual_(x.screen().root_visual), rootDepth_(x.screen().root_depth) {
  const xcb_setup_t* setup = xcb_get_setup(x.get());
  const bool lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  std::unordered_map<std::uint8_t, xcb_format_t> formats;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) formats[f.data->depth] = *f.data;
  for (auto d = xcb_screen_allowed_depths_iterator(&x.screen()); d.rem > 0; xcb_depth_next(&d)) {
    const auto format = formats.find(d.data->depth);
    if (format == formats.end()) continue;
    const int bpp = format->second.bits_per_pixel;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) continue;
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      // Other classes go through a colour map; their pixels are not colours.
      if (v.data->_class != XCB_VISUAL_CLASS_TRUE_COLOR) continue;
      PixelLayout l;
      l.depth = d.data->depth;
      l.bitsPerPixel = static_cast<std::uint8_t>(bpp);
      l.scanlinePad = format->second.scanline_pad;
      l.lsbFirst = lsbFirst;
      l.red = v.data->red_mask;
      l.green = v.data->green_mask;
      l.blue = v.data->blue_mask;
      const std::uint32_t depthBits = l.depth >= 32 ? 0xFFFFFFFFu : (1u << l.depth) - 1;
      l.alpha = depthBits & ~(l.red | l.green | l.blue);
      l.kind = kindOf(l);
      layouts_.emplace(v.data->visual_id, l);
      order_.push_back(v.data->visual_id);
    }
  }
}

std::optional<ErrorValue> PixelFormats::refusal() const {
  if (forVisual(rootVisual_) != nullptr) return std::nullopt;
  return x11Error(9, "This display shows colours through a palette or in a pixel format that sharing cannot read; "
                     "choose a depth of 15, 16, 24 or 30 bits a pixel.");
}

const PixelLayout* PixelFormats::forVisual(xcb_visualid_t visual) const {
  const auto it = layouts_.find(visual);
  return it == layouts_.end() ? nullptr : &it->second;
}

const PixelLayout* PixelFormats::forDepth(std::uint8_t depth) const {
  if (depth == rootDepth_) {
    if (const PixelLayout* root = forVisual(rootVisual_)) return root;
  }
  for (xcb_visualid_t v : order_) {
    const PixelLayout& l = layouts_.at(v);
    if (l.depth == depth) return &l;
  }
  return nullptr;
}

void convertPixels(const PixelLayout& l, const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to,
                   std::size_t toStride, int width, int height) {
  const int in = static_cast<int>(fromStride), out = static_cast<int>(toStride);
  switch (l.kind) {
    case Kind::bgra:
      libyuv::ARGBCopy(from, in, to, out, width, height);
      return;
    case Kind::rgba:
      libyuv::ABGRToARGB(from, in, to, out, width, height);
      return;
    case Kind::rgb10:
      libyuv::AR30ToARGB(from, in, to, out, width, height);
      return;
    case Kind::bgr10:
      libyuv::AB30ToARGB(from, in, to, out, width, height);
      return;
    case Kind::rgb565:
      libyuv::RGB565ToARGB(from, in, to, out, width, height);
      return;
    case Kind::rgb555:
      libyuv::ARGB1555ToARGB(from, in, to, out, width, height);
      return;
    case Kind::masked:
      convertMasked(l, from, fromStride, to, toStride, width, height);
      return;
  }
}

}  // namespace tavrino::share::x11
