// A crowded desktop for the capture's cost per window: --windows plain
// 24-bit windows of assorted sizes strewn over the screen (every point lies
// under many of them), a small "protected" window for the helper to keep
// out, and on top a 160x120 window that repaints every --period milliseconds
// (0: never, the static desktop). Prints "ready <protected-window-id>" once
// everything is on screen, then repaints until SIGTERM or SIGINT.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

std::int64_t monotonicMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// Every run strews the windows the same way.
std::uint64_t lcgState = 20261207;
int next(int range) {
  lcgState = lcgState * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<int>((lcgState >> 33) % static_cast<std::uint64_t>(range));
}

xcb_window_t window(xcb_connection_t* c, const xcb_screen_t* s, int x, int y, int w, int h, std::uint32_t colour) {
  xcb_window_t id = xcb_generate_id(c);
  const std::uint32_t values[] = {colour};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, id, s->root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                    static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    s->root_visual, XCB_CW_BACK_PIXEL, values);
  xcb_map_window(c, id);
  return id;
}

}  // namespace

int main(int argc, char** argv) {
  int windows = 300;
  long periodMs = 40;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--windows") {
      windows = std::atoi(argv[i + 1]);
    } else if (arg == "--period") {
      periodMs = std::strtol(argv[i + 1], nullptr, 10);
    } else {
      break;
    }
  }
  if (argc % 2 != 1 || windows < 0 || periodMs < 0) {
    std::fprintf(stderr, "usage: capture_many_windows [--windows N] [--period MS]   (DISPLAY names the X server)\n");
    return 2;
  }
  struct sigaction action{};
  action.sa_handler = requestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(xcb_connect(nullptr, nullptr));
  xcb_connection_t* c = connection.get();
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "capture_many_windows: cannot open the X display\n");
    return 1;
  }
  const xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const int sw = s->width_in_pixels, sh = s->height_in_pixels;
  for (int i = 0; i < windows; ++i) {
    const int w = 200 + next(sw / 2), h = 150 + next(sh / 2);
    window(c, s, next(sw - w / 2) - w / 4, next(sh - h / 2) - h / 4, w, h, static_cast<std::uint32_t>(next(0xFFFFFF)));
  }
  const xcb_window_t protectedId = window(c, s, sw - 400, 60, 320, 200, 0x8a1c1c);
  const int cw = 160, ch = 120;
  const xcb_window_t changing = window(c, s, sw / 2 - cw / 2, sh / 2 - ch / 2, cw, ch, 0xfafafa);
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, changing, 0, nullptr);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  if (xcb_connection_has_error(c)) return 1;
  std::printf("ready %u\n", protectedId);
  std::fflush(stdout);

  std::uint32_t step = 0;
  while (!stopRequested) {
    if (periodMs == 0) {
      pause();
      continue;
    }
    const std::int64_t due = monotonicMillis() + periodMs;
    // A bar sweeping across the window: each repaint changes all of it.
    const std::uint32_t colours[] = {0x203040u + (step * 0x0a0503u & 0x7f7f7f), 0xf0e0c0};
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colours[0]);
    const xcb_rectangle_t all{0, 0, static_cast<std::uint16_t>(cw), static_cast<std::uint16_t>(ch)};
    xcb_poly_fill_rectangle(c, changing, gc, 1, &all);
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colours[1]);
    const xcb_rectangle_t bar{static_cast<std::int16_t>(step % cw), 0, 8, static_cast<std::uint16_t>(ch)};
    xcb_poly_fill_rectangle(c, changing, gc, 1, &bar);
    xcb_flush(c);
    ++step;
    while (!stopRequested && monotonicMillis() < due) {
      pollfd events{xcb_get_file_descriptor(c), POLLIN, 0};
      if (poll(&events, 1, static_cast<int>(due - monotonicMillis())) < 0 && errno != EINTR) return 1;
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) std::free(event);
      if (xcb_connection_has_error(c)) return 1;
    }
  }
  return 0;
}
