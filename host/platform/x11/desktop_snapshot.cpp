#include "platform/x11/desktop_snapshot.h"

#include <xcb/randr.h>
#include <xcb/res.h>

namespace tavrino::share::x11 {

bool hasResourceExtension(const XcbConnection& x) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.get(), &xcb_res_id);
  return data != nullptr && data->present;
}

std::vector<MonitorInfo> listMonitors(const XcbConnection& x) {
  std::vector<MonitorInfo> monitors;
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.get(), &xcb_randr_id);
  if (randr != nullptr && randr->present) {
    auto cookie = xcb_randr_get_monitors(x.get(), x.root(), 1);
    Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(x.get(), cookie, nullptr));
    if (reply) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        if (m->width == 0 || m->height == 0) continue;
        // An output id is stable while the monitor stays plugged in; the
        // name atom serves for monitors without outputs.
        std::uint32_t id = m->nOutput > 0 ? xcb_randr_monitor_info_outputs(m)[0] : m->name;
        monitors.push_back({id, m->x, m->y, m->width, m->height});
      }
    }
  }
  if (monitors.empty()) {
    const xcb_screen_t& s = x.screen();
    monitors.push_back({static_cast<std::uint32_t>(x.root()), 0, 0, s.width_in_pixels,
                        s.height_in_pixels});
  }
  return monitors;
}

}  // namespace tavrino::share::x11
