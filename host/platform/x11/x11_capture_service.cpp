#include "platform/x11/x11_capture_service.h"

#include <chrono>
#include <thread>

#include "platform/x11/application_windows.h"
#include "platform/x11/desktop_session.h"
#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share {

using x11::XcbConnection;

namespace {

// An X server refuses or resets a connection now and then when another has
// just closed (a capture that ended a moment ago); a second try a little
// later gets through. A display that is not there fails all three.
std::optional<XcbConnection> connect(const std::string& displayName, ErrorValue& error) {
  for (int attempt = 0;; ++attempt) {
    auto x = XcbConnection::open(displayName.empty() ? nullptr : displayName.c_str(), error);
    if (x || attempt == 2) return x;
    std::this_thread::sleep_for(std::chrono::milliseconds(10 << attempt));
  }
}

ContentResult queryShareableContent(const std::string& displayName, bool onScreenWindowsOnly) {
  ErrorValue error;
  auto x = connect(displayName, error);
  if (auto refusal = x11::refuseWaylandSession(x11::readSessionSignals(x ? &*x : nullptr)))
    return *refusal;
  if (!x) return error;
  // Without X-Resource no window can be tied to its process, and exclusion
  // could not be trusted: refuse rather than share a picture that may leak.
  if (!x11::hasResourceExtension(*x)) {
    return x11::x11Error(4, "This X display cannot tell which application owns a window.");
  }
  ShareableContent content;
  for (const auto& m : x11::listMonitors(*x)) {
    content.displays.push_back(Display{m.id, m.width, m.height});
  }
  x11::listApplications(x11::WindowTree(*x, false), onScreenWindowsOnly, content.applications, content.windows);
  return content;
}

}  // namespace

X11CaptureService::X11CaptureService(std::string displayName)
    : displayName_(std::move(displayName)),
      queries_([displayName = displayName_](bool onScreenWindowsOnly) {
        return queryShareableContent(displayName, onScreenWindowsOnly);
      }) {}

void X11CaptureService::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  // X has no desktop-icon windows of its own, so the first flag changes nothing.
  queries_.ask(onScreenWindowsOnly, std::move(completion));
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                             const StreamConfiguration& configuration,
                                                             std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<x11::X11CaptureStream>(displayName_, filter, configuration, std::move(delegate));
}

std::int64_t X11CaptureService::displayPixelsWide(std::uint32_t displayID) {
  return queries_.pixelsWide(displayID);
}

}  // namespace tavrino::share
