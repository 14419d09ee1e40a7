// A stand-in desktop application for the capture tests: opens solid-coloured
// windows with a chosen WM_CLASS, prints their ids one a line, and keeps
// painting them on exposure until its standard input closes.
//   window_fixture CLASS RRGGBB WxH+X+Y [popup RRGGBB WxH+X+Y] [options]
// popup: an override-redirect window, as menus and tooltips are.
//   --late-popup      the popup opens two seconds after the main window
// Options, for the ways real applications make life hard for a capture:
//   --no-background   background None: the server paints nothing, the client does
//   --never-paint     background None and never painted
//   --argb            a 32-bit window with an alpha channel
//   --margin=N        with --argb: a clear band N pixels wide all round, as frames
//                     with invisible borders have
//   --frame=N         the main window inside a frame of its own with a black band
//                     N pixels wide that its frame extents leave out (invisible borders)
//   --unmapped        the main window is created but not shown
//   --ring            the main window is shaped as a ring (a hole in its middle)
//   --nest=N          N nested child windows in the main window; prints the innermost
//   --embed=ID        one more window, inside window ID (another application's)
//   --flip=ID         that window moves between the root and window ID every 25 ms
//   --storm           with --flip: it moves whenever the fixture wakes, thousands of times a second
//   --child=GEOM      a child process with its own connection and a window of its own
//   --tcp-child=GEOM  the same over TCP (its owner unknown to the server), without a class
//   --no-class        no WM_CLASS on the windows
//   --blink=WxH+X+Y   that part of the main window changes colour every 40 ms
// Ties to the application that are easy to miss:
//   --detached-child=GEOM  leads its own process group, as a shell's job does, and starts a
//                     helper as a double fork does: the middle process exits, the helper
//                     (classless windows) is handed to init, in the same group
//   --instance=N      an instance name of N bytes in WM_CLASS
//   --cursor          the main window has a 64x64 cursor of its own, in its colour; a "g" on
//                     standard input grabs the pointer with it, as during a drag
//   --own=SELECTION   the main window owns that selection (WM_S0, _NET_WM_CM_S0), as a
//                     window or compositing manager's does: the popup is then the manager's
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <xcb/shape.h>
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

struct Options {
  bool noBackground = false, neverPaint = false, argb = false, unmapped = false, ring = false, noClass = false,
       latePopup = false, storm = false, cursor = false;
  int nest = 0, margin = 0, frame = 0;
  std::size_t instance = 0;
  xcb_window_t embed = 0, flip = 0;
  std::optional<Geometry> blink;
  std::vector<std::string> children, tcpChildren, detached;
  std::string own;
};

struct Shown {
  xcb_window_t window;
  xcb_gcontext_t gc;
  Geometry geometry;
  std::uint32_t pixel;  // the colour as the window's visual stores it
  int margin;
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t a = reply ? reply->atom : 0;
  free(reply);
  return a;
}

xcb_visualid_t argbVisual(xcb_screen_t* screen) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    if (d.data->depth != 32) continue;
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) return v.data->visual_id;
    }
  }
  return 0;
}

// The pixel of an RRGGBB colour in a true-colour visual (every depth the
// server offers), opaque where the visual has alpha.
std::uint32_t pixelOf(xcb_screen_t* screen, xcb_visualid_t visual, std::uint8_t depth, std::uint32_t rgb) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->visual_id != visual) continue;
      auto channel = [](std::uint32_t mask, std::uint32_t value) {
        if (mask == 0) return 0u;
        const int shift = __builtin_ctz(mask);
        const std::uint32_t top = mask >> shift;
        return (value * top / 255) << shift;
      };
      const std::uint32_t colour = channel(v.data->red_mask, rgb >> 16 & 0xFF) |
                                   channel(v.data->green_mask, rgb >> 8 & 0xFF) | channel(v.data->blue_mask, rgb & 0xFF);
      const std::uint32_t all = depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1;
      return colour | (depth == 32 ? all & ~(v.data->red_mask | v.data->green_mask | v.data->blue_mask) : 0u);
    }
  }
  return rgb;
}

Shown open(xcb_connection_t* c, xcb_screen_t* screen, xcb_window_t parent, std::uint32_t colour, Geometry g,
           bool popup, const std::string& wmClass, const Options& o) {
  xcb_window_t w = xcb_generate_id(c);
  const bool none = o.noBackground || o.neverPaint || o.argb;
  std::uint8_t depth = XCB_COPY_FROM_PARENT;
  xcb_visualid_t visual = screen->root_visual;
  if (o.argb) {
    depth = 32;
    visual = argbVisual(screen);
  }
  const std::uint32_t pixel = pixelOf(screen, visual, o.argb ? 32 : screen->root_depth, colour);
  std::uint32_t mask = XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
  std::vector<std::uint32_t> values;
  if (!none) {
    mask |= XCB_CW_BACK_PIXEL;
    values.push_back(pixel);
  }
  values.insert(values.end(), {0u, popup ? 1u : 0u, XCB_EVENT_MASK_EXPOSURE});
  if (o.argb) {
    xcb_colormap_t map = xcb_generate_id(c);
    xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, map, screen->root, visual);
    mask |= XCB_CW_COLORMAP;
    values.push_back(map);
  }
  xcb_create_window(c, depth, w, parent, static_cast<std::int16_t>(g.x), static_cast<std::int16_t>(g.y),
                    static_cast<std::uint16_t>(g.width), static_cast<std::uint16_t>(g.height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, visual, mask, values.data());
  if (!o.noClass) {
    std::string cls = o.instance > 0 ? std::string(o.instance, 'i') : "fixture";
    cls.push_back('\0');
    cls += wmClass;
    cls.push_back('\0');
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(cls.size()), cls.data());
  }
  std::uint32_t pid = static_cast<std::uint32_t>(getpid());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  // Ask a window manager to keep the requested place and size.
  std::uint32_t hints[18] = {1 | 2, static_cast<std::uint32_t>(g.x), static_cast<std::uint32_t>(g.y),
                             static_cast<std::uint32_t>(g.width), static_cast<std::uint32_t>(g.height)};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, w, XCB_GC_FOREGROUND, &pixel);
  return {w, gc, g, pixel, o.argb ? o.margin : 0};
}

void ring(xcb_connection_t* c, const Shown& s) {
  const int w = s.geometry.width, h = s.geometry.height;
  xcb_rectangle_t band[] = {
      {0, 0, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h / 3)},
      {0, static_cast<std::int16_t>(2 * h / 3), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h - 2 * h / 3)},
      {0, static_cast<std::int16_t>(h / 3), static_cast<std::uint16_t>(w / 3), static_cast<std::uint16_t>(2 * h / 3 - h / 3)},
      {static_cast<std::int16_t>(2 * w / 3), static_cast<std::int16_t>(h / 3), static_cast<std::uint16_t>(w - 2 * w / 3),
       static_cast<std::uint16_t>(2 * h / 3 - h / 3)}};
  xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, s.window, 0, 0, 4, band);
}

void paint(xcb_connection_t* c, const Shown& s) {
  xcb_rectangle_t r{0, 0, static_cast<std::uint16_t>(s.geometry.width), static_cast<std::uint16_t>(s.geometry.height)};
  if (s.margin > 0) {
    const std::uint32_t clear = 0;
    xcb_change_gc(c, s.gc, XCB_GC_FOREGROUND, &clear);
    xcb_poly_fill_rectangle(c, s.window, s.gc, 1, &r);
    xcb_change_gc(c, s.gc, XCB_GC_FOREGROUND, &s.pixel);
    r = {static_cast<std::int16_t>(s.margin), static_cast<std::int16_t>(s.margin),
         static_cast<std::uint16_t>(s.geometry.width - 2 * s.margin),
         static_cast<std::uint16_t>(s.geometry.height - 2 * s.margin)};
  }
  xcb_poly_fill_rectangle(c, s.window, s.gc, 1, &r);
}

pid_t spawnChild(const char* self, const char* cls, const char* colour, const std::string& geometry, bool tcp) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // the application's helpers end with it
  if (tcp) {
    const char* display = std::getenv("DISPLAY");
    std::string remote = std::string("127.0.0.1") + (display ? std::strchr(display, ':') : ":0");
    setenv("DISPLAY", remote.c_str(), 1);
  }
  std::vector<const char*> args{self, cls, colour, geometry.c_str()};
  if (tcp) args.push_back("--no-class");
  args.push_back(nullptr);
  execv(self, const_cast<char* const*>(args.data()));
  _exit(127);
}

// The helper outlives the middle process, so it ends with the application's
// standard input instead, which it shares.
void spawnDetached(const char* self, const char* colour, const std::string& geometry) {
  const pid_t middle = fork();
  if (middle != 0) {
    waitpid(middle, nullptr, 0);
    return;
  }
  if (fork() != 0) _exit(0);
  while (getppid() == middle) usleep(1000);  // its windows open once it left the tree
  execl(self, self, "helper", colour, geometry.c_str(), "--no-class", nullptr);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  int first = 4;
  bool popup = argc >= 7 && std::strcmp(argv[4], "popup") == 0;
  if (popup) first = 7;
  Options o;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* prefix) { return a.substr(std::strlen(prefix)); };
    if (a == "--no-background") o.noBackground = true;
    else if (a == "--never-paint") o.neverPaint = true;
    else if (a == "--storm") o.storm = true;
    else if (a == "--argb") o.argb = true;
    else if (a == "--unmapped") o.unmapped = true;
    else if (a == "--ring") o.ring = true;
    else if (a == "--no-class") o.noClass = true;
    else if (a == "--late-popup") o.latePopup = true;
    else if (a == "--cursor") o.cursor = true;
    else if (a.rfind("--frame=", 0) == 0) o.frame = std::stoi(value("--frame="));
    else if (a.rfind("--margin=", 0) == 0) o.margin = std::stoi(value("--margin="));
    else if (a.rfind("--nest=", 0) == 0) o.nest = std::stoi(value("--nest="));
    else if (a.rfind("--embed=", 0) == 0) o.embed = static_cast<xcb_window_t>(std::stoul(value("--embed=")));
    else if (a.rfind("--flip=", 0) == 0) o.flip = static_cast<xcb_window_t>(std::stoul(value("--flip=")));
    else if (a.rfind("--child=", 0) == 0) o.children.push_back(value("--child="));
    else if (a.rfind("--blink=", 0) == 0) o.blink = parse(value("--blink=").c_str());
    else if (a.rfind("--tcp-child=", 0) == 0) o.tcpChildren.push_back(value("--tcp-child="));
    else if (a.rfind("--detached-child=", 0) == 0) o.detached.push_back(value("--detached-child="));
    else if (a.rfind("--instance=", 0) == 0) o.instance = std::stoul(value("--instance="));
    else if (a.rfind("--own=", 0) == 0) o.own = value("--own=");
    else return 2;
  }
  if (!o.detached.empty()) setpgid(0, 0);
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const auto colour = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16));
  std::vector<Shown> shown;
  std::optional<Shown> frame;
  if (o.frame > 0) {
    // As a reparenting window manager's frame, but override-redirect, so that
    // a real window manager leaves it alone.
    Geometry g = parse(argv[3]);
    g = {g.width + 2 * o.frame, g.height + 2 * o.frame, g.x - o.frame, g.y - o.frame};
    Options plain;
    frame = open(c, screen, screen->root, 0x000000, g, true, argv[1], plain);
    Geometry inside = parse(argv[3]);
    inside.x = inside.y = o.frame;
    shown.push_back(open(c, screen, frame->window, colour, inside, false, argv[1], o));
    const std::uint32_t state[] = {1, 0}, extents[] = {0, 0, 0, 0};
    const xcb_atom_t wmState = atom(c, "WM_STATE");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, shown[0].window, wmState, wmState, 32, 2, state);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, shown[0].window, atom(c, "_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 32,
                        4, extents);
    xcb_map_window(c, frame->window);
  } else {
    shown.push_back(open(c, screen, screen->root, colour, parse(argv[3]), false, argv[1], o));
  }
  std::vector<xcb_window_t> printed{shown[0].window};
  if (o.ring) ring(c, shown[0]);
  if (popup) {
    Options plain;
    plain.noClass = o.noClass;
    shown.push_back(open(c, screen, screen->root, static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 16)),
                         parse(argv[6]), true, argv[1], plain));
    printed.push_back(shown.back().window);
  }
  Options inner;
  inner.noClass = o.noClass;
  for (int level = 1; level <= o.nest; ++level) {
    const Geometry& outer = shown.back().geometry;
    shown.push_back(open(c, screen, shown.back().window, colour, {outer.width - 20, outer.height - 20, 10, 10}, false,
                         argv[1], inner));
    if (level == o.nest) printed.push_back(shown.back().window);
  }
  if (o.embed != 0 || o.flip != 0) {
    shown.push_back(open(c, screen, o.embed != 0 ? o.embed : o.flip, colour, {80, 60, 10, 10}, false, argv[1], inner));
    printed.push_back(shown.back().window);
  }
  xcb_cursor_t cursor = XCB_NONE;
  if (o.cursor) {
    xcb_pixmap_t bits = xcb_generate_id(c);
    xcb_create_pixmap(c, 1, bits, screen->root, 64, 64);
    xcb_gcontext_t one = xcb_generate_id(c);
    const std::uint32_t foreground = 1;
    xcb_create_gc(c, one, bits, XCB_GC_FOREGROUND, &foreground);
    const xcb_rectangle_t all{0, 0, 64, 64};
    xcb_poly_fill_rectangle(c, bits, one, 1, &all);
    cursor = xcb_generate_id(c);
    auto channel = [&](int shift) { return static_cast<std::uint16_t>(((colour >> shift) & 0xFF) * 257); };
    xcb_create_cursor(c, cursor, bits, bits, channel(16), channel(8), channel(0), 0, 0, 0, 32, 32);
    xcb_change_window_attributes(c, shown[0].window, XCB_CW_CURSOR, &cursor);
  }
  if (!o.own.empty()) xcb_set_selection_owner(c, shown[0].window, atom(c, o.own.c_str()), XCB_CURRENT_TIME);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (i == 0 ? !o.unmapped : !(popup && i == 1 && o.latePopup)) xcb_map_window(c, shown[i].window);
  }
  xcb_flush(c);
  if (!o.neverPaint) {
    for (const auto& s : shown) paint(c, s);
    if (frame) paint(c, *frame);
  }
  xcb_flush(c);
  // Round trip so the windows exist before anyone reads the ids.
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  for (xcb_window_t w : printed) std::printf("%u\n", w);
  std::fflush(stdout);
  for (const auto& g : o.children) spawnChild(argv[0], argv[1], argv[2], g, false);
  for (const auto& g : o.tcpChildren) spawnChild(argv[0], argv[1], argv[2], g, true);
  for (const auto& g : o.detached) spawnDetached(argv[0], argv[2], g);

  pollfd fds[2] = {{0, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
  bool onRoot = false, lit = false;
  const auto popupTime = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  auto nextFlip = std::chrono::steady_clock::now();
  for (;;) {
    if (popup && o.latePopup && std::chrono::steady_clock::now() > popupTime) {
      o.latePopup = false;
      xcb_map_window(c, shown[1].window);
      xcb_flush(c);
    }
    if (poll(fds, 2, o.flip != 0 ? 25 : o.blink ? 40 : 100) < 0) break;
    if (fds[0].revents != 0) {
      char buffer[64];
      const ssize_t n = read(0, buffer, sizeof buffer);
      if (n <= 0) break;
      if (cursor != XCB_NONE && std::memchr(buffer, 'g', static_cast<std::size_t>(n)) != nullptr) {
        free(xcb_grab_pointer_reply(c,
                                    xcb_grab_pointer(c, 0, shown[0].window, 0, XCB_GRAB_MODE_ASYNC,
                                                     XCB_GRAB_MODE_ASYNC, XCB_NONE, cursor, XCB_CURRENT_TIME),
                                    nullptr));
      }
    }
    if (o.flip != 0 && (o.storm || std::chrono::steady_clock::now() >= nextFlip)) {
      nextFlip = std::chrono::steady_clock::now() + std::chrono::milliseconds(25);
      onRoot = !onRoot;
      xcb_reparent_window(c, shown.back().window, onRoot ? screen->root : o.flip, onRoot ? 200 : 10, 10);
      xcb_flush(c);
    }
    if (o.blink) {
      // Alternates between the window's colour halved and quartered.
      lit = !lit;
      const std::uint32_t shade =
          pixelOf(screen, screen->root_visual, screen->root_depth, (colour >> (lit ? 1 : 2)) & 0x7F7F7F);
      xcb_change_gc(c, shown[0].gc, XCB_GC_FOREGROUND, &shade);
      xcb_rectangle_t r{static_cast<std::int16_t>(o.blink->x), static_cast<std::int16_t>(o.blink->y),
                        static_cast<std::uint16_t>(o.blink->width), static_cast<std::uint16_t>(o.blink->height)};
      xcb_poly_fill_rectangle(c, shown[0].window, shown[0].gc, 1, &r);
      xcb_change_gc(c, shown[0].gc, XCB_GC_FOREGROUND, &shown[0].pixel);
      xcb_flush(c);
    }
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      if ((event->response_type & 0x7f) == XCB_EXPOSE && !o.neverPaint) {
        for (const auto& s : shown) paint(c, s);
        if (frame) paint(c, *frame);
        xcb_flush(c);
      }
      free(event);
    }
    if (xcb_connection_has_error(c)) break;
  }
  xcb_disconnect(c);
  return 0;
}
