#include "desktop.h"

#include <algorithm>
#include <cstdlib>

#include "time_code.h"

namespace tavrino::bench {

xcb_rectangle_t rect(int x, int y, int w, int h) {
  return {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
          static_cast<std::uint16_t>(h)};
}

Desktop::Desktop(xcb_connection_t* c, xcb_screen_t* screen) : c_(c), screen_(screen), gc_(xcb_generate_id(c)) {
  // Copies inside a window (scrolling) would otherwise answer with an event each.
  const std::uint32_t noExposures = 0;
  xcb_create_gc(c_, gc_, screen_->root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
}

xcb_window_t Desktop::wallpaper() {
  const int w = width(), h = height();
  xcb_pixmap_t background = pixmap(w, h);
  fill(background, 0xe9e6df, {rect(0, 0, w, h)});
  fill(background, 0x2f3b52, {rect(0, h - 40, w, 40)});
  fill(background, 0xc8d3e6, {rect(w / 2, 60, w / 2 - 60, h / 3)});
  words(background, 0, 0, w, h - 40, 0x3a3a3a);
  return window(0, 0, w, h, background);
}

xcb_window_t Desktop::protectedWindow() {
  const int w = 480, h = 320;
  xcb_pixmap_t background = pixmap(w, h);
  fill(background, 0x8a1c1c, {rect(0, 0, w, h)});
  words(background, 0, 0, w, h, 0xf2d0d0);
  return window(width() - w - 120, height() - h - 120, w, h, background);
}

xcb_pixmap_t Desktop::pixmap(int w, int h) {
  xcb_pixmap_t id = xcb_generate_id(c_);
  xcb_create_pixmap(c_, screen_->root_depth, id, screen_->root, static_cast<std::uint16_t>(w),
                    static_cast<std::uint16_t>(h));
  return id;
}

xcb_pixmap_t Desktop::page(int w, int h, std::uint32_t paper, std::uint32_t ink, std::uint32_t title) {
  xcb_pixmap_t id = pixmap(w, h);
  fill(id, paper, {rect(0, 0, w, h)});
  fill(id, title, {rect(0, 0, w, 24)});
  words(id, 0, 24, w, h - 24, ink);
  return id;
}

xcb_window_t Desktop::window(int x, int y, int w, int h, xcb_pixmap_t background) {
  xcb_window_t id = xcb_generate_id(c_);
  const std::uint32_t mask = XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK;
  const std::uint32_t values[] = {background, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, mask, values);
  xcb_map_window(c_, id);
  return id;
}

void Desktop::move(xcb_window_t window, int x, int y) {
  const std::uint32_t position[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
  xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
}

void Desktop::fill(xcb_drawable_t target, std::uint32_t colour, const std::vector<xcb_rectangle_t>& rects) {
  xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
  xcb_poly_fill_rectangle(c_, target, gc_, static_cast<std::uint32_t>(rects.size()), rects.data());
}

void Desktop::words(xcb_drawable_t target, int x0, int y0, int w, int h, std::uint32_t colour) {
  Lcg random;
  std::vector<xcb_rectangle_t> rects;
  for (int y = y0 + 24; y + 8 < y0 + h; y += 18) {
    const int lineEnd = x0 + w - 24 - random.next(w / 3 + 1);
    for (int x = x0 + 24; x < lineEnd;) {
      const int word = 10 + random.next(60);
      rects.push_back(rect(x, y, std::min(word, lineEnd - x), 8));
      x += word + 7;
    }
    if (rects.size() > 4000) {
      fill(target, colour, rects);
      rects.clear();
    }
  }
  fill(target, colour, rects);
}

void Desktop::copy(xcb_drawable_t from, xcb_drawable_t to, int fromX, int fromY, int toX, int toY, int w, int h) {
  xcb_copy_area(c_, from, to, gc_, static_cast<std::int16_t>(fromX), static_cast<std::int16_t>(fromY),
                static_cast<std::int16_t>(toX), static_cast<std::int16_t>(toY), static_cast<std::uint16_t>(w),
                static_cast<std::uint16_t>(h));
}

void Desktop::put(xcb_drawable_t target, int w, int h, const std::vector<std::uint32_t>& pixels) {
  // Well under the 256 KiB a request may carry without the big-requests extension.
  const int rows = std::max(1, 60'000 / w);
  for (int y = 0; y < h; y += rows) {
    const int n = std::min(rows, h - y);
    xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, target, gc_, static_cast<std::uint16_t>(w),
                  static_cast<std::uint16_t>(n), 0, static_cast<std::int16_t>(y), 0, screen_->root_depth,
                  static_cast<std::uint32_t>(n * w * 4),
                  reinterpret_cast<const std::uint8_t*>(pixels.data() + static_cast<std::size_t>(y) * w));
  }
}

void Desktop::timeCode(xcb_window_t window, int windowX, int windowY, std::uint32_t seq) {
  const int codeX = kCodeX - windowX, codeY = kCodeY - windowY;
  fill(window, 0x000000, {rect(codeX, codeY, kCodeBits * kCodeCell, 2 * kCodeCell)});
  std::vector<xcb_rectangle_t> white;
  for (int bit = 0; bit < kCodeBits; ++bit) {
    const bool one = (seq >> (kCodeBits - 1 - bit)) & 1;
    white.push_back(rect(codeX + bit * kCodeCell, codeY + (one ? 0 : kCodeCell), kCodeCell, kCodeCell));
  }
  fill(window, 0xffffff, white);
}

bool sync(xcb_connection_t* c) {
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return !xcb_connection_has_error(c);
}

}  // namespace tavrino::bench
