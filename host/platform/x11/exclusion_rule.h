#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/desktop_snapshot.h"

namespace tavrino::share::x11 {

// Decides which top-level windows never reach the stream. It errs on the
// side of leaving a window out: any window of an excluded process anywhere
// in a top-level's subtree (a window-manager frame, a popup, a tooltip)
// removes the whole top-level.
struct ExclusionRule {
  std::vector<std::int32_t> pids;      // processes of the excluded applications
  std::vector<std::string> classes;    // their WM_CLASS, for windows whose owner is unknown
  std::vector<xcb_window_t> windows;   // excluded windows
  std::vector<xcb_window_t> excepted;  // windows of excluded applications that stay in

  bool empty() const { return pids.empty() && classes.empty() && windows.empty(); }

  bool excludes(const TopLevelWindow& w) const {
    for (xcb_window_t id : w.subtree) {
      if (std::find(excepted.begin(), excepted.end(), id) != excepted.end()) return false;
    }
    for (xcb_window_t id : w.subtree) {
      if (std::find(windows.begin(), windows.end(), id) != windows.end()) return true;
    }
    for (std::int32_t pid : w.pids) {
      if (pid != 0 && std::find(pids.begin(), pids.end(), pid) != pids.end()) return true;
    }
    const bool ownerUnknown = std::find(w.pids.begin(), w.pids.end(), 0) != w.pids.end();
    if (ownerUnknown && w.wmClass &&
        std::find(classes.begin(), classes.end(), *w.wmClass) != classes.end()) {
      return true;
    }
    return false;
  }
};

}  // namespace tavrino::share::x11
