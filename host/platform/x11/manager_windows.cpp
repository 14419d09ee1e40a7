#include "platform/x11/manager_windows.h"

#include <string>

#include <xcb/res.h>
#include <xcb/xfixes.h>

namespace tavrino::share::x11 {

namespace {

int screenNumber(const XcbConnection& x) {
  int n = 0;
  for (auto it = xcb_setup_roots_iterator(xcb_get_setup(x.get())); it.rem > 0; xcb_screen_next(&it), ++n) {
    if (it.data->root == x.root()) return n;
  }
  return 0;
}

constexpr std::uint32_t kSelectionEvents = XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                           XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                           XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE;

}  // namespace

ManagerWindows::ManagerWindows(const XcbConnection& x) : x_(x) {
  const std::string screen = std::to_string(screenNumber(x));
  windowManager_.selection = x.atom(("WM_S" + screen).c_str(), true);
  compositor_.selection = x.atom(("_NET_WM_CM_S" + screen).c_str(), true);
  const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(x.get(), &xcb_xfixes_id);
  if (fixes != nullptr && fixes->present) {
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 2, 0), nullptr));
    if (version) {
      selectionEvent_ = fixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
      for (const Manager* m : {&windowManager_, &compositor_}) {
        xcb_xfixes_select_selection_input(x.get(), x.root(), m->selection, kSelectionEvents);
      }
    }
  }
  refresh();
}

bool ManagerWindows::onEvent(const xcb_generic_event_t* event) {
  if (selectionEvent_ == 0 || (event->response_type & 0x7f) != selectionEvent_) return false;
  auto* e = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
  for (Manager* m : {&windowManager_, &compositor_}) {
    if (e->selection != m->selection) continue;
    m->owner = e->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER ? e->owner : xcb_window_t{XCB_WINDOW_NONE};
    m->known = false;
  }
  return true;
}

bool ManagerWindows::refresh() {
  xcb_connection_t* c = x_.get();
  bool read = false;
  for (Manager* m : {&windowManager_, &compositor_}) {
    if (m->known && selectionEvent_ != 0) continue;
    read = true;
    // The owner read after the events were asked for: later changes are reported.
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, m->selection), nullptr));
    m->owner = owner ? owner->owner : xcb_window_t{XCB_WINDOW_NONE};
    m->client = 0;
    m->known = true;
    if (m->owner == XCB_WINDOW_NONE) continue;
    xcb_res_client_id_spec_t spec{m->owner, XCB_RES_CLIENT_ID_MASK_CLIENT_XID};
    Reply<xcb_res_query_client_ids_reply_t> ids(
        xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &spec), nullptr));
    if (!ids) continue;
    for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
      if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_CLIENT_XID) != 0) m->client = it.data->spec.client;
    }
  }
  return read;
}

bool ManagerWindows::owns(const Manager& m, const WindowNode& n) const {
  return m.owner != XCB_WINDOW_NONE && m.client != 0 && n.client == m.client;
}

void ManagerWindows::exclude(const WindowTree& tree, ExclusionDecision& decision) const {
  const bool protecting = !decision.protectedWindows.empty();
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr || !top->probed) continue;
    bool out = top->ownerless;
    if (!out && protecting && (owns(windowManager_, *top) || owns(compositor_, *top))) {
      out = true;
      for (const WindowNode* n : tree.subtree(*top)) out = out && !n->hasWmState;
    }
    if (out) decision.excludedTopLevels.insert(id);
  }
}

}  // namespace tavrino::share::x11
