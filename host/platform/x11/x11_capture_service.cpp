#include "platform/x11/x11_capture_service.h"

#include <algorithm>

#include <asio/post.hpp>

#include "platform/x11/application_windows.h"
#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share {

using x11::XcbConnection;

X11CaptureService::X11CaptureService(std::string displayName) : displayName_(std::move(displayName)) {}

ContentResult X11CaptureService::queryShareableContent(bool onScreenWindowsOnly) const {
  ErrorValue error;
  auto x = XcbConnection::open(displayName_.empty() ? nullptr : displayName_.c_str(), error);
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

void X11CaptureService::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  // X has no desktop-icon windows of its own, so the first flag changes nothing.
  asio::post(backgroundPool(), [this, onScreenWindowsOnly, completion = std::move(completion)] {
    completion(queryShareableContent(onScreenWindowsOnly));
  });
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                             const StreamConfiguration& configuration,
                                                             std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<x11::X11CaptureStream>(displayName_, filter, configuration, std::move(delegate));
}

std::int64_t X11CaptureService::displayPixelsWide(std::uint32_t displayID) {
  ErrorValue error;
  auto x = XcbConnection::open(displayName_.empty() ? nullptr : displayName_.c_str(), error);
  if (!x) return 0;
  for (const auto& m : x11::listMonitors(*x)) {
    if (m.id == displayID) return m.width;
  }
  return 0;
}

}  // namespace tavrino::share
