#include "flow/background_install.h"

#include <QCoreApplication>
#include <QPromise>
#include <QThread>
#include <QThreadPool>

#include <exception>
#include <memory>
#include <utility>

#include "installer/setup_error.h"

namespace tavrino::setup {

namespace {

QThreadPool& installPool() {
  static QThreadPool pool;
  static const bool configured = [] {
    pool.setThreadPriority(QThread::HighPriority);
    return true;
  }();
  (void)configured;
  return pool;
}

QFuture<QString> failedFuture(std::exception_ptr error) {
  QPromise<QString> promise;
  promise.start();
  promise.setException(std::move(error));
  promise.finish();
  return promise.future();
}

}  // namespace

QFuture<QString> runDetached(std::function<QString()> work) {
  auto promise = std::make_shared<QPromise<QString>>();
  promise->start();
  QFuture<QString> future = promise->future();
  installPool().start([promise, work = std::move(work)] {
    try {
      promise->addResult(work());
    } catch (...) {
      promise->setException(std::current_exception());
    }
    promise->finish();
  });
  return future;
}

void waitForInstallations() {
  installPool().waitForDone();
  // Their outcomes, posted to the main thread, arrive while the flow and the
  // application object they report to still exist; an outcome dropped with
  // the application would cancel its continuation.
  QCoreApplication::sendPostedEvents();
}

SharingSetupFlow::InstallOperation productionInstallOperation(InstallEnvironment environment) {
  return [environment = std::move(environment)]() -> QFuture<QString> {
    std::optional<std::filesystem::path> resources = environment.resourceFolder();
    if (!resources) {
      return failedFuture(std::make_exception_ptr(SetupError("The installer is incomplete.")));
    }
    std::filesystem::path payload = *resources / "Payload";
    std::filesystem::path home = environment.homeFolder();
    // The background job holds only the two locations and the installer,
    // never the flow.
    return runDetached([install = environment.install, payload, home] { return install(payload, home); });
  };
}

}  // namespace tavrino::setup
