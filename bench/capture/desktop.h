#pragma once

// Drawing on the benchmark's X display with plain core requests, as an
// ordinary application does: windows, pixmaps, filled rectangles, copies.
#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace tavrino::bench {

xcb_rectangle_t rect(int x, int y, int w, int h);

// A deterministic stream of numbers, so that every run draws the same desktop.
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed = 42) : state_(seed) {}
  int next(int range) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state_ >> 33) % static_cast<std::uint64_t>(range));
  }

 private:
  std::uint64_t state_;
};

class Desktop {
 public:
  Desktop(xcb_connection_t* c, xcb_screen_t* screen);
  xcb_connection_t* connection() const { return c_; }
  int width() const { return screen_->width_in_pixels; }
  int height() const { return screen_->height_in_pixels; }

  // Lines of "words" on a light page, panels and a task bar: detail the
  // encoder has to carry, as on a real desktop.
  xcb_window_t wallpaper();
  // The window the helper is told to keep out of its picture.
  xcb_window_t protectedWindow();

  // A mapped top-level window; with a background pixmap the X server
  // repaints it by itself, with XCB_NONE its owner does on Expose.
  xcb_window_t window(int x, int y, int w, int h, xcb_pixmap_t background);
  void move(xcb_window_t window, int x, int y);
  xcb_pixmap_t pixmap(int w, int h);
  // A page of words on a plain colour, with a title bar.
  xcb_pixmap_t page(int w, int h, std::uint32_t paper, std::uint32_t ink, std::uint32_t title);

  void fill(xcb_drawable_t target, std::uint32_t colour, const std::vector<xcb_rectangle_t>& rects);
  void words(xcb_drawable_t target, int x0, int y0, int w, int h, std::uint32_t colour);
  void copy(xcb_drawable_t from, xcb_drawable_t to, int fromX, int fromY, int toX, int toY, int w, int h);
  // 32-bit 0x00RRGGBB pixels, rows of w, sent in requests the server accepts.
  void put(xcb_drawable_t target, int w, int h, const std::vector<std::uint32_t>& pixels);

  // The time code of time_code.h for sequence number seq, drawn into a
  // window whose top-left corner is at (windowX, windowY) on the screen:
  // first all cells black, then the white ones in a single request, so the
  // code on screen is always old, blank or new, never mixed.
  void timeCode(xcb_window_t window, int windowX, int windowY, std::uint32_t seq);

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
};

// Waits until the X server has handled every request sent so far.
bool sync(xcb_connection_t* c);

}  // namespace tavrino::bench
