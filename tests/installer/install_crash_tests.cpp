#include "installer_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>

namespace tavrino::setup::testing {
namespace {

enum class Run {
  replacing,    // over an earlier installation
  first,        // into an empty home
  rollingBack,  // the final verification fails first, so the kill lands in the roll-back
  recovering,   // a first run is killed while moving in; the kill lands in the next run's recovery
  linked,       // over an earlier installation whose target folders are symbolic links
};

struct KillPoint {
  Run run;
  InstallStep step;
  std::size_t index;
};

// Runs one installation in a child process that kills itself with SIGKILL on
// reaching `step` at `index`, as a power cut or a force quit would stop it;
// `failing` first makes that step throw, so the kill lands in the roll-back.
bool killedAt(const InstallScene& scene, InstallStep step, std::size_t index,
              std::optional<InstallStep> failing = std::nullopt) {
  const pid_t child = ::fork();
  if (child == 0) {
    CompanionInstaller installer = scene.installer();
    installer.stepHook = [&](InstallStep at, std::size_t i) {
      if (at == step && i == index) std::raise(SIGKILL);
      if (at == failing && i == 0) throw Injected();
    };
    try {
      installer.install();
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(InstallCrash, KilledAtEachStepThenRunAgain) {
  using enum InstallStep;
  const std::vector<KillPoint> points = {
      {Run::replacing, verifySource, 0},      {Run::replacing, takeLock, 0},
      {Run::replacing, listProcesses, 0},     {Run::replacing, prepare, 0},
      {Run::replacing, copyApplication, 0},   {Run::replacing, verifyCopy, 0},
      {Run::replacing, prepare, 1},           {Run::replacing, writeManifest, 1},
      {Run::replacing, setManifestMode, 2},   {Run::replacing, markPending, 0},
      {Run::replacing, moveAside, 0},         {Run::replacing, moveIn, 0},
      {Run::replacing, moveAside, 1},         {Run::replacing, moveIn, 1},
      {Run::replacing, markAbsent, 2},        {Run::replacing, moveIn, 2},
      {Run::replacing, verifyInstalled, 0},   {Run::replacing, markCommitted, 0},
      {Run::replacing, cleanUp, 0},           {Run::replacing, cleanUp, 2},
      {Run::first, markAbsent, 0},            {Run::first, moveIn, 0},
      {Run::first, markAbsent, 1},            {Run::first, verifyInstalled, 0},
      {Run::rollingBack, rollBackRemove, 1},  {Run::rollingBack, rollBackRestore, 1},
      {Run::rollingBack, rollBackRemove, 0},  {Run::rollingBack, rollBackRestore, 0},
      {Run::rollingBack, cleanUp, 0},         {Run::recovering, recoverLeftover, 0},
      {Run::recovering, recoverLeftover, 1},  {Run::recovering, recoverLeftover, 2},
      {Run::linked, moveIn, 0},               {Run::linked, moveIn, 2},
  };
  for (const auto& [run, step, index] : points) {
    SCOPED_TRACE("run " + std::to_string(static_cast<int>(run)) + " step " + std::to_string(static_cast<int>(step)) +
                 " index " + std::to_string(index));
    InstallScene scene(run != Run::first);
    if (run == Run::linked) {
      for (const fs::path& folder : {scene.applicationTarget.parent_path(), scene.manifestTargets[0].parent_path()}) {
        const fs::path elsewhere = scene.root.path() / ("linked-" + folder.parent_path().filename().string());
        fs::rename(folder, elsewhere);
        fs::create_directory_symlink(elsewhere, folder);
      }
    }
    const auto before = scene.targets();
    if (run == Run::recovering) {
      ASSERT_TRUE(killedAt(scene, moveIn, 2));
    }
    ASSERT_TRUE(killedAt(scene, step, index, run == Run::rollingBack ? std::optional(verifyInstalled) : std::nullopt));

    // A run whose commit fails brings back exactly what the killed run had
    // saved, or keeps its finished result; a plain run then completes.
    EXPECT_THROW(scene.installer().install([](std::size_t at) {
      if (at == 1) throw Injected();
    }),
                 Injected);
    EXPECT_TRUE(scene.stagingLeftovers().empty());
    if (step == cleanUp && run != Run::rollingBack) {
      EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
      for (const auto& manifest : scene.manifestTargets) EXPECT_EQ(readFile(manifest), scene.expectedManifest());
    } else {
      EXPECT_EQ(scene.targets(), before);
    }
    scene.installer().install();
    expectInstalled(scene);
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
