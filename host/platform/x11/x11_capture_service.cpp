#include "platform/x11/x11_capture_service.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/x11/application_windows.h"
#include "platform/x11/desktop_session.h"
#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share {

using x11::XcbConnection;

struct X11CaptureService::Queries {
  std::mutex mutex;
  bool abandoned = false;
  std::uint64_t nextTicket = 0;
  std::map<std::uint64_t, ContentCompletion> waiting;
  std::map<std::uint32_t, std::int64_t> pixelsWide;  // by display, from the latest answer

  // Completions run under the lock, so that abandonQueries either finds one
  // still waiting or returns after it has run.
  void answer(std::uint64_t ticket, ContentResult result) {
    std::lock_guard lock(mutex);
    if (const auto* content = std::get_if<ShareableContent>(&result)) {
      pixelsWide.clear();
      for (const Display& display : content->displays) pixelsWide[display.displayID] = display.width;
    }
    const auto it = waiting.find(ticket);
    if (it == waiting.end()) return;
    const ContentCompletion completion = std::move(it->second);
    waiting.erase(it);
    completion(std::move(result));
  }
};

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

}  // namespace

X11CaptureService::X11CaptureService(std::string displayName)
    : displayName_(std::move(displayName)), queries_(std::make_shared<Queries>()) {}

ContentResult X11CaptureService::queryShareableContent(bool onScreenWindowsOnly) const {
  ErrorValue error;
  auto x = connect(displayName_, error);
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

void X11CaptureService::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  // X has no desktop-icon windows of its own, so the first flag changes nothing.
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(queries_->mutex);
    if (queries_->abandoned) return;
    ticket = queries_->nextTicket++;
    queries_->waiting.emplace(ticket, std::move(completion));
  }
  // A thread of its own: a server that is slow or has stopped answering must
  // hold up neither the queues that carry frames nor the end of the program,
  // so the thread is never waited for and shares nothing with this object.
  std::thread([displayName = displayName_, queries = queries_, ticket, onScreenWindowsOnly] {
    queries->answer(ticket, X11CaptureService(displayName).queryShareableContent(onScreenWindowsOnly));
  }).detach();
}

void X11CaptureService::abandonQueries() {
  std::map<std::uint64_t, ContentCompletion> released;
  {
    std::lock_guard lock(queries_->mutex);
    queries_->abandoned = true;
    released.swap(queries_->waiting);
  }
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                             const StreamConfiguration& configuration,
                                                             std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<x11::X11CaptureStream>(displayName_, filter, configuration, std::move(delegate));
}

std::int64_t X11CaptureService::displayPixelsWide(std::uint32_t displayID) {
  std::lock_guard lock(queries_->mutex);
  const auto it = queries_->pixelsWide.find(displayID);
  return it == queries_->pixelsWide.end() ? 0 : it->second;
}

}  // namespace tavrino::share
