#pragma once

#include <QFuture>

#include <filesystem>
#include <functional>
#include <optional>

#include "flow/sharing_setup_flow.h"

namespace tavrino::setup {

// Runs blocking work on a thread of the installer's own pool (raised thread
// priority) and reports its outcome through the future: the text it returned,
// or the exception it threw, unchanged.
QFuture<QString> runDetached(std::function<QString()> work);

// Blocks until every job handed to runDetached has ended and delivers their
// outcomes to the main thread. The program calls it once its window is gone
// and before main returns: a job must never run into the destruction of
// statics or of the application object.
void waitForInstallations();

// How the production install operation finds its way; kept apart so tests
// can stand in for the bundle and the installer.
struct InstallEnvironment {
  std::function<std::optional<std::filesystem::path>()> resourceFolder;
  std::function<std::filesystem::path()> homeFolder;
  // Blocking; runs on the background thread with the payload and home
  // folders. Returns the success screen's note, empty for none.
  std::function<QString(const std::filesystem::path& payload, const std::filesystem::path& home)> install;
};

// What the program itself uses: its own bundle, the user's home folder and a
// fresh CompanionInstaller per run.
InstallEnvironment productionEnvironment();

// On the main thread: forms the payload and home folders (a missing resource
// folder fails at once with "The installer is incomplete."), then hands the
// installation to runDetached.
SharingSetupFlow::InstallOperation productionInstallOperation(InstallEnvironment environment);

}  // namespace tavrino::setup
