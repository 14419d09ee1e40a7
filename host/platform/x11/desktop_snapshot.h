#pragma once

#include <cstdint>
#include <vector>

#include <xcb/xcb.h>

#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

struct MonitorInfo {
  std::uint32_t id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Active RandR monitors; the whole screen as one monitor when RandR has none.
std::vector<MonitorInfo> listMonitors(const XcbConnection& x);

bool hasResourceExtension(const XcbConnection& x);

}  // namespace tavrino::share::x11
