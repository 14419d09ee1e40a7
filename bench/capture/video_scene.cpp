// A "video" region: every step the whole 1280x720 area shows a new picture,
// a photo-like image (smooth colour fields with grain) seen by a camera that
// pans, with small objects moving across it, and the time code on top.
#include <algorithm>
#include <cmath>

#include "scenes.h"
#include "time_code.h"

namespace tavrino::bench {

namespace {

class VideoScene final : public Scene {
 public:
  explicit VideoScene(Desktop& desktop)
      : d_(desktop),
        width_(std::min(1280, d_.width() - kWindowX)),
        height_(std::min(720, d_.height() - kWindowY)),
        source_(d_.pixmap(width_ + kPan, height_ + kPan)),
        window_(d_.window(kWindowX, kWindowY, width_, height_, XCB_NONE)) {
    const int w = width_ + kPan, h = height_ + kPan;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * h);
    Lcg grain;
    auto channel = [&](double wave) {
      return static_cast<std::uint32_t>(std::clamp(128 + 90 * wave + grain.next(25) - 12, 0.0, 255.0));
    };
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        pixels[static_cast<std::size_t>(y) * w + x] = channel(std::sin(x * 0.021 + y * 0.013)) << 16 |
                                                      channel(std::sin(x * 0.017 - y * 0.023 + 1)) << 8 |
                                                      channel(std::cos((x + y) * 0.011 + std::sin(y * 0.05)));
      }
    }
    d_.put(source_, w, h, pixels);
  }

  void paint(std::uint32_t seq, bool) override {
    const double t = seq;
    const int panX = static_cast<int>(kPan / 2 * (1 + std::sin(t * 0.05)));
    const int panY = static_cast<int>(kPan / 2 * (1 + std::cos(t * 0.037)));
    d_.copy(source_, window_, panX, panY, 0, 0, width_, height_);
    std::vector<xcb_rectangle_t> objects;
    for (int i = 0; i < 40; ++i) {
      const auto x = (i * 97 + static_cast<int>(seq) * (3 + i % 5) * 2) % (width_ - 24);
      const auto y = (i * 61 + static_cast<int>(seq) * (2 + i % 3) * 2) % (height_ - 24);
      objects.push_back(rect(x, y, 24, 24));
    }
    d_.fill(window_, 0x1e2a3a + (seq % 16) * 0x080808, objects);
    d_.timeCode(window_, kWindowX, kWindowY, seq);
  }

 private:
  static constexpr int kPan = 240;
  Desktop& d_;
  int width_, height_;
  xcb_pixmap_t source_;
  xcb_window_t window_;
};

}  // namespace

std::unique_ptr<Scene> videoScene(Desktop& desktop) { return std::make_unique<VideoScene>(desktop); }

}  // namespace tavrino::bench
