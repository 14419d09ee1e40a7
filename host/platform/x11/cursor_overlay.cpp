#include "platform/x11/cursor_overlay.h"

#include <libyuv/planar_functions.h>
#include <xcb/xfixes.h>

namespace tavrino::share::x11 {

CursorOverlay::CursorOverlay(const XcbConnection& x, const MonitorInfo& monitor) : x_(x), monitor_(monitor) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.get(), &xcb_xfixes_id);
  if (data == nullptr || !data->present) return;
  Reply<xcb_xfixes_query_version_reply_t> fixes(
      xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 4, 0), nullptr));
  available_ = fixes && fixes->major_version >= 1;
}

bool CursorOverlay::fetch() {
  if (!available_) return false;
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(x_.get(), xcb_xfixes_get_cursor_image(x_.get()), nullptr));
  if (!cursor) {
    fetched_ = Shape{};
  } else {
    fetched_ = Shape{cursor->x - cursor->xhot - monitor_.x, cursor->y - cursor->yhot - monitor_.y, cursor->width,
                     cursor->height, cursor->cursor_serial};
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
    image_.assign(pixels, pixels + static_cast<std::size_t>(cursor->width) * cursor->height);
  }
  return !drawn_ || !(fetched_ == drawnShape_);
}

Rect CursorOverlay::lift(std::vector<std::uint8_t>& canvas) {
  if (!drawn_) return {};
  drawn_ = false;
  const int stride = monitor_.width * 4;
  std::uint8_t* to = canvas.data() + static_cast<std::size_t>(covered_.y) * stride + covered_.x * 4;
  libyuv::ARGBCopy(beneath_.data(), covered_.width * 4, to, stride, covered_.width, covered_.height);
  return covered_;
}

Rect CursorOverlay::draw(std::vector<std::uint8_t>& canvas) {
  if (!available_) return {};
  const Shape& s = fetched_;
  const Rect covered = Rect{s.x, s.y, s.width, s.height}.intersected(Rect{0, 0, monitor_.width, monitor_.height});
  drawn_ = true;
  drawnShape_ = s;
  covered_ = covered;
  if (covered.empty()) return {};
  const int stride = monitor_.width * 4;
  std::uint8_t* to = canvas.data() + static_cast<std::size_t>(covered.y) * stride + covered.x * 4;
  beneath_.resize(static_cast<std::size_t>(covered.width) * covered.height * 4);
  libyuv::ARGBCopy(to, stride, beneath_.data(), covered.width * 4, covered.width, covered.height);
  const auto* from = reinterpret_cast<const std::uint8_t*>(
      image_.data() + static_cast<std::size_t>(covered.y - s.y) * s.width + (covered.x - s.x));
  libyuv::ARGBBlend(from, s.width * 4, to, stride, to, stride, covered.width, covered.height);
  return covered;
}

}  // namespace tavrino::share::x11
