#include "platform/x11/watched_desktop.h"

#include <cstring>
#include <utility>

#include <xcb/composite.h>

namespace tavrino::share::x11 {

namespace {
// A compositing manager redirected the windows before this capture did, at
// times nobody can tell, so any window may hold old copies of the screen.
bool compositingManagerRuns(const XcbConnection& x) {
  xcb_atom_t selection = x.atom("_NET_WM_CM_S0");
  if (selection == XCB_ATOM_NONE) return false;
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(x.get(), xcb_get_selection_owner(x.get(), selection), nullptr));
  return owner && owner->owner != XCB_WINDOW_NONE;
}
}  // namespace

WatchedDesktop::WatchedDesktop(Private, const XcbConnection& x, ExclusionRule rule)
    : x_(x), tree_(x, true), exclusion_(std::move(rule)), seeds_(x, exclusion_.active()),
      familiesRead_(std::chrono::steady_clock::now()), wallpaperAtom_(x.atom("_XROOTPMAP_ID", true)) {}

std::unique_ptr<WatchedDesktop> WatchedDesktop::create(const XcbConnection& x, ExclusionRule rule, ErrorValue& error) {
  auto desktop = std::make_unique<WatchedDesktop>(Private{}, x, std::move(rule));
  if (!desktop->seeds_.available()) {
    error = x11Error(8, "Protected sharing needs the X Damage extension, which this display lacks.");
    return nullptr;
  }
  desktop->drain();
  desktop->tree_.probePending();
  desktop->decision_ = desktop->exclusion_.classify(desktop->tree_);
  const bool compositing = compositingManagerRuns(x);
  if (compositing) {
    // The compositing manager paints the whole screen, protected windows
    // included, into this window; it exists already, so asking for it shows
    // nothing new, and the manager keeps it after we let go.
    Reply<xcb_composite_get_overlay_window_reply_t> overlay(xcb_composite_get_overlay_window_reply(
        x.get(), xcb_composite_get_overlay_window(x.get(), x.root()), nullptr));
    if (overlay) desktop->overlay_ = overlay->overlay_win;
    xcb_composite_release_overlay_window(x.get(), x.root());
  }
  desktop->decision_.excludedTopLevels.insert(desktop->overlay_);
  desktop->seeds_.taintAtStart(desktop->tree_, desktop->decision_, compositing);
  desktop->prepare();
  return desktop;
}

bool WatchedDesktop::drain() {
  bool changed = false;
  // One read from the socket, then only what it brought: a client drawing
  // without pause cannot keep this loop going, and every event sent before
  // a reply the caller waited for is already queued.
  for (xcb_generic_event_t* event = xcb_poll_for_event(x_.get()); event != nullptr;
       event = xcb_poll_for_queued_event(x_.get())) {
    if (seeds_.onDamage(event, tree_, drawn_)) {
      touched_ = true;
    } else {
      seeds_.beforeEvent(event, tree_, decision_);
      const WindowTree::Change change = tree_.apply(event);
      changed = change == WindowTree::Change::structure || changed;
      touched_ = touched_ || change != WindowTree::Change::none;
      if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
        auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        if (e->window == x_.root() && e->atom == wallpaperAtom_ && wallpaperAtom_ != XCB_ATOM_NONE) {
          touched_ = true;
          drawn_.add(Rect{0, 0, x_.screen().width_in_pixels, x_.screen().height_in_pixels});
        }
      }
    }
    std::free(event);
  }
  return changed;
}

Region WatchedDesktop::takeDrawn() {
  touched_ = false;
  return std::exchange(drawn_, Region{});
}

void WatchedDesktop::prepare() {
  const auto now = std::chrono::steady_clock::now();
  // New windows may come from new processes, whose ids may have been an
  // outsider's a moment ago.
  if (tree_.hasPending() || now - familiesRead_ > std::chrono::seconds(1)) {
    exclusion_.refreshFamilies();
    familiesRead_ = now;
  }
  tree_.probePending();
  decision_ = exclusion_.classify(tree_);
  decision_.excludedTopLevels.insert(overlay_);
  seeds_.sync(tree_);
  xcb_flush(x_.get());
}

}  // namespace tavrino::share::x11
