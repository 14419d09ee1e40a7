// Scenes inside one application window at a fixed place, where the time
// code can sit: moving tiles, typing, scrolling.
#include <algorithm>
#include <array>

#include "scenes.h"
#include "time_code.h"

namespace tavrino::bench {

namespace {

constexpr std::uint32_t kPaper = 0xfafafa, kInk = 0x303030, kTitle = 0x4a6fa5;

// Diagonal stripes of tiles that move by one tile per step, and the time code.
class PatternScene final : public Scene {
 public:
  explicit PatternScene(Desktop& desktop)
      : d_(desktop), window_(d_.window(kWindowX, kWindowY, kWindowWidth, kWindowHeight, XCB_NONE)) {}
  void paint(std::uint32_t seq, bool all) override {
    static constexpr std::array<std::uint32_t, 8> kPalette = {0xd64541, 0xe8a33d, 0xf2e05c, 0x69b34c,
                                                              0x3fa7c9, 0x3f5fc9, 0x8a4fc9, 0xc94f9a};
    if (all) {
      d_.fill(window_, kPaper, {rect(0, 0, kWindowWidth, kWindowHeight)});
      d_.fill(window_, kTitle, {rect(0, 0, kWindowWidth, 24)});
    }
    std::array<std::vector<xcb_rectangle_t>, kPalette.size()> byColour;
    for (int row = 0; row < kTileRows; ++row) {
      for (int col = 0; col < kTileColumns; ++col) {
        byColour[(row + col + seq) % kPalette.size()].push_back(
            rect(kTilesX - kWindowX + col * kTileSize, kTilesY - kWindowY + row * kTileSize, kTileSize, kTileSize));
      }
    }
    for (std::size_t i = 0; i < kPalette.size(); ++i) d_.fill(window_, kPalette[i], byColour[i]);
    d_.timeCode(window_, kWindowX, kWindowY, seq);
  }

 private:
  Desktop& d_;
  xcb_window_t window_;
};

// An editor page the X server repaints from its pixmap; each step one
// 10x20 character cell gets the next "glyph", line after line.
class TypingScene final : public Scene {
 public:
  explicit TypingScene(Desktop& desktop)
      : d_(desktop),
        window_(d_.window(kWindowX, kWindowY, kWindowWidth, kWindowHeight,
                          d_.page(kWindowWidth, kWindowHeight, kPaper, kInk, kTitle))) {}
  void paint(std::uint32_t seq, bool) override {
    constexpr int kColumns = 90, kRows = 28;
    const int x = 24 + static_cast<int>(seq % kColumns) * 10, y = 40 + static_cast<int>(seq / kColumns % kRows) * 20;
    const int stroke = static_cast<int>(seq % 7);
    d_.fill(window_, kPaper, {rect(x, y, 10, 20)});
    d_.fill(window_, kInk, {rect(x + 1 + stroke % 3 * 2, y + 4, 2, 12), rect(x + 1, y + 6 + stroke, 8, 2)});
  }

 private:
  Desktop& d_;
  xcb_window_t window_;
};

// A page of text lines scrolled up by a few pixels each step the way a
// program scrolls: the kept part copied, the new strip drawn. A header above
// the text holds the time code.
class ScrollScene final : public Scene {
 public:
  explicit ScrollScene(Desktop& desktop)
      : d_(desktop),
        width_(std::min(1600, d_.width() - kWindowX)),
        height_(std::min(900, d_.height() - kWindowY)),
        window_(d_.window(kWindowX, kWindowY, width_, height_, XCB_NONE)) {}
  void paint(std::uint32_t seq, bool all) override {
    const int offset = static_cast<int>(seq) * kStep, visible = height_ - kTop;
    if (all) {
      d_.fill(window_, kTitle, {rect(0, 0, width_, 24)});
      d_.fill(window_, 0xdde3ea, {rect(0, 24, width_, kTop - 24)});
      text(offset, offset + visible);
    } else {
      d_.copy(window_, window_, 0, kTop + kStep, 0, kTop, width_, visible - kStep);
      text(offset + visible - kStep, offset + visible);
    }
    d_.timeCode(window_, kWindowX, kWindowY, seq);
  }

 private:
  static constexpr int kStep = 12, kTop = kCodeY - kWindowY + 2 * kCodeCell + 16, kLine = 18;

  // The text between two heights of the whole page, drawn where the page
  // scrolled at offset shows them.
  void text(int from, int to) {
    const int offset = to - (height_ - kTop);
    auto at = [&](int pageY) { return kTop + pageY - offset; };
    d_.fill(window_, kPaper, {rect(0, at(from), width_, to - from)});
    std::vector<xcb_rectangle_t> words;
    for (int line = from / kLine; line * kLine < to; ++line) {
      const int top = std::max(from, line * kLine + 6), bottom = std::min(to, line * kLine + 14);
      if (top >= bottom) continue;
      Lcg random(static_cast<std::uint64_t>(line) + 1);
      const int end = width_ - 24 - random.next(width_ / 3 + 1);
      for (int x = 24; x < end;) {
        const int word = 10 + random.next(60);
        words.push_back(rect(x, at(top), std::min(word, end - x), bottom - top));
        x += word + 7;
      }
    }
    d_.fill(window_, kInk, words);
  }

  Desktop& d_;
  int width_, height_;
  xcb_window_t window_;
};

}  // namespace

std::unique_ptr<Scene> patternScene(Desktop& desktop) { return std::make_unique<PatternScene>(desktop); }
std::unique_ptr<Scene> typingScene(Desktop& desktop) { return std::make_unique<TypingScene>(desktop); }
std::unique_ptr<Scene> scrollScene(Desktop& desktop) { return std::make_unique<ScrollScene>(desktop); }

}  // namespace tavrino::bench
