#include "platform/x11/desktop_snapshot.h"

#include <algorithm>
#include <cstring>

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

namespace {

std::vector<xcb_window_t> children(const XcbConnection& x, xcb_query_tree_cookie_t cookie) {
  Reply<xcb_query_tree_reply_t> reply(xcb_query_tree_reply(x.get(), cookie, nullptr));
  if (!reply) return {};
  const xcb_window_t* first = xcb_query_tree_children(reply.get());
  return {first, first + xcb_query_tree_children_length(reply.get())};
}

std::optional<std::string> wmClassOf(xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 8) return std::nullopt;
  int length = xcb_get_property_value_length(reply);
  const char* value = static_cast<const char*>(xcb_get_property_value(reply));
  // "instance\0class\0": the class names the application.
  const char* end = value + length;
  const char* instanceEnd = std::find(value, end, '\0');
  if (instanceEnd == end) return std::nullopt;
  const char* cls = instanceEnd + 1;
  return std::string(cls, std::find(cls, end, '\0'));
}

}  // namespace

std::vector<TopLevelWindow> listTopLevelWindows(const XcbConnection& x) {
  xcb_connection_t* c = x.get();
  std::vector<xcb_window_t> tops = children(x, xcb_query_tree(c, x.root()));

  std::vector<TopLevelWindow> windows(tops.size());
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
  std::vector<xcb_get_geometry_cookie_t> geometryCookies;
  std::vector<xcb_query_tree_cookie_t> treeCookies;
  for (xcb_window_t w : tops) {
    attributeCookies.push_back(xcb_get_window_attributes(c, w));
    geometryCookies.push_back(xcb_get_geometry(c, w));
    treeCookies.push_back(xcb_query_tree(c, w));
  }
  std::vector<std::vector<xcb_window_t>> level1(tops.size());
  for (std::size_t i = 0; i < tops.size(); ++i) {
    TopLevelWindow& w = windows[i];
    w.id = tops[i];
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
    level1[i] = children(x, treeCookies[i]);
    if (!attributes || !geometry) {
      w.viewable = false;  // vanished while we looked
      continue;
    }
    w.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    w.inputOutput = attributes->_class != XCB_WINDOW_CLASS_INPUT_ONLY;
    w.depth = geometry->depth;
    w.x = geometry->x;
    w.y = geometry->y;
    w.width = geometry->width + 2 * geometry->border_width;
    w.height = geometry->height + 2 * geometry->border_width;
  }

  // Second level of the subtree, for window-manager frames.
  std::vector<std::vector<xcb_query_tree_cookie_t>> level2Cookies(tops.size());
  for (std::size_t i = 0; i < tops.size(); ++i) {
    for (xcb_window_t child : level1[i]) level2Cookies[i].push_back(xcb_query_tree(c, child));
  }
  for (std::size_t i = 0; i < tops.size(); ++i) {
    auto& subtree = windows[i].subtree;
    subtree.push_back(tops[i]);
    subtree.insert(subtree.end(), level1[i].begin(), level1[i].end());
    for (auto cookie : level2Cookies[i]) {
      auto grandchildren = children(x, cookie);
      subtree.insert(subtree.end(), grandchildren.begin(), grandchildren.end());
    }
  }

  const bool resources = hasResourceExtension(x);
  std::vector<std::vector<xcb_get_property_cookie_t>> classCookies(tops.size());
  std::vector<std::vector<xcb_res_query_client_ids_cookie_t>> pidCookies(tops.size());
  for (std::size_t i = 0; i < tops.size(); ++i) {
    for (xcb_window_t w : windows[i].subtree) {
      classCookies[i].push_back(xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256));
      if (resources) {
        xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        pidCookies[i].push_back(xcb_res_query_client_ids(c, 1, &spec));
      }
    }
  }
  for (std::size_t i = 0; i < tops.size(); ++i) {
    TopLevelWindow& w = windows[i];
    w.clientWindow = w.id;
    for (std::size_t k = 0; k < classCookies[i].size(); ++k) {
      Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, classCookies[i][k], nullptr));
      if (!w.wmClass) {
        if (auto cls = wmClassOf(reply.get())) {
          w.wmClass = std::move(cls);
          w.clientWindow = w.subtree[k];
        }
      }
    }
    for (auto cookie : pidCookies[i]) {
      Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(c, cookie, nullptr));
      std::int32_t pid = 0;
      if (reply) {
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
          if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
              xcb_res_client_id_value_value_length(it.data) >= 1) {
            pid = static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
          }
        }
      }
      if (std::find(w.pids.begin(), w.pids.end(), pid) == w.pids.end()) w.pids.push_back(pid);
    }
  }
  return windows;
}

}  // namespace tavrino::share::x11
