#include "platform/x11/desktop_session.h"

#include <cstdlib>
#include <cstring>

#include <xcb/randr.h>

#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {
namespace {

constexpr const char* kXwayland = "XWAYLAND";

std::vector<std::string> outputNames(const XcbConnection& x) {
  std::vector<std::string> names;
  auto cookie = xcb_randr_get_screen_resources_current(x.get(), x.root());
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(x.get(), cookie, nullptr));
  if (!resources) return names;
  const xcb_randr_output_t* outputs =
      xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < count; ++i) {
    auto info = xcb_randr_get_output_info(x.get(), outputs[i], resources->config_timestamp);
    Reply<xcb_randr_get_output_info_reply_t> reply(
        xcb_randr_get_output_info_reply(x.get(), info, nullptr));
    if (!reply) continue;
    const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get()));
    names.emplace_back(name, static_cast<std::size_t>(xcb_randr_get_output_info_name_length(reply.get())));
  }
  return names;
}

}  // namespace

std::optional<ErrorValue> refuseWaylandSession(const SessionSignals& signals) {
  bool wayland = false;
  if (signals.serverReached) {
    wayland = signals.xwaylandExtension;
    for (const auto& name : signals.outputNames) wayland = wayland || name.starts_with(kXwayland);
  } else {
    wayland = signals.sessionType == "wayland" || signals.waylandDisplay;
  }
  if (!wayland) return std::nullopt;
  return x11Error(8, kWaylandRefusal);
}

SessionSignals readSessionSignals(const XcbConnection* x) {
  SessionSignals signals;
  if (const char* type = std::getenv("XDG_SESSION_TYPE")) signals.sessionType = type;
  const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
  signals.waylandDisplay = waylandDisplay && *waylandDisplay;
  if (!x) return signals;
  signals.serverReached = true;
  auto cookie = xcb_query_extension(x->get(), static_cast<std::uint16_t>(std::strlen(kXwayland)), kXwayland);
  Reply<xcb_query_extension_reply_t> extension(xcb_query_extension_reply(x->get(), cookie, nullptr));
  signals.xwaylandExtension = extension && extension->present;
  signals.outputNames = outputNames(*x);
  return signals;
}

}  // namespace tavrino::share::x11
