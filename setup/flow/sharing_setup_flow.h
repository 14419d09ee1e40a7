#pragma once

#include <QFuture>
#include <QObject>
#include <QPromise>

#include <functional>
#include <memory>
#include <optional>

#include "flow/phase.h"

namespace tavrino::setup {

// The setup program's state machine: runs the install operation once per
// start, publishes the phase and allows a retry after a failure. Lives on the
// main thread; a running job keeps it alive until the job has set its final
// phase, which is why it is only ever held through a shared_ptr.
class SharingSetupFlow : public QObject, public std::enable_shared_from_this<SharingSetupFlow> {
  Q_OBJECT

 public:
  // Does the installation somewhere else and reports through the future;
  // an exception stored in the future is the failure to show, a text it
  // yields a note for the success screen.
  using InstallOperation = std::function<QFuture<QString>()>;

  static std::shared_ptr<SharingSetupFlow> make(InstallOperation performInstall);
  // The flow the program uses: the payload of this program's own bundle,
  // installed for the current user on a background thread.
  static std::shared_ptr<SharingSetupFlow> production();

  const Phase& phase() const { return phase_; }

  // Start an installation when the phase is `ready`; no handle otherwise.
  // The handle's future finishes once the final phase is set and never
  // carries an exception.
  std::optional<QFuture<void>> start();
  // From `failed` only: back to `ready`, then start() again.
  std::optional<QFuture<void>> retry();

 signals:
  // Emitted on every assignment, also when the value does not change.
  void phaseChanged(const tavrino::setup::Phase& phase);

 private:
  struct Key {};

 public:
  SharingSetupFlow(Key, InstallOperation performInstall);

 private:
  void setPhase(Phase phase);
  void runJob(std::shared_ptr<QPromise<void>> handle);

  Phase phase_ = Phase::ready();
  const InstallOperation performInstall_;
};

}  // namespace tavrino::setup
