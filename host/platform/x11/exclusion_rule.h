#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/x11/process_family.h"
#include "platform/x11/region.h"
#include "platform/x11/window_tree.h"

namespace tavrino::share::x11 {

// What the capture keeps out of the picture, as the content filter names it.
struct ExclusionRule {
  std::vector<std::int32_t> pids;      // main processes of the excluded applications
  std::vector<std::string> classes;    // their WM_CLASS classes
  std::vector<xcb_window_t> windows;   // excluded windows
  std::vector<xcb_window_t> excepted;  // windows that stay in although they match

  bool empty() const { return pids.empty() && classes.empty() && windows.empty(); }
};

struct ExclusionDecision {
  // Top-levels left out whole: a protected window is, or is a client window
  // in, the top-level (so a window manager's frame leaves with its client).
  std::unordered_set<xcb_window_t> excludedTopLevels;
  // Every protected window at any depth; inside a top-level that is shown,
  // its area is filled instead.
  std::unordered_set<xcb_window_t> protectedWindows;
};

// Decides, window by window, what belongs to the excluded applications. An
// application is its main process with all its descendants, plus every
// window that names itself part of it: its WM_CLASS class, transient for,
// grouped with or led by one of its windows, or a _NET_WM_PID of the
// family. Anything not yet known about counts as protected.
class Exclusion {
 public:
  explicit Exclusion(ExclusionRule rule);

  bool active() const { return !rule_.empty(); }
  ExclusionDecision classify(const WindowTree& tree);
  // Picks up processes the families have started since the last call.
  void refreshFamilies();
  // Where protected pixels are on the screen (root coordinates).
  static Region protectedArea(const WindowTree& tree, const ExclusionDecision& decision);

 private:
  bool protectedByItself(const WindowNode& n);

  ExclusionRule rule_;
  std::vector<ProcessFamily> families_;
};

}  // namespace tavrino::share::x11
