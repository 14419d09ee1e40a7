#include "platform/x11/watched_desktop.h"

#include <cstring>
#include <utility>

namespace tavrino::share::x11 {

WatchedDesktop::WatchedDesktop(Private, const XcbConnection& x, ExclusionRule rule)
    : x_(x), tree_(x, true), exclusion_(std::move(rule)), seeds_(x, exclusion_.active()),
      managers_(x), familiesRead_(std::chrono::steady_clock::now()), wallpaperAtom_(x.atom("_XROOTPMAP_ID", true)) {}

std::unique_ptr<WatchedDesktop> WatchedDesktop::create(const XcbConnection& x, ExclusionRule rule, ErrorValue& error) {
  auto desktop = std::make_unique<WatchedDesktop>(Private{}, x, std::move(rule));
  if (!desktop->seeds_.available()) {
    error = x11Error(8, "Protected sharing needs the X Damage extension, which this display lacks.");
    return nullptr;
  }
  desktop->drain();
  desktop->tree_.probePending();
  desktop->decision_ = desktop->exclusion_.classify(desktop->tree_);
  desktop->managers_.exclude(desktop->tree_, desktop->decision_);
  // A compositing manager redirected the windows before this capture did, at
  // times nobody can tell, so any window may hold old copies of the screen.
  desktop->seeds_.taintAtStart(desktop->tree_, desktop->decision_, desktop->managers_.compositing());
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
    } else if (managers_.onEvent(event)) {
      changed = touched_ = true;  // which windows are the managers' may have changed
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
  bool reclassify = tree_.hasPending() || now - familiesRead_ > std::chrono::seconds(1);
  if (reclassify) {
    exclusion_.refreshFamilies();
    familiesRead_ = now;
  }
  tree_.probePending();
  // A still desktop is not classified again at every frame: only when the
  // tree, the families or the managers may have changed.
  reclassify = managers_.refresh() || reclassify || tree_.generation() != classified_;
  bool changed = false;
  if (reclassify) {
    ExclusionDecision decision = exclusion_.classify(tree_);
    managers_.exclude(tree_, decision);
    changed = decision.excludedTopLevels != decision_.excludedTopLevels ||
              decision.protectedWindows != decision_.protectedWindows;
    decision_ = std::move(decision);
    classified_ = tree_.generation();
  }
  // New taints and new top-levels change the tree's or the seeds' generation.
  if (std::pair{tree_.generation(), seeds_.generation()} != seen_) seeds_.sync(tree_);
  const std::pair seen{tree_.generation(), seeds_.generation()};
  if (changed || seen != seen_) ++generation_;
  seen_ = seen;
  xcb_flush(x_.get());
}

}  // namespace tavrino::share::x11
