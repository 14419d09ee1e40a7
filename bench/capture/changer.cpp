// The desktop the capture benchmark records: a full-screen wallpaper window
// with text-like detail, an application window that repaints part of itself
// every --period milliseconds (a moving pattern and a time code, see
// time_code.h) and a small "protected" window for the helper to keep out of
// its picture. With --period 0 nothing changes after the first paint.
//
// Prints "ready <protected-window-id>" once everything is on screen, then
// repaints until SIGTERM or SIGINT. Each repaint's sequence number and the
// wall-clock time just before its drawing requests leave for the X server
// (microseconds since the epoch) go to --log as "seq time_us" lines.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stream_record.h"
#include "time_code.h"

namespace {

using namespace tavrino::bench;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

std::int64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

xcb_rectangle_t rect(int x, int y, int w, int h) {
  return {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
          static_cast<std::uint16_t>(h)};
}

// A deterministic stream of numbers, so that every run draws the same desktop.
class Lcg {
 public:
  int next(int range) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state_ >> 33) % static_cast<std::uint64_t>(range));
  }

 private:
  std::uint64_t state_ = 42;
};

class Desktop {
 public:
  Desktop(xcb_connection_t* c, xcb_screen_t* screen) : c_(c), screen_(screen), gc_(xcb_generate_id(c)) {
    xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
  }

  // Lines of "words" on a light page, panels and a task bar: detail the
  // encoder has to carry, as on a real desktop.
  xcb_window_t wallpaper() {
    const int w = screen_->width_in_pixels, h = screen_->height_in_pixels;
    xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_->root_depth, pixmap, screen_->root, w, h);
    fill(pixmap, 0xe9e6df, {rect(0, 0, w, h)});
    fill(pixmap, 0x2f3b52, {rect(0, h - 40, w, 40)});
    fill(pixmap, 0xc8d3e6, {rect(w / 2, 60, w / 2 - 60, h / 3)});
    words(pixmap, 0, 0, w, h - 40, 0x3a3a3a);
    return window(0, 0, w, h, pixmap);
  }

  xcb_window_t protectedWindow() {
    const int w = 480, h = 320;
    xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_->root_depth, pixmap, screen_->root, w, h);
    fill(pixmap, 0x8a1c1c, {rect(0, 0, w, h)});
    words(pixmap, 0, 0, w, h, 0xf2d0d0);
    return window(screen_->width_in_pixels - w - 120, screen_->height_in_pixels - h - 120, w, h, pixmap);
  }

  xcb_window_t application() {
    app_ = window(kWindowX, kWindowY, kWindowWidth, kWindowHeight, XCB_NONE);
    return app_;
  }

  void paintAll(std::uint32_t seq) {
    fill(app_, 0xfafafa, {rect(0, 0, kWindowWidth, kWindowHeight)});
    fill(app_, 0x4a6fa5, {rect(0, 0, kWindowWidth, 24)});
    paintChanging(seq);
  }

  // One step of the diagonal stripes (they move by one tile per repaint),
  // then the time code: first all cells black, then the white ones in a single
  // request, so the code on screen is always old, blank or new, never mixed.
  void paintChanging(std::uint32_t seq) {
    static constexpr std::array<std::uint32_t, 8> kPalette = {0xd64541, 0xe8a33d, 0xf2e05c, 0x69b34c,
                                                              0x3fa7c9, 0x3f5fc9, 0x8a4fc9, 0xc94f9a};
    std::array<std::vector<xcb_rectangle_t>, kPalette.size()> byColour;
    for (int row = 0; row < kTileRows; ++row) {
      for (int col = 0; col < kTileColumns; ++col) {
        byColour[(row + col + seq) % kPalette.size()].push_back(
            rect(kTilesX - kWindowX + col * kTileSize, kTilesY - kWindowY + row * kTileSize, kTileSize, kTileSize));
      }
    }
    for (std::size_t i = 0; i < kPalette.size(); ++i) fill(app_, kPalette[i], byColour[i]);
    const int codeX = kCodeX - kWindowX, codeY = kCodeY - kWindowY;
    fill(app_, 0x000000, {rect(codeX, codeY, kCodeBits * kCodeCell, 2 * kCodeCell)});
    std::vector<xcb_rectangle_t> white;
    for (int bit = 0; bit < kCodeBits; ++bit) {
      const bool one = (seq >> (kCodeBits - 1 - bit)) & 1;
      white.push_back(rect(codeX + bit * kCodeCell, codeY + (one ? 0 : kCodeCell), kCodeCell, kCodeCell));
    }
    fill(app_, 0xffffff, white);
  }

 private:
  void fill(xcb_drawable_t target, std::uint32_t colour, const std::vector<xcb_rectangle_t>& rects) {
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(c_, target, gc_, static_cast<std::uint32_t>(rects.size()), rects.data());
  }

  void words(xcb_drawable_t target, int x0, int y0, int w, int h, std::uint32_t colour) {
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

  xcb_window_t window(int x, int y, int w, int h, xcb_pixmap_t background) {
    xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t mask = XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK;
    const std::uint32_t values[] = {background, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, mask, values);
    xcb_map_window(c_, id);
    return id;
  }

  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
  xcb_window_t app_ = XCB_NONE;
};

// Waits until the X server has handled every request sent so far.
bool sync(xcb_connection_t* c) {
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return !xcb_connection_has_error(c);
}

}  // namespace

int main(int argc, char** argv) {
  long periodMs = 40;
  std::string logPath;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--period" && i + 1 < argc) {
      periodMs = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else {
      std::fprintf(stderr, "usage: capture_changer [--period MS] [--log FILE]   (DISPLAY names the X server)\n");
      return 2;
    }
  }
  struct sigaction action{};
  action.sa_handler = requestStop;  // no SA_RESTART: poll returns at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(xcb_connect(nullptr, nullptr));
  xcb_connection_t* c = connection.get();
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "capture_changer: cannot open the X display\n");
    return 1;
  }
  std::unique_ptr<std::FILE, FileCloser> log;
  if (!logPath.empty()) {
    log.reset(std::fopen(logPath.c_str(), "w"));
    if (!log) {
      std::fprintf(stderr, "capture_changer: cannot write %s: %s\n", logPath.c_str(), std::strerror(errno));
      return 1;
    }
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  Desktop desktop(c, screen);
  desktop.wallpaper();
  desktop.application();
  const xcb_window_t protectedId = desktop.protectedWindow();

  std::uint32_t seq = 1;
  auto paint = [&](bool all) {
    if (log) std::fprintf(log.get(), "%u %lld\n", seq, static_cast<long long>(wallClockMicros()));
    if (all) {
      desktop.paintAll(seq);
    } else {
      desktop.paintChanging(seq);
    }
    xcb_flush(c);
  };
  paint(true);
  if (!sync(c)) return 1;
  std::printf("ready %u\n", protectedId);
  std::fflush(stdout);

  const std::int64_t period = periodMs * 1000;
  std::int64_t next = monotonicMicros() + period;
  pollfd events{xcb_get_file_descriptor(c), POLLIN, 0};
  while (!stopRequested) {
    const std::int64_t wait = period > 0 ? std::max<std::int64_t>(0, next - monotonicMicros()) : -1;
    const int ready = ::poll(&events, 1, wait < 0 ? -1 : static_cast<int>((wait + 999) / 1000));
    if (ready < 0 && errno != EINTR) break;
    bool exposed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      exposed |= (event->response_type & 0x7f) == XCB_EXPOSE;
      std::free(event);
    }
    if (xcb_connection_has_error(c)) return 1;
    if (period > 0 && monotonicMicros() >= next) {
      ++seq;
      paint(exposed);
      // Keep the beat after a late wake-up instead of painting in a burst.
      next += period;
      const std::int64_t now = monotonicMicros();
      if (next <= now) next = now + period;
    } else if (exposed) {
      paint(true);
    }
  }
  return 0;
}
