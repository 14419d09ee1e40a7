#include "platform/x11/cursor_overlay.h"

#include <libyuv/planar_functions.h>
#include <xcb/xfixes.h>

#include "platform/x11/cursor_policy.h"

namespace tavrino::share::x11 {

CursorOverlay::CursorOverlay(const XcbConnection& x, const MonitorInfo& monitor) : x_(x), monitor_(monitor) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.get(), &xcb_xfixes_id);
  if (data == nullptr || !data->present) return;
  Reply<xcb_xfixes_query_version_reply_t> fixes(
      xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 4, 0), nullptr));
  available_ = fixes && fixes->major_version >= 2;  // cursor names came with version 2
}

bool CursorOverlay::fetch() {
  if (!available_) return false;
  Reply<xcb_xfixes_get_cursor_image_and_name_reply_t> cursor(xcb_xfixes_get_cursor_image_and_name_reply(
      x_.get(), xcb_xfixes_get_cursor_image_and_name(x_.get()), nullptr));
  if (!cursor) {
    fetched_ = Shape{};
  } else {
    fetched_ = Shape{cursor->x,     cursor->y,      cursor->xhot,          cursor->yhot,
                     cursor->width, cursor->height, cursor->cursor_serial, cursor->nbytes > 0};
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_and_name_cursor_image(cursor.get());
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

Rect CursorOverlay::draw(std::vector<std::uint8_t>& canvas, const Region& protectedArea) {
  if (!available_) return {};
  drawn_ = true;
  drawnShape_ = fetched_;
  const bool own = showsOwnCursor(fetched_.named, fetched_.x, fetched_.y, protectedArea);
  const CursorImage& arrow = standardArrow();
  const Shape s = own ? fetched_ : Shape{fetched_.x, fetched_.y, 0, 0, arrow.width, arrow.height};
  const std::uint32_t* image = own ? image_.data() : arrow.pixels.data();
  const int left = s.x - s.hotX - monitor_.x, top = s.y - s.hotY - monitor_.y;
  const Rect covered = Rect{left, top, s.width, s.height}.intersected(Rect{0, 0, monitor_.width, monitor_.height});
  covered_ = covered;
  if (covered.empty()) return {};
  const int stride = monitor_.width * 4;
  std::uint8_t* to = canvas.data() + static_cast<std::size_t>(covered.y) * stride + covered.x * 4;
  beneath_.resize(static_cast<std::size_t>(covered.width) * covered.height * 4);
  libyuv::ARGBCopy(to, stride, beneath_.data(), covered.width * 4, covered.width, covered.height);
  const auto* from = reinterpret_cast<const std::uint8_t*>(
      image + static_cast<std::size_t>(covered.y - top) * s.width + (covered.x - left));
  libyuv::ARGBBlend(from, s.width * 4, to, stride, to, stride, covered.width, covered.height);
  return covered;
}

}  // namespace tavrino::share::x11
