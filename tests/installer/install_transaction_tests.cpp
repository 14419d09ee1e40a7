#include "installer/setup_error.h"
#include "installer_fixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <system_error>

namespace tavrino::setup::testing {
namespace {

const std::string kIdentitySentence = "The installer contains an invalid extension identity.";
const std::string kIntactSentence =
    "Installation could not be completed. Check that the download is intact and try again.";
const std::string kRunningSentence = "Stop desktop sharing and close the helper's permission dialog, then try again.";
const std::string kRecoverySentence =
    "Installation recovery needs help. Previous files were preserved in .tavrino-install folders beside the helper "
    "and Chrome host registration. Contact Tavrino Support before retrying.";

struct Injected : std::runtime_error {
  Injected() : std::runtime_error("injected failure") {}
};

std::string setupErrorOf(const CompanionInstaller& installer, const std::function<void(std::size_t)>& hook = {}) {
  try {
    installer.install(hook);
  } catch (const SetupError& error) {
    return error.errorDescription();
  }
  return "(no SetupError)";
}

// Both targets hold exactly what they held before, nothing is staged, and the lock is free.
void expectUnchanged(const InstallScene& scene, const Snapshot& applications, const Snapshot& hosts) {
  EXPECT_EQ(snapshot(scene.home / "Applications"), applications);
  EXPECT_EQ(snapshot(scene.manifestTarget.parent_path()), hosts);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  EXPECT_TRUE(lockIsFree(scene.home));
}

void expectInstalled(const InstallScene& scene) {
  EXPECT_EQ(readFile(scene.manifestTarget), scene.expectedManifest());
  EXPECT_EQ(fs::status(scene.manifestTarget).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
  EXPECT_EQ(verifyExitStatus(scene.applicationTarget, kRequiredTeam), 0);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  EXPECT_TRUE(lockIsFree(scene.home));
}

TEST(InstallTransaction, FirstInstallationPlacesBothItemsAndCleansUp) {
  InstallScene scene(false);
  scene.installer().install();
  expectInstalled(scene);
  const auto executable = scene.applicationTarget / "Contents/MacOS/TavrinoShareHost";
  EXPECT_NE(fs::status(executable).permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_TRUE(fs::is_symlink(scene.applicationTarget / "Contents/Resources/Current"));
  EXPECT_EQ(::access(executable.c_str(), X_OK), 0);
}

TEST(InstallTransaction, ReplacingAnInstallationDropsTheSavedVersions) {
  InstallScene scene;
  scene.installer().install();
  expectInstalled(scene);
  // A second run over its own result works the same way.
  scene.installer().install();
  expectInstalled(scene);
}

TEST(InstallTransaction, IdentifierFileVariants) {
  for (const std::string& accepted : {kExtensionId + "\n", "  " + kExtensionId + "  ", "\t" + kExtensionId + "\r\n"}) {
    InstallScene scene(false);
    writeFile(scene.payload / "extension-id.txt", accepted);
    scene.installer().install();
    expectInstalled(scene);
  }
  for (const std::string& refused : std::vector<std::string>{kExtensionId.substr(1), kExtensionId + "a", "A" + kExtensionId.substr(1),
                                    "q" + kExtensionId.substr(1), "0" + kExtensionId.substr(1),
                                    kExtensionId.substr(0, 16) + " " + kExtensionId.substr(17), std::string()}) {
    InstallScene scene(false);
    writeFile(scene.payload / "extension-id.txt", refused);
    CompanionInstaller installer = scene.installer();
    // A tool that cannot start would fail differently: the identifier is checked first.
    installer.signingTool = scene.root.path() / "no-such-tool";
    EXPECT_EQ(setupErrorOf(installer), kIdentitySentence) << refused;
    EXPECT_TRUE(snapshot(scene.home).empty());
  }
}

TEST(InstallTransaction, UnreadableIdentifierFileIsAPlatformError) {
  InstallScene scene(false);
  fs::remove(scene.payload / "extension-id.txt");
  EXPECT_THROW(scene.installer().install(), fs::filesystem_error);
  writeFile(scene.payload / "extension-id.txt", "\xff\xfe" + kExtensionId);
  EXPECT_THROW(scene.installer().install(), fs::filesystem_error);
  EXPECT_TRUE(snapshot(scene.home).empty());
}

TEST(InstallTransaction, RefusedPayloadLeavesNothing) {
  InstallScene scene;
  const Snapshot before = snapshot(scene.home);
  writeFile(scene.payload / "Tavrino Share Helper.app/Contents/Resources/Strings/extra.txt", "added\n");
  EXPECT_EQ(setupErrorOf(scene.installer()), kIntactSentence);
  EXPECT_EQ(snapshot(scene.home), before);
}

TEST(InstallTransaction, InstallerFolderThatCannotBeMade) {
  InstallScene scene(false);
  writeFile(scene.home / "Library", "a file where a folder belongs");
  EXPECT_THROW(scene.installer().install(), fs::filesystem_error);
}

TEST(InstallTransaction, SymbolicLinkAtTheLockPathIsRefused) {
  InstallScene scene;
  const fs::path folder = scene.home / "Library/Application Support/Tavrino/ShareCompanion";
  fs::create_directories(folder);
  writeFile(scene.root.path() / "elsewhere", "untouched");
  fs::create_symlink(scene.root.path() / "elsewhere", folder / "install.lock");
  const Snapshot applications = snapshot(scene.home / "Applications");
  const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
  EXPECT_EQ(setupErrorOf(scene.installer()), "Cannot open the installer lock.");
  expectUnchanged(scene, applications, hosts);
  EXPECT_EQ(readFile(scene.root.path() / "elsewhere"), "untouched");
}

TEST(InstallTransaction, LockHeldByAnotherProcess) {
  InstallScene scene;
  const fs::path lock = scene.home / "Library/Application Support/Tavrino/ShareCompanion/install.lock";
  fs::create_directories(lock.parent_path());
  const Snapshot applications = snapshot(scene.home / "Applications");
  const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    ::flock(fd, LOCK_EX);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(setupErrorOf(scene.installer()), "Another Tavrino installer is running. Please finish it first.");
  EXPECT_EQ(snapshot(scene.home / "Applications"), applications);
  EXPECT_EQ(snapshot(scene.manifestTarget.parent_path()), hosts);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  stopProgram(holder);
  EXPECT_TRUE(lockIsFree(scene.home));
}

TEST(InstallTransaction, RunningInstalledHelperBlocksButACopyElsewhereDoesNot) {
  InstallScene scene;
  const fs::path installed = scene.applicationTarget / "Contents/MacOS/TavrinoShareHost";
  fs::copy_file("/bin/sleep", installed, fs::copy_options::overwrite_existing);
  const Snapshot applications = snapshot(scene.home / "Applications");
  const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
  const pid_t running = startProgram({installed.string(), "60"});
  EXPECT_EQ(setupErrorOf(scene.installer()), kRunningSentence);
  stopProgram(running);
  expectUnchanged(scene, applications, hosts);

  InstallScene other;
  fs::create_directories(other.root.path() / "copy");
  const fs::path copy = other.root.path() / "copy/TavrinoShareHost";
  fs::copy_file("/bin/sleep", copy);
  const pid_t elsewhere = startProgram({copy.string(), "60"});
  other.installer().install();
  stopProgram(elsewhere);
  expectInstalled(other);
}

// Each failure before the commit leaves the targets as they were.
TEST(InstallTransaction, FailuresBeforeTheCommitLeaveTheTargetsAlone) {
  const std::vector<std::pair<InstallStep, std::size_t>> steps = {
      {InstallStep::listProcesses, 0},  {InstallStep::prepare, 0},        {InstallStep::copyApplication, 0},
      {InstallStep::verifyCopy, 0},     {InstallStep::prepare, 1},        {InstallStep::serialiseManifest, 0},
      {InstallStep::writeManifest, 0},  {InstallStep::setManifestMode, 0}, {InstallStep::markPending, 0},
  };
  for (const auto& [failingStep, failingIndex] : steps) {
    const InstallStep failing = failingStep;
    const std::size_t index = failingIndex;
    InstallScene scene;
    const Snapshot applications = snapshot(scene.home / "Applications");
    const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
    CompanionInstaller installer = scene.installer();
    installer.stepHook = [&](InstallStep step, std::size_t at) {
      if (step == failing && at == index) throw Injected();
    };
    EXPECT_THROW(installer.install(), Injected) << static_cast<int>(failing) << "/" << index;
    expectUnchanged(scene, applications, hosts);
  }
}

TEST(InstallTransaction, ManifestThatCannotBeSerialisedIsAPlatformError) {
  InstallScene scene(false);
  const fs::path oddHome = scene.root.path() / "home\xff";
  fs::create_directories(oddHome);
  CompanionInstaller installer(scene.payload, oddHome, kRequiredTeam);
  installer.signingTool = TAVRINO_CODESIGN;
  EXPECT_THROW(installer.install(), std::exception);
  EXPECT_TRUE(stagingLeftovers(oddHome).empty());
  EXPECT_FALSE(fs::exists(oddHome / "Applications/Tavrino Share Helper.app"));
}

TEST(InstallTransaction, FailedCommitStepsAreRolledBack) {
  const std::vector<std::pair<InstallStep, std::size_t>> steps = {
      {InstallStep::moveAside, 0}, {InstallStep::moveIn, 0},          {InstallStep::moveAside, 1},
      {InstallStep::moveIn, 1},    {InstallStep::verifyInstalled, 0}, {InstallStep::markCommitted, 0},
  };
  for (const bool earlier : {true, false}) {
    for (const auto& [failingStep, failingIndex] : steps) {
      const InstallStep failing = failingStep;
      const std::size_t index = failingIndex;
      InstallScene scene(earlier);
      const Snapshot applications = snapshot(scene.home / "Applications");
      const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
      CompanionInstaller installer = scene.installer();
      const InstallStep expectFail = earlier || failing != InstallStep::moveAside ? failing : InstallStep::markAbsent;
      installer.stepHook = [&](InstallStep step, std::size_t at) {
        if (step == expectFail && at == index) throw Injected();
      };
      EXPECT_THROW(installer.install(), Injected) << static_cast<int>(failing) << "/" << index << "/" << earlier;
      expectUnchanged(scene, applications, hosts);
    }
  }
}

TEST(InstallTransaction, BeforeCommitHookFailing) {
  for (const std::size_t failingIndex : {0u, 1u}) {
    for (const bool earlier : {true, false}) {
      InstallScene scene(earlier);
      const Snapshot applications = snapshot(scene.home / "Applications");
      const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
      std::vector<std::size_t> seen;
      EXPECT_THROW(scene.installer().install([&](std::size_t index) {
        seen.push_back(index);
        if (index == failingIndex) throw Injected();
      }),
                   Injected);
      EXPECT_EQ(seen.size(), failingIndex + 1);
      expectUnchanged(scene, applications, hosts);
    }
  }
}

TEST(InstallTransaction, FinalVerificationFailureRestoresManifestFirst) {
  InstallScene scene;
  const Snapshot applications = snapshot(scene.home / "Applications");
  const Snapshot hosts = snapshot(scene.manifestTarget.parent_path());
  CompanionInstaller installer = scene.installer();
  std::vector<std::size_t> restored;
  installer.stepHook = [&](InstallStep step, std::size_t index) {
    if (step == InstallStep::verifyInstalled) {
      // The installed copy changes under the installer: the final check refuses it.
      writeFile(scene.applicationTarget / "Contents/Resources/Strings/en.txt", "changed\n");
    }
    if (step == InstallStep::rollBackRestore) restored.push_back(index);
  };
  EXPECT_EQ(setupErrorOf(installer), kIntactSentence);
  EXPECT_EQ(restored, (std::vector<std::size_t>{1, 0}));
  expectUnchanged(scene, applications, hosts);
}

TEST(InstallTransaction, FailedRollBackKeepsStagingFoldersAndTheNextRunRecovers) {
  InstallScene scene;
  const Snapshot applications = snapshot(scene.home / "Applications");
  CompanionInstaller installer = scene.installer();
  installer.stepHook = [](InstallStep step, std::size_t) {
    if (step == InstallStep::rollBackRestore) throw Injected();
  };
  EXPECT_EQ(setupErrorOf(installer, [](std::size_t index) {
              if (index == 1) throw Injected();
            }),
            kRecoverySentence);
  EXPECT_TRUE(lockIsFree(scene.home));
  const auto kept = stagingLeftovers(scene.home);
  ASSERT_EQ(kept.size(), 2u);
  bool previousKept = false;
  for (const auto& folder : kept) previousKept |= fs::exists(folder / "previous/Contents/MacOS/TavrinoShareHost");
  EXPECT_TRUE(previousKept);
  EXPECT_FALSE(fs::exists(scene.applicationTarget));

  // The next run first puts the saved application back; a failing commit
  // then shows that nothing of it was lost.
  EXPECT_THROW(scene.installer().install([](std::size_t index) {
    if (index == 0) throw Injected();
  }),
               Injected);
  EXPECT_EQ(snapshot(scene.home / "Applications"), applications);
  EXPECT_TRUE(stagingLeftovers(scene.home).empty());
  scene.installer().install();
  expectInstalled(scene);
}

TEST(InstallTransaction, CleanUpFailureIsIgnored) {
  InstallScene scene;
  CompanionInstaller installer = scene.installer();
  installer.stepHook = [](InstallStep step, std::size_t index) {
    if (step == InstallStep::cleanUp && index == 0) throw Injected();
  };
  installer.install();
  EXPECT_EQ(stagingLeftovers(scene.home).size(), 1u);
  EXPECT_TRUE(lockIsFree(scene.home));
  // The leftover belongs to a finished run and goes with the next one.
  scene.installer().install();
  expectInstalled(scene);
}

}  // namespace
}  // namespace tavrino::setup::testing
