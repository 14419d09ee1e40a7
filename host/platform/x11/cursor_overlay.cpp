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
  return !placed_ || !(fetched_ == drawn_.fetched);
}

Region CursorOverlay::place(const Region& protectedArea) {
  if (!available_) return {};
  const bool own = showsOwnCursor(fetched_.named, fetched_.x, fetched_.y, protectedArea);
  const CursorImage& arrow = standardArrow();
  const Shape s = own ? fetched_ : Shape{fetched_.x, fetched_.y, 0, 0, arrow.width, arrow.height};
  const int left = s.x - s.hotX - monitor_.x, top = s.y - s.hotY - monitor_.y;
  const Placed now{fetched_, own, left, top, s.width,
                   Rect{left, top, s.width, s.height}.intersected(Rect{0, 0, monitor_.width, monitor_.height})};
  if (placed_ && now == drawn_) return {};
  Region changed;
  if (placed_) changed.add(drawn_.covered);
  changed.add(now.covered);
  placed_ = true;
  drawn_ = now;
  drawnImage_ = own ? image_ : arrow.pixels;
  return changed;
}

void CursorOverlay::draw(const Surface& surface, const Region& area) const {
  if (!placed_ || drawn_.covered.empty()) return;
  const Placed& p = drawn_;
  const Region under = area.intersected(p.covered).intersected(surface.box);
  for (const Rect& r : under.rects()) {
    const auto* from = reinterpret_cast<const std::uint8_t*>(
        drawnImage_.data() + static_cast<std::size_t>(r.y - p.top) * p.width + (r.x - p.left));
    std::uint8_t* to = surface.at(r.x, r.y);
    libyuv::ARGBBlend(from, p.width * 4, to, surface.stride, to, surface.stride, r.width, r.height);
  }
}

}  // namespace tavrino::share::x11
