#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// Follows the RandR monitor one capture shares, on a connection of its own
// so that the capture's event handling stays as it is. The server reports
// monitor changes as RandR screen, CRTC and output changes and as a new
// configuration of the root window; each sends it to the monitor list again.
class MonitorWatch {
 public:
  static std::unique_ptr<MonitorWatch> open(const char* displayName, const MonitorInfo& shared, ErrorValue& error);

  enum class Change {
    none,
    moved,  // the same size elsewhere: monitor() tells where
    lost    // removed, or resized: the picture the user chose is gone
  };
  // What the server reported since the last call; never waits.
  Change poll();
  const MonitorInfo& monitor() const { return shared_; }

  struct Private {};
  MonitorWatch(Private, XcbConnection x, const MonitorInfo& shared) : x_(std::move(x)), shared_(shared) {}

 private:
  XcbConnection x_;
  MonitorInfo shared_;
  bool unchecked_ = true;
};

}  // namespace tavrino::share::x11
