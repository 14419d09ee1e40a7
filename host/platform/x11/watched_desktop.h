#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include "platform/x11/exclusion_rule.h"
#include "platform/x11/manager_windows.h"
#include "platform/x11/seeded_content.h"
#include "platform/x11/window_tree.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// The desktop as one capture sees it, kept current from the X events on the
// capture's own connection: the window tree, which windows are protected and
// which parts of the shown windows may hold seeded pixels.
class WatchedDesktop {
 public:
  // Fails (with the reason in error) when the display cannot report what the
  // capture must know to exclude reliably.
  static std::unique_ptr<WatchedDesktop> create(const XcbConnection& x, ExclusionRule rule, ErrorValue& error);

  // Applies every event received so far; true when one of them changed what
  // a picture copied meanwhile may contain (so that copy cannot be trusted).
  bool drain();
  // Whether an event drained since the last takeDrawn() may have changed
  // the picture: drawing, windows, their places or owners, the wallpaper.
  bool touched() const { return touched_; }
  // Where windows (or the wallpaper) were drawn since the last call, in
  // root coordinates; clears touched().
  Region takeDrawn();
  // Reads new windows, classifies and asks for repaints: call before a copy.
  void prepare();

  // Grows whenever what the picture's layers are made of may have changed
  // at the last prepare(): the tree, the decision or the seeded parts.
  std::uint64_t generation() const { return generation_; }

  const WindowTree& tree() const { return tree_; }
  const ExclusionDecision& decision() const { return decision_; }
  const SeedGuard& seeds() const { return seeds_; }

  struct Private {};
  WatchedDesktop(Private, const XcbConnection& x, ExclusionRule rule);

 private:
  const XcbConnection& x_;
  WindowTree tree_;
  Exclusion exclusion_;
  SeedGuard seeds_;
  ExclusionDecision decision_;
  ManagerWindows managers_;
  std::chrono::steady_clock::time_point familiesRead_;
  xcb_atom_t wallpaperAtom_;
  bool touched_ = true;
  Region drawn_;
  std::uint64_t generation_ = 0;
  std::uint64_t classified_ = ~0ull;  // the tree's generation the decision was made from
  std::pair<std::uint64_t, std::uint64_t> seen_{~0ull, ~0ull};  // the tree's and the seeds' generations
};

}  // namespace tavrino::share::x11
