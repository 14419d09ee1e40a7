// GIO before Qt: Qt's `signals` keyword would break GIO's headers.
#include <gio/gdesktopappinfo.h>

#include "window/google_chrome.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <utility>

namespace tavrino::setup {

namespace {

// What travels through GIO's callback: handed over as a raw pointer and taken
// back into ownership when the callback arrives.
struct PendingOpen {
  QPointer<QObject> context;
  std::function<void(bool failed)> reported;
};

// GIO may answer on any thread it likes; the answer always moves over to the
// main thread before anything is touched.
void deliver(std::unique_ptr<PendingOpen> pending, bool failed) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [pending = std::shared_ptr<PendingOpen>(std::move(pending)), failed] {
        if (pending->context) pending->reported(failed);
      },
      Qt::QueuedConnection);
}

void launched(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingOpen> pending(static_cast<PendingOpen*>(data));
  GError* error = nullptr;
  bool ok = g_app_info_launch_uris_finish(G_APP_INFO(source), result, &error);
  if (error) g_error_free(error);
  deliver(std::move(pending), !ok);
}

// GIO answers asynchronous launches through the GLib main context, which only
// runs when Qt's event loop is GLib's.
bool mainLoopRunsGlib() {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread());
  return dispatcher && QByteArray(dispatcher->metaObject()->className()).contains("Glib");
}

}  // namespace

std::optional<GoogleChrome> GoogleChrome::find() {
  GDesktopAppInfo* app = g_desktop_app_info_new("google-chrome.desktop");
  if (!app) return std::nullopt;
  return GoogleChrome(std::shared_ptr<_GDesktopAppInfo>(app, [](GDesktopAppInfo* a) { g_object_unref(a); }));
}

void GoogleChrome::open(const QUrl& url, QObject* context, std::function<void(bool failed)> reported) const {
  QByteArray uri = url.toEncoded();
  GList uris{};
  uris.data = uri.data();
  auto pending = std::make_unique<PendingOpen>(PendingOpen{context, std::move(reported)});
  if (mainLoopRunsGlib()) {
    g_app_info_launch_uris_async(G_APP_INFO(app_.get()), &uris, nullptr, nullptr, launched, pending.release());
    return;
  }
  GError* error = nullptr;
  bool ok = g_app_info_launch_uris(G_APP_INFO(app_.get()), &uris, nullptr, &error);
  if (error) g_error_free(error);
  deliver(std::move(pending), !ok);
}

}  // namespace tavrino::setup
