#include "flow/sharing_setup_flow.h"

#include <QCoreApplication>

#include "installer/plain_words.h"

#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

namespace tavrino::setup {

namespace {

Phase failedWith(const SetupError& error) {
  return Phase::failed(QString::fromUtf8(error.what()), QString::fromUtf8(error.detail()));
}

// The phase a failure shows: a SetupError's sentence and detail; anything
// else in plain words too, never a library's own text.
Phase describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const SetupError& e) {
    return failedWith(e);
  } catch (const std::filesystem::filesystem_error& e) {
    return failedWith(inPlainWords(e));
  } catch (const std::system_error& e) {
    return failedWith(inPlainWords(e));
  } catch (...) {
    return failedWith(unexpectedFailure());
  }
}

}  // namespace

std::shared_ptr<SharingSetupFlow> SharingSetupFlow::make(InstallOperation performInstall) {
  return std::make_shared<SharingSetupFlow>(Key{}, std::move(performInstall));
}

SharingSetupFlow::SharingSetupFlow(Key, InstallOperation performInstall)
    : performInstall_(std::move(performInstall)) {}

void SharingSetupFlow::setPhase(Phase phase) {
  phase_ = std::move(phase);
  emit phaseChanged(phase_);
}

std::optional<QFuture<void>> SharingSetupFlow::start() {
  if (!phase_.is(Phase::Case::ready)) return std::nullopt;
  setPhase(Phase::installing());
  auto handle = std::make_shared<QPromise<void>>();
  handle->start();
  QFuture<void> future = handle->future();
  // The job runs in a later turn of the main loop, so start() returns first,
  // and it holds the flow for as long as it runs.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [self = shared_from_this(), handle] { self->runJob(handle); },
      Qt::QueuedConnection);
  return future;
}

std::optional<QFuture<void>> SharingSetupFlow::retry() {
  if (!phase_.is(Phase::Case::failed)) return std::nullopt;
  setPhase(Phase::ready());
  return start();
}

void SharingSetupFlow::runJob(std::shared_ptr<QPromise<void>> handle) {
  auto finish = [self = shared_from_this(), handle](Phase phase) {
    self->setPhase(std::move(phase));
    handle->finish();
  };
  QFuture<QString> operation;
  try {
    operation = performInstall_();
  } catch (...) {
    finish(describe(std::current_exception()));
    return;
  }
  // The continuations run on the main thread (the application object's) once
  // the operation's future finishes, whichever thread finished it. qApp, not
  // the flow, is their context, so the last reference to the flow may go
  // inside them.
  QObject* mainThread = QCoreApplication::instance();
  operation
      .then(mainThread,
            [finish](QFuture<QString> done) {
              try {
                done.waitForFinished();
              } catch (...) {
                finish(describe(std::current_exception()));
                return;
              }
              finish(Phase::installed(done.resultCount() > 0 ? done.result() : QString()));
            })
      .onCanceled(mainThread, [finish] {
        // An operation abandoned without an outcome did not install anything.
        finish(Phase::failed(QCoreApplication::translate(
            "SharingSetupFlow", "The installation was interrupted. Please try again.")));
      });
}

}  // namespace tavrino::setup
