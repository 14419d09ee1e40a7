#include "platform/x11/monitor_watch.h"

#include <cstdlib>
#include <utility>

#include <xcb/randr.h>

namespace tavrino::share::x11 {

std::unique_ptr<MonitorWatch> MonitorWatch::open(const char* displayName, const MonitorInfo& shared,
                                                 ErrorValue& error) {
  std::optional<XcbConnection> x = XcbConnection::open(displayName, error);
  if (!x) return nullptr;
  const std::uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(x->get(), x->root(), XCB_CW_EVENT_MASK, &rootEvents);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x->get(), &xcb_randr_id);
  if (randr != nullptr && randr->present) {
    // The server sends the events of the version the client says it knows.
    std::free(xcb_randr_query_version_reply(x->get(), xcb_randr_query_version(x->get(), 1, 5), nullptr));
    xcb_randr_select_input(x->get(), x->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  xcb_flush(x->get());
  return std::make_unique<MonitorWatch>(Private{}, std::move(*x), shared);
}

MonitorWatch::Change MonitorWatch::poll() {
  // The first call compares with the listing the capture started from: a
  // change before the selection above reported nothing.
  bool reported = std::exchange(unchecked_, false);
  while (xcb_generic_event_t* event = xcb_poll_for_event(x_.get())) {
    reported = true;
    std::free(event);
  }
  // A lost connection is the capture's own connection's to report.
  if (!reported || x_.broken()) return Change::none;
  for (const MonitorInfo& m : listMonitors(x_)) {
    if (m.id != shared_.id) continue;
    if (m.width != shared_.width || m.height != shared_.height) return Change::lost;
    if (m.x == shared_.x && m.y == shared_.y) return Change::none;
    shared_ = m;
    return Change::moved;
  }
  return Change::lost;
}

}  // namespace tavrino::share::x11
