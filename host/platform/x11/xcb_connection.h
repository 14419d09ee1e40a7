#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <xcb/xcb.h>

#include "platform/error_value.h"

namespace tavrino::share::x11 {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// Replies and errors from XCB are malloc'ed and owned by the caller.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One connection to the X server, with the first screen's root window.
class XcbConnection {
 public:
  // Connects to the display named by DISPLAY (or the given name).
  static std::optional<XcbConnection> open(const char* displayName, ErrorValue& error);

  XcbConnection(XcbConnection&&) noexcept = default;
  XcbConnection& operator=(XcbConnection&&) noexcept = default;

  xcb_connection_t* get() const { return connection_.get(); }
  xcb_window_t root() const { return screen_->root; }
  const xcb_screen_t& screen() const { return *screen_; }
  bool broken() const { return xcb_connection_has_error(get()) != 0; }

  // None when the atom does not exist yet, unless it is to be created.
  xcb_atom_t atom(const char* name, bool create = false) const;

 private:
  struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
  };
  XcbConnection(std::unique_ptr<xcb_connection_t, Disconnect> connection, xcb_screen_t* screen)
      : connection_(std::move(connection)), screen_(screen) {}

  std::unique_ptr<xcb_connection_t, Disconnect> connection_;
  xcb_screen_t* screen_ = nullptr;  // owned by the connection's setup data
};

// The error value every X failure of the capture service carries.
ErrorValue x11Error(std::int64_t code, std::string description);

}  // namespace tavrino::share::x11
