// The desktop the capture benchmark records: a full-screen wallpaper window
// with text-like detail, the windows of one scene (scenes.h) and a small
// "protected" window on top for the helper to keep out of its picture.
//
// Prints "ready <protected-window-id> <period-ms> <timed|untimed>" once
// everything is on screen, then steps the scene every period until SIGTERM or
// SIGINT. Each step's sequence number and the wall-clock time just before its
// drawing requests leave for the X server (microseconds since the epoch) go
// to --log as "seq time_us" lines.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "desktop.h"
#include "scenes.h"
#include "stream_record.h"

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

int usage() {
  std::fprintf(stderr,
               "usage: capture_changer [--scene NAME] [--log FILE]   (DISPLAY names the X server)\n"
               "scenes: static changing rapid typing drag scroll video windows-N windows-N-static\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sceneName = "changing", logPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--scene" && i + 1 < argc) {
      sceneName = argv[++i];
    } else if (arg == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else {
      return usage();
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
  Desktop desktop(c, xcb_setup_roots_iterator(xcb_get_setup(c)).data);
  desktop.wallpaper();
  auto setup = makeScene(sceneName, desktop);
  if (!setup) {
    std::fprintf(stderr, "capture_changer: there is no scene called %s\n", sceneName.c_str());
    return usage();
  }
  const xcb_window_t protectedId = desktop.protectedWindow();

  std::uint32_t seq = 1;
  auto paint = [&](bool all) {
    if (log) std::fprintf(log.get(), "%u %lld\n", seq, static_cast<long long>(wallClockMicros()));
    setup->scene->paint(seq, all);
    xcb_flush(c);
  };
  paint(true);
  if (!sync(c)) return 1;
  std::printf("ready %u %ld %s\n", protectedId, setup->periodMs, setup->timed ? "timed" : "untimed");
  std::fflush(stdout);

  const std::int64_t period = setup->periodMs * 1000;
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
    } else if (exposed && period == 0) {
      paint(true);
    }
  }
  return 0;
}
