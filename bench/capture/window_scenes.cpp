// Scenes of many windows or a moving one. Their content is in pixmaps the X
// server repaints by itself, as for applications with a kept picture.
#include <algorithm>
#include <array>

#include "scenes.h"
#include "time_code.h"

namespace tavrino::bench {

namespace {

// An 800x600 window dragged across the desktop: moved every step, bouncing
// off the screen's edges.
class DragScene final : public Scene {
 public:
  explicit DragScene(Desktop& desktop)
      : d_(desktop), window_(d_.window(kWindowX, kWindowY, kWidth, kHeight,
                                       d_.page(kWidth, kHeight, 0xf4f1ea, 0x2a2a2a, 0x6a8f4a))) {}
  void paint(std::uint32_t, bool) override {
    step(x_, dx_, d_.width() - kWidth);
    step(y_, dy_, d_.height() - 40 - kHeight);
    d_.move(window_, x_, y_);
  }

 private:
  static constexpr int kWidth = 800, kHeight = 600;
  static void step(int& at, int& by, int limit) {
    at += by;
    if (at < 0 || at > limit) {
      by = -by;
      at = std::clamp(at, 0, limit);
    }
  }
  Desktop& d_;
  xcb_window_t window_;
  int x_ = kWindowX, y_ = kWindowY, dx_ = 9, dy_ = 5;
};

// Windows of many sizes strewn over the screen (the same places every run),
// four kinds of page in them, and the small changing window on top near the
// middle, where many of them lie under it.
class WindowsScene final : public Scene {
 public:
  WindowsScene(Desktop& desktop, int count, bool still) : d_(desktop) {
    std::array<xcb_pixmap_t, 4> pages = {
        d_.page(560, 420, 0xfafafa, 0x303030, 0x4a6fa5), d_.page(560, 420, 0xfdf6e3, 0x586e75, 0xb58900),
        d_.page(560, 420, 0x272822, 0xd0d0c0, 0x75715e), d_.page(560, 420, 0xeef3f8, 0x1f3a5a, 0x8a4fc9)};
    Lcg random(7);
    for (int i = 0; i < count; ++i) {
      const int w = 160 + random.next(400), h = 120 + random.next(300);
      const int x = random.next(d_.width() - w), y = random.next(d_.height() - 40 - h);
      d_.window(x, y, w, h, pages[static_cast<std::size_t>(i) % pages.size()]);
    }
    if (!still) window_ = d_.window(d_.width() / 2 - kWidth / 2, d_.height() / 2 - kHeight, kWidth, kHeight, XCB_NONE);
  }
  void paint(std::uint32_t seq, bool) override {
    if (window_ == XCB_NONE) return;
    static constexpr std::array<std::uint32_t, 4> kPalette = {0xd64541, 0xf2e05c, 0x3fa7c9, 0x8a4fc9};
    std::array<std::vector<xcb_rectangle_t>, kPalette.size()> byColour;
    for (int row = 0; row < kHeight / 30; ++row) {
      for (int col = 0; col < kWidth / 32; ++col) {
        byColour[(row + col + seq) % kPalette.size()].push_back(rect(col * 32, row * 30, 32, 30));
      }
    }
    for (std::size_t i = 0; i < kPalette.size(); ++i) d_.fill(window_, kPalette[i], byColour[i]);
  }

 private:
  static constexpr int kWidth = 160, kHeight = 120;
  Desktop& d_;
  xcb_window_t window_ = XCB_NONE;
};

}  // namespace

std::unique_ptr<Scene> dragScene(Desktop& desktop) { return std::make_unique<DragScene>(desktop); }
std::unique_ptr<Scene> windowsScene(Desktop& desktop, int count, bool still) {
  return std::make_unique<WindowsScene>(desktop, count, still);
}

}  // namespace tavrino::bench
