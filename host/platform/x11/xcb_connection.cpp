#include "platform/x11/xcb_connection.h"

#include <cstring>

namespace tavrino::share::x11 {

ErrorValue x11Error(std::int64_t code, std::string description) {
  return ErrorValue{"X11", code, std::move(description)};
}

std::optional<XcbConnection> XcbConnection::open(const char* displayName, ErrorValue& error) {
  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(displayName, &screenNumber));
  if (int code = xcb_connection_has_error(connection.get()); code != 0) {
    error = x11Error(code, "The desktop cannot be reached: no X display is available.");
    return std::nullopt;
  }
  auto it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    error = x11Error(1, "The desktop cannot be reached: the X display has no screen.");
    return std::nullopt;
  }
  return XcbConnection(std::move(connection), it.data);
}

xcb_atom_t XcbConnection::atom(const char* name, bool create) const {
  auto cookie = xcb_intern_atom(get(), create ? 0 : 1, static_cast<std::uint16_t>(std::strlen(name)), name);
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(get(), cookie, nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace tavrino::share::x11
