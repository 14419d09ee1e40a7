#include "installer_fixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

const std::string kRecoverySentence =
    "Installation recovery needs help. Previous files were preserved in .tavrino-install folders beside the helper "
    "and Chrome host registration. Contact Tavrino Support before retrying.";

void failAt(CompanionInstaller& installer, InstallStep failing, std::size_t index) {
  installer.stepHook = [=](InstallStep step, std::size_t at) {
    if (step == failing && at == index) throw Injected();
  };
}

TEST(InstallTransaction, IdentifierFile) {
  for (const std::string& accepted : {kExtensionId + "\n", "  " + kExtensionId + "  ", "\t" + kExtensionId + "\r\n"}) {
    InstallScene scene(false);
    writeFile(scene.payload / "extension-id.txt", accepted);
    scene.installer().install();
    expectInstalled(scene);
  }
  const std::string& id = kExtensionId;
  for (const std::string& refused : {id.substr(1), id + "a", "A" + id.substr(1), "q" + id.substr(1),
                                     "0" + id.substr(1), id.substr(0, 16) + " " + id.substr(17), std::string()}) {
    InstallScene scene(false);
    writeFile(scene.payload / "extension-id.txt", refused);
    CompanionInstaller installer = scene.installer();
    // A tool that cannot start would fail differently: the identifier is checked first.
    installer.signingTool = scene.root.path() / "no-such-tool";
    EXPECT_EQ(setupErrorOf([&] { installer.install(); }), "The installer contains an invalid extension identity.")
        << refused;
    EXPECT_TRUE(snapshot(scene.home).empty());
  }
  // Missing or undecodable: the platform's own error.
  InstallScene scene(false);
  fs::remove(scene.payload / "extension-id.txt");
  EXPECT_THROW(scene.installer().install(), fs::filesystem_error);
  writeFile(scene.payload / "extension-id.txt", "\xff\xfe" + kExtensionId);
  EXPECT_THROW(scene.installer().install(), fs::filesystem_error);
  EXPECT_TRUE(snapshot(scene.home).empty());
}

// A damaged helper, or one signed by anyone but the required team, is refused before anything is touched.
TEST(InstallTransaction, RefusedPayloadLeavesNothing) {
  const std::vector<std::function<void(const fs::path&)>> faults = {
      [](const fs::path& app) {
        std::string text = readFile(app / "Contents/Resources/Strings/en.txt");
        text[0] ^= 1;
        writeFile(app / "Contents/Resources/Strings/en.txt", text);
      },
      [](const fs::path& app) { fs::remove_all(app); },
      [](const fs::path& app) { EXPECT_TRUE(signApp(app, "other-team")); },
      [](const fs::path& app) { EXPECT_TRUE(signApp(app, "no-marker")); },
      [](const fs::path& app) { EXPECT_TRUE(signApp(app, "team", "net.tavrino.other")); },
  };
  for (std::size_t i = 0; i < faults.size(); ++i) {
    InstallScene scene;
    const Snapshot before = snapshot(scene.home);
    faults[i](scene.payload / "Tavrino Share Helper.app");
    EXPECT_EQ(setupErrorOf([&] { scene.installer().install(); }), kIntactSentence) << "fault " << i;
    EXPECT_EQ(snapshot(scene.home), before);
  }
}

// Browsers refuse a manifest whose "path" is relative, so nothing is made for such a home.
TEST(InstallTransaction, RelativeHomeIsAPlatformError) {
  InstallScene scene(false);
  const fs::path previous = fs::current_path();
  fs::current_path(scene.root.path());
  CompanionInstaller installer(scene.payload, scene.home.filename(), kRequiredTeam);
  installer.signingTool = TAVRINO_CODESIGN;
  EXPECT_THROW(installer.install(), fs::filesystem_error);
  fs::current_path(previous);
  EXPECT_TRUE(snapshot(scene.home).empty());
}

TEST(InstallTransaction, LockThatCannotBeTaken) {
  InstallScene scene;
  const fs::path lock = scene.dataHome / "Tavrino/ShareCompanion/install.lock";
  fs::create_directories(lock.parent_path());
  const auto before = scene.targets();
  // A symbolic link planted at the lock path is not followed.
  writeFile(scene.root.path() / "elsewhere", "untouched");
  fs::create_symlink(scene.root.path() / "elsewhere", lock);
  EXPECT_EQ(setupErrorOf([&] { scene.installer().install(); }), "Cannot open the installer lock.");
  expectUnchanged(scene, before);
  EXPECT_EQ(readFile(scene.root.path() / "elsewhere"), "untouched");
  fs::remove(lock);

  // Held through another open file, as another installer holds it.
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(setupErrorOf([&] { scene.installer().install(); }),
            "Another Tavrino installer is running. Please finish it first.");
  EXPECT_FALSE(scene.lockIsFree());
  ::close(fd);
  expectUnchanged(scene, before);
}

TEST(InstallTransaction, RunningInstalledHelperBlocksButACopyElsewhereDoesNot) {
  // Matched byte for byte: no locale turns "é" into "?", and a line break
  // does not split the command line.
  ::setenv("LC_ALL", "C", 1);
  InstallScene scene(true, "run-\xc3\xa9\nhome");
  const fs::path installed = scene.applicationTarget / "Contents/MacOS/TavrinoShareHost";
  fs::copy_file("/bin/sleep", installed, fs::copy_options::overwrite_existing);
  const auto before = scene.targets();
  const pid_t running = startProgram({installed.string(), "60"});
  EXPECT_EQ(setupErrorOf([&] { scene.installer().install(); }),
            "Stop desktop sharing and close the helper's permission dialog, then try again.");
  stopProgram(running);
  expectUnchanged(scene, before);

  InstallScene other;
  const fs::path copy = other.root.path() / "TavrinoShareHost";
  fs::copy_file("/bin/sleep", copy);
  const pid_t elsewhere = startProgram({copy.string(), "60"});
  other.installer().install();
  stopProgram(elsewhere);
  expectInstalled(other);
}

TEST(InstallTransaction, FailedStepsLeaveTheTargetsAsTheyWere) {
  const std::vector<std::pair<InstallStep, std::size_t>> steps = {
      {InstallStep::listProcesses, 0},   {InstallStep::prepare, 0},         {InstallStep::copyApplication, 0},
      {InstallStep::verifyCopy, 0},      {InstallStep::serialiseManifest, 0}, {InstallStep::prepare, 1},
      {InstallStep::writeManifest, 1},   {InstallStep::setManifestMode, 2}, {InstallStep::markPending, 0},
      {InstallStep::moveAside, 0},       {InstallStep::moveIn, 0},          {InstallStep::moveAside, 1},
      {InstallStep::moveIn, 1},          {InstallStep::markAbsent, 2},      {InstallStep::moveIn, 2},
      {InstallStep::verifyInstalled, 0}, {InstallStep::markCommitted, 0},
  };
  for (const bool earlier : {true, false}) {
    for (auto [step, index] : steps) {
      // Without an earlier installation nothing is moved aside; the absence is recorded instead.
      if (!earlier && step == InstallStep::moveAside) step = InstallStep::markAbsent;
      InstallScene scene(earlier);
      const auto before = scene.targets();
      CompanionInstaller installer = scene.installer();
      failAt(installer, step, index);
      EXPECT_THROW(installer.install(), Injected) << static_cast<int>(step) << "/" << index << "/" << earlier;
      expectUnchanged(scene, before);
    }
    // The caller's hook before each commit fails the same way.
    for (const std::size_t failing : {0u, 1u, 2u}) {
      InstallScene scene(earlier);
      const auto before = scene.targets();
      EXPECT_THROW(scene.installer().install([&](std::size_t at) { if (at == failing) throw Injected(); }), Injected);
      expectUnchanged(scene, before);
    }
  }
}

TEST(InstallTransaction, ManifestThatCannotBeSerialisedIsAPlatformError) {
  InstallScene scene(false, "home\xff");
  EXPECT_THROW(scene.installer().install(), std::exception);
  EXPECT_TRUE(scene.stagingLeftovers().empty());
  EXPECT_FALSE(fs::exists(scene.applicationTarget));
}

TEST(InstallTransaction, FailedRollBackKeepsStagingFoldersAndTheNextRunRecovers) {
  InstallScene scene;
  const auto before = scene.targets();
  CompanionInstaller installer = scene.installer();
  installer.stepHook = [](InstallStep step, std::size_t) {
    if (step == InstallStep::rollBackRestore) throw Injected();
  };
  EXPECT_EQ(setupErrorOf([&] { installer.install([](std::size_t index) {
              if (index == 1) throw Injected();
            }); }),
            kRecoverySentence);
  EXPECT_TRUE(scene.lockIsFree());
  const auto kept = scene.stagingLeftovers();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_TRUE(fs::exists(kept[0] / "previous/Contents/MacOS/TavrinoShareHost"));
  EXPECT_FALSE(fs::exists(scene.applicationTarget));

  // The next run first puts the saved items back; a failing commit then shows
  // that nothing of them was lost.
  EXPECT_THROW(scene.installer().install([](std::size_t) { throw Injected(); }), Injected);
  expectUnchanged(scene, before);
  scene.installer().install();
  expectInstalled(scene);
}

// Only folders named and filled as a run stages them are swept; a user's
// look-alikes stay, and a staging folder that cannot be removed is no reason
// to fail.
TEST(InstallTransaction, SweepOfEarlierRunsLeftovers) {
  InstallScene scene;
  const fs::path apps = scene.applicationTarget.parent_path();
  const std::vector<fs::path> mine = {apps / ".tavrino-install-mine",
                                      apps / ".tavrino-install-3f2504e0-4f89-11d3-9a0c-0305e82c3301/payload",
                                      apps / ".tavrino-install-3F2504E0-4F89-11D3-9A0C-0305E82C3301/notes"};
  for (const auto& folder : mine) fs::create_directories(folder);
  CompanionInstaller installer = scene.installer();
  failAt(installer, InstallStep::cleanUp, 0);
  installer.install();
  EXPECT_EQ(scene.stagingLeftovers().size(), mine.size() + 1);
  EXPECT_TRUE(scene.lockIsFree());
  scene.installer().install();
  EXPECT_EQ(scene.stagingLeftovers().size(), mine.size());
  for (const auto& folder : mine) EXPECT_TRUE(fs::is_directory(folder)) << folder;
}

TEST(InstallTransaction, FullDiskAndUnremovableLeftovers) {
  if (!inPrivateMounts([] {
        // A copy cut short by a full disk is reported as such.
        InstallScene full(false);
        const fs::path app = full.payload / "Tavrino Share Helper.app";
        writeFile(app / "Contents/Resources/large.bin", std::string(1 << 20, 'x'));
        ASSERT_TRUE(signApp(app));
        mountTmpfs(full.applicationTarget.parent_path(), "size=256k");
        const auto empty = full.targets();
        try {
          full.installer().install();
          ADD_FAILURE() << "installed onto a full disk";
        } catch (const fs::filesystem_error& error) {
          EXPECT_NE(std::string(error.what()).find("No space left on device"), std::string::npos) << error.what();
        }
        expectUnchanged(full, empty);

        // A leftover that cannot be removed (it holds a mount point) stays,
        // and neither blocks later runs nor confuses the recovery of a run
        // killed while committing.
        InstallScene scene;
        CompanionInstaller installer = scene.installer();
        failAt(installer, InstallStep::cleanUp, 0);
        installer.install();
        const auto stuck = scene.stagingLeftovers();
        ASSERT_EQ(stuck.size(), 1u);
        mountTmpfs(stuck[0] / "previous/Contents", "size=64k");
        scene.installer().install();
        const auto before = scene.targets();
        const pid_t child = ::fork();
        if (child == 0) {
          CompanionInstaller killed = scene.installer();
          killed.stepHook = [](InstallStep step, std::size_t index) {
            if (step == InstallStep::moveIn && index == 2) std::raise(SIGKILL);
          };
          killed.install();
          ::_exit(0);
        }
        ::waitpid(child, nullptr, 0);
        EXPECT_THROW(scene.installer().install([](std::size_t) { throw Injected(); }), Injected);
        EXPECT_EQ(scene.targets(), before);
        EXPECT_EQ(scene.stagingLeftovers(), stuck);
      })) {
    GTEST_SKIP() << "no user and mount namespaces here";
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
