#pragma once

#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

struct _GDesktopAppInfo;

namespace tavrino::setup {

// Google Chrome as the desktop knows it: its "google-chrome.desktop" entry.
class GoogleChrome {
 public:
  // Absent when no such desktop entry is installed.
  static std::optional<GoogleChrome> find();

  // Starts opening `url` in Chrome without waiting. Once the launch has
  // reported back, `reported(failed)` runs on the main thread, unless
  // `context` is gone by then.
  void open(const QUrl& url, QObject* context, std::function<void(bool failed)> reported) const;

 private:
  explicit GoogleChrome(std::shared_ptr<_GDesktopAppInfo> app) : app_(std::move(app)) {}

  std::shared_ptr<_GDesktopAppInfo> app_;
};

}  // namespace tavrino::setup
