#include "installer_fixture.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>

namespace tavrino::setup::testing {
namespace {

struct KillPoint {
  InstallStep step;
  std::size_t index;
  bool afterCommitPoint;  // the killed run had already finished its installation
};

struct Injected : std::runtime_error {
  Injected() : std::runtime_error("injected failure") {}
};

std::vector<std::string> probe(const InstallScene& scene, InstallStep step, std::size_t index) {
  return {TAVRINO_CRASH_PROBE,
          scene.payload.string(),
          scene.home.string(),
          TAVRINO_CODESIGN,
          std::to_string(static_cast<int>(step)),
          std::to_string(index)};
}

bool killedBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

// After a crash, a run whose commit fails must bring back exactly what the
// killed run had saved (or its finished result), and a plain run must then
// complete a verified installation.
void expectRecovered(const InstallScene& scene, const Snapshot& oldApplications, const Snapshot& oldHosts,
                     bool afterCommitPoint, const std::string& label) {
  SCOPED_TRACE(label);
  EXPECT_THROW(scene.installer().install([](std::size_t index) {
    if (index == 1) throw Injected();
  }),
               Injected);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  if (afterCommitPoint) {
    EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
    EXPECT_EQ(readFile(scene.manifestTarget), scene.expectedManifest());
  } else {
    EXPECT_EQ(snapshot(scene.home / "Applications"), oldApplications);
    EXPECT_EQ(snapshot(scene.manifestTarget.parent_path()), oldHosts);
  }
  scene.installer().install();
  EXPECT_EQ(readFile(scene.manifestTarget), scene.expectedManifest());
  EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
  EXPECT_EQ(verifyExitStatus(scene.applicationTarget, kRequiredTeam), 0);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  EXPECT_TRUE(lockIsFree(scene.home));
}

std::string labelOf(InstallStep step, std::size_t index) {
  return "step " + std::to_string(static_cast<int>(step)) + " index " + std::to_string(index);
}

TEST(InstallCrash, KilledAtEachStepThenRunAgain) {
  const std::vector<KillPoint> points = {
      {InstallStep::verifySource, 0, false},     {InstallStep::takeLock, 0, false},
      {InstallStep::listProcesses, 0, false},    {InstallStep::prepare, 0, false},
      {InstallStep::copyApplication, 0, false},  {InstallStep::verifyCopy, 0, false},
      {InstallStep::prepare, 1, false},          {InstallStep::writeManifest, 0, false},
      {InstallStep::setManifestMode, 0, false},  {InstallStep::markPending, 0, false},
      {InstallStep::moveAside, 0, false},        {InstallStep::moveIn, 0, false},
      {InstallStep::moveAside, 1, false},        {InstallStep::moveIn, 1, false},
      {InstallStep::verifyInstalled, 0, false},  {InstallStep::markCommitted, 0, false},
      {InstallStep::cleanUp, 0, true},           {InstallStep::cleanUp, 1, true},
  };
  for (const auto& point : points) {
    InstallScene scene;
    const Snapshot applications = snapshot(scene.home / "Applications");
    const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
    ASSERT_TRUE(killedBySigkill(runProgram(probe(scene, point.step, point.index)))) << labelOf(point.step, point.index);
    expectRecovered(scene, applications, hosts, point.afterCommitPoint, labelOf(point.step, point.index));
  }
}

TEST(InstallCrash, KilledDuringAFirstInstallation) {
  for (const auto& point : std::vector<KillPoint>{{InstallStep::markAbsent, 0, false},
                                                  {InstallStep::moveIn, 0, false},
                                                  {InstallStep::markAbsent, 1, false},
                                                  {InstallStep::verifyInstalled, 0, false}}) {
    InstallScene scene(false);
    ASSERT_TRUE(killedBySigkill(runProgram(probe(scene, point.step, point.index))));
    expectRecovered(scene, {}, {}, false, labelOf(point.step, point.index));
    EXPECT_TRUE(fs::exists(scene.manifestTarget));
  }
}

TEST(InstallCrash, KilledDuringTheRollBack) {
  for (const auto& point : std::vector<KillPoint>{{InstallStep::rollBackRemove, 1, false},
                                                  {InstallStep::rollBackRestore, 1, false},
                                                  {InstallStep::rollBackRemove, 0, false},
                                                  {InstallStep::rollBackRestore, 0, false},
                                                  {InstallStep::cleanUp, 0, false}}) {
    InstallScene scene;
    const Snapshot applications = snapshot(scene.home / "Applications");
    const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
    auto argv = probe(scene, point.step, point.index);
    argv.push_back(std::to_string(static_cast<int>(InstallStep::verifyInstalled)));
    argv.push_back("0");
    ASSERT_TRUE(killedBySigkill(runProgram(argv)));
    expectRecovered(scene, applications, hosts, false, labelOf(point.step, point.index));
  }
}

TEST(InstallCrash, KilledAgainWhileRecovering) {
  for (const std::size_t index : {0u, 1u}) {
    InstallScene scene;
    const Snapshot applications = snapshot(scene.home / "Applications");
    const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
    ASSERT_TRUE(killedBySigkill(runProgram(probe(scene, InstallStep::moveIn, 1))));
    ASSERT_TRUE(killedBySigkill(runProgram(probe(scene, InstallStep::recoverLeftover, index))));
    expectRecovered(scene, applications, hosts, false, labelOf(InstallStep::recoverLeftover, index));
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
