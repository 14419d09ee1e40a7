// A stand-in desktop application for the capture tests: opens solid-coloured
// windows with a chosen WM_CLASS (and optionally an override-redirect popup,
// as menus and tooltips are), prints their ids, and keeps painting them until
// its standard input closes.
//   window_fixture CLASS RRGGBB WxH+X+Y [popup RRGGBB WxH+X+Y]
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <xcb/xcb.h>

namespace {

struct Geometry {
  int width, height, x, y;
};

Geometry parse(const char* text) {
  Geometry g{};
  std::sscanf(text, "%dx%d+%d+%d", &g.width, &g.height, &g.x, &g.y);
  return g;
}

struct Shown {
  xcb_window_t window;
  xcb_gcontext_t gc;
  Geometry geometry;
};

Shown open(xcb_connection_t* c, xcb_screen_t* screen, std::uint32_t colour, Geometry g, bool popup,
           const std::string& wmClass) {
  xcb_window_t w = xcb_generate_id(c);
  std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
  std::uint32_t values[] = {colour, popup ? 1u : 0u, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, static_cast<std::int16_t>(g.x),
                    static_cast<std::int16_t>(g.y), static_cast<std::uint16_t>(g.width),
                    static_cast<std::uint16_t>(g.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, mask, values);
  std::string cls = "fixture";
  cls.push_back('\0');
  cls += wmClass;
  cls.push_back('\0');
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      static_cast<std::uint32_t>(cls.size()), cls.data());
  xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t gcValues[] = {colour};
  xcb_create_gc(c, gc, w, XCB_GC_FOREGROUND, gcValues);
  xcb_map_window(c, w);
  return {w, gc, g};
}

void paint(xcb_connection_t* c, const Shown& s) {
  xcb_rectangle_t r{0, 0, static_cast<std::uint16_t>(s.geometry.width),
                    static_cast<std::uint16_t>(s.geometry.height)};
  xcb_poly_fill_rectangle(c, s.window, s.gc, 1, &r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  std::vector<Shown> shown;
  shown.push_back(open(c, screen, static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16)),
                       parse(argv[3]), false, argv[1]));
  if (argc >= 7 && std::strcmp(argv[4], "popup") == 0) {
    shown.push_back(open(c, screen, static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 16)),
                         parse(argv[6]), true, argv[1]));
  }
  xcb_flush(c);
  for (const auto& s : shown) paint(c, s);
  xcb_flush(c);
  // Round trip so the windows exist before anyone reads the ids.
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  for (const auto& s : shown) std::printf("%u\n", s.window);
  std::fflush(stdout);

  pollfd fds[2] = {{0, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, 100) < 0) break;
    if (fds[0].revents != 0) {
      char buffer[64];
      if (read(0, buffer, sizeof buffer) <= 0) break;
    }
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      if ((event->response_type & 0x7f) == XCB_EXPOSE) {
        for (const auto& s : shown) paint(c, s);
        xcb_flush(c);
      }
      free(event);
    }
    if (xcb_connection_has_error(c)) break;
  }
  xcb_disconnect(c);
  return 0;
}
