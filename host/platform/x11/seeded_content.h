#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <xcb/damage.h>

#include "platform/x11/exclusion_rule.h"
#include "platform/x11/region.h"
#include "platform/x11/window_tree.h"

namespace tavrino::share::x11 {

// Keeps track of the parts of shown top-levels that may hold protected
// pixels their own client never drew:
// - content the server copies from the screen into a window's off-screen
//   image when it is redirected, mapped, resized or reparented to the root;
// - what a protected window nested in another application's window leaves
//   behind in that window's image when it is unmapped, moved or taken out.
// Such a part ("taint") is filled with a neutral colour until the window's
// client has drawn over it. Damage reports that drawing, but it reports the
// server's own copying as well, right after the structure event that caused
// it; so a taint only counts damage the server generated after it processed
// a request sent once the taint was known (events carry the sequence number
// of our last processed request). The guard then asks the clients to repaint
// (an expose of the tainted area): a window that never repaints stays filled.
class SeedGuard {
 public:
  SeedGuard(const XcbConnection& x, bool active);
  // Without Damage no repaint can be seen: the capture must not run.
  bool available() const { return damageEvent_ != 0; }

  // At capture start: the redirection has just copied the screen into every
  // top-level; with wholeWindows (another compositor redirected them
  // earlier, at times unknown) every top-level is tainted whole.
  void taintAtStart(const WindowTree& tree, const ExclusionDecision& decision, bool wholeWindows);
  // Before the tree applies an event, while it still shows the old state.
  void beforeEvent(const xcb_generic_event_t* event, const WindowTree& tree, const ExclusionDecision& decision);
  // Whether the event was a damage report (then it is handled here, and
  // the area drawn is added to drawn, in root coordinates).
  bool onDamage(const xcb_generic_event_t* event, const WindowTree& tree, Region& drawn);
  // Follows the tree's top-levels, arms new taints and asks for repaints.
  void sync(const WindowTree& tree);

  // The tainted part of a top-level, in its outer coordinates.
  Region tainted(xcb_window_t topLevel) const;
  // Grows whenever a tainted part may have changed.
  std::uint64_t generation() const { return generation_; }

 private:
  // A window's taint: the part known when we last asked for repaints, which
  // only damage after `since` clears, and what became tainted since then.
  // Asking again restarts the whole, so a window changing all the time keeps
  // one region, not a growing list.
  struct Tracked {
    xcb_damage_damage_t damage = 0;
    Region armed;
    std::uint32_t since = 0;  // sequence of the request after which repaints count
    Region pending;
  };
  void taint(xcb_window_t topLevel, Region area);
  void taintLeftBehind(const WindowTree& tree, const WindowNode& moving, const ExclusionDecision& decision);
  void leftBehind(const WindowTree& tree, const ExclusionDecision& decision, xcb_window_t parent, xcb_window_t window);
  Region seedable(const WindowTree& tree, const ExclusionDecision& decision, Rect onRoot) const;

  const XcbConnection& x_;
  bool active_;
  std::uint8_t damageEvent_ = 0;
  std::unordered_map<xcb_window_t, Tracked> tracked_;
  std::uint64_t generation_ = 0;
  // Windows that protected windows went into before they were known, with
  // the number of syncs they have stayed unknown.
  std::unordered_map<xcb_window_t, int> unknownHomes_;
  static constexpr int kUnknownHomeSyncs = 8;
  // Beyond this many rectangles, what was drawn counts as its bounding box.
  static constexpr std::size_t kMostDrawnRects = 32;
};

}  // namespace tavrino::share::x11
