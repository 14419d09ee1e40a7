#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPromise>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "flow/sharing_setup_flow.h"

namespace tavrino::setup {

// An install operation whose outcome the test decides, one promise per call.
struct ControlledInstall {
  std::vector<std::shared_ptr<QPromise<QString>>> runs;

  SharingSetupFlow::InstallOperation operation() {
    return [this] {
      auto promise = std::make_shared<QPromise<QString>>();
      promise->start();
      runs.push_back(promise);
      return promise->future();
    };
  }
  void succeed(const QString& note = {}) {
    if (!note.isEmpty()) runs.back()->addResult(note);
    runs.back()->finish();
  }
  void fail(std::exception_ptr error) {
    runs.back()->setException(std::move(error));
    runs.back()->finish();
  }
};

inline bool spinUntil(const std::function<bool()>& done, int milliseconds = 5000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

inline void settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace tavrino::setup
