#include "installer/browsers.h"
#include "installer_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

void failAt(CompanionInstaller& installer, InstallStep failing, std::size_t index) {
  installer.stepHook = [=](InstallStep step, std::size_t at) {
    if (step == failing && at == index) throw Injected();
  };
}

// The wait status of a child process that runs `body` and ends with 1 when
// one of its expectations failed, else 0.
int statusOfChild(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      body();
    } catch (const std::exception& error) {
      ADD_FAILURE() << "unexpected exception: " << error.what();
    }
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

// Runs one installation that kills itself with SIGKILL on reaching `step` at
// `index`, as a power cut or a force quit would stop it; `failing` first makes
// that step throw, so the kill lands in the roll-back.
bool killedAt(const InstallScene& scene, InstallStep step, std::size_t index,
              std::optional<InstallStep> failing = std::nullopt) {
  const int status = statusOfChild([&] {
    CompanionInstaller installer = scene.installer();
    installer.stepHook = [&](InstallStep at, std::size_t i) {
      if (at == step && i == index) std::raise(SIGKILL);
      if (at == failing && i == 0) throw Injected();
    };
    try {
      installer.install();
    } catch (const Injected&) {
    }
  });
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Runs `body` in a child process with its own user and mount namespaces, where
// it may mount a tmpfs without privileges. False when the system allows no
// such namespaces.
bool inPrivateMounts(const std::function<void()>& body) {
  constexpr int kUnavailable = 77;
  const std::string uid = std::to_string(::getuid());
  const std::string gid = std::to_string(::getgid());
  const int status = statusOfChild([&] {
    const auto write = [](const char* file, const std::string& text) {
      const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
      const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (fd >= 0) ::close(fd);
      return written;
    };
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !write("/proc/self/setgroups", "deny") ||
        !write("/proc/self/uid_map", "0 " + uid + " 1") || !write("/proc/self/gid_map", "0 " + gid + " 1") ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      ::_exit(kUnavailable);
    }
    body();
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == kUnavailable) return false;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's failures above";
  return true;
}

enum class Kind {
  replacing,    // over an earlier installation
  first,        // into an empty home
  linked,       // over an earlier installation whose target folders are symbolic links
  rollingBack,  // the final verification fails first, so the kill lands in the roll-back
  recovering,   // a first run is killed while moving in; the kill lands in the next run's recovery
};

// Each point is reached twice: an error there must roll the run back to
// exactly what was there, and a kill there must leave what the next run
// brings back or finishes.
TEST(InstallTransaction, ErrorOrKillAtEachStepLeavesNothingHalfInstalled) {
  using enum InstallStep;
  const std::vector<std::tuple<Kind, InstallStep, std::size_t>> points = {
      {Kind::replacing, verifySource, 0},      {Kind::replacing, takeLock, 0},
      {Kind::replacing, listProcesses, 0},     {Kind::replacing, prepare, 0},
      {Kind::replacing, copyApplication, 0},   {Kind::replacing, verifyCopy, 0},
      {Kind::replacing, checkHelper, 0},
      {Kind::replacing, serialiseManifest, 0}, {Kind::replacing, prepare, 1},
      {Kind::replacing, writeManifest, 1},     {Kind::replacing, setManifestMode, 3},
      {Kind::replacing, markPending, 0},       {Kind::replacing, moveAside, 0},
      {Kind::replacing, moveIn, 0},            {Kind::replacing, moveAside, 1},
      {Kind::replacing, moveIn, 1},            {Kind::replacing, markAbsent, 2},
      {Kind::replacing, moveIn, 3},            {Kind::replacing, verifyInstalled, 0},
      {Kind::replacing, markCommitted, 0},     {Kind::replacing, cleanUp, 0},
      {Kind::replacing, cleanUp, 3},           {Kind::first, markAbsent, 0},
      {Kind::first, moveIn, 0},                {Kind::first, markAbsent, 1},
      {Kind::first, verifyInstalled, 0},       {Kind::linked, moveIn, 0},
      {Kind::linked, moveIn, 3},               {Kind::rollingBack, rollBackRemove, 3},
      {Kind::rollingBack, rollBackRestore, 1}, {Kind::rollingBack, rollBackRemove, 0},
      {Kind::rollingBack, rollBackRestore, 0}, {Kind::rollingBack, cleanUp, 0},
      {Kind::recovering, recoverLeftover, 0},  {Kind::recovering, recoverLeftover, 1},
      {Kind::recovering, recoverLeftover, 3},
  };
  for (const auto& [kind, step, index] : points) {
    SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind)) + " step " + std::to_string(static_cast<int>(step)) +
                 " index " + std::to_string(index));
    InstallScene scene(kind != Kind::first);
    // A browser found besides Chrome and Chromium: its manifest is committed
    // last and rolled back first.
    scene.addBrowser("BraveSoftware/Brave-Browser");
    if (kind == Kind::linked) {
      for (const fs::path& folder : {scene.applicationTarget.parent_path(), scene.manifestTargets[0].parent_path()}) {
        const fs::path elsewhere = scene.root.path() / ("linked-" + folder.parent_path().filename().string());
        fs::rename(folder, elsewhere);
        fs::create_directory_symlink(elsewhere, folder);
      }
    }
    const auto before = scene.targets();
    // Errors while cleaning up are ignored; those in a roll-back or a recovery have their own sentence.
    if (kind <= Kind::linked && step != cleanUp) {
      CompanionInstaller failing = scene.installer();
      failAt(failing, step, index);
      EXPECT_THROW(failing.install(), Injected);
      expectUnchanged(scene, before);
    }
    if (kind == Kind::recovering) {
      ASSERT_TRUE(killedAt(scene, moveIn, 3));
    }
    const auto failing = kind == Kind::rollingBack ? std::optional(verifyInstalled) : std::nullopt;
    ASSERT_TRUE(killedAt(scene, step, index, failing));

    // A run whose commit fails brings back exactly what the killed run had
    // saved, or keeps its finished result; a plain run then completes.
    EXPECT_THROW(scene.installer().install([](std::size_t at) { if (at == 1) throw Injected(); }), Injected);
    EXPECT_TRUE(scene.stagingLeftovers().empty());
    if (step == cleanUp && kind != Kind::rollingBack) {
      EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
      for (const auto& manifest : scene.manifestTargets) EXPECT_EQ(readFile(manifest), scene.expectedManifest());
    } else {
      EXPECT_EQ(scene.targets(), before);
    }
    scene.installer().install();
    expectInstalled(scene);
  }
}

TEST(InstallTransaction, FailedRollBackKeepsStagingFoldersAndTheNextRunRecovers) {
  InstallScene scene;
  const auto before = scene.targets();
  CompanionInstaller installer = scene.installer();
  failAt(installer, InstallStep::rollBackRestore, 0);
  EXPECT_EQ(setupErrorOf([&] { installer.install([](std::size_t at) { if (at == 1) throw Injected(); }); }),
            "Installation recovery needs help. Previous files were preserved in .tavrino-install folders beside the "
            "helper and Chrome host registration. Contact Tavrino Support before retrying.");
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

// Google Chrome and Chromium are registered always, every other browser only
// when its folder is there, and no folder is made for one that is absent.
// Snaps and Flatpaks cannot start the helper: the success screen's note is
// due when no other browser was found, also once the folders above are made.
TEST(InstallTransaction, BrowsersFoundAndConfinedOnes) {
  struct Case {
    std::vector<std::string> browsers;  // folders under .config, besides Chrome's and Chromium's
    std::vector<std::string> others;    // other folders under the home folder
    bool onlyConfined;
  };
  for (const auto& [browsers, others, onlyConfined] : std::vector<Case>{
           {{}, {}, false},
           // Another program's registration is no sign of a browser that ran.
           {{}, {"snap/chromium", ".config/google-chrome/NativeMessagingHosts"}, true},
           {{"microsoft-edge-beta"}, {".var/app/org.chromium.Chromium"}, true},
           {{}, {".var/app/com.brave.Browser", ".config/chromium/Default"}, false},
           {{"google-chrome-beta", "google-chrome-unstable", "BraveSoftware/Brave-Browser", "microsoft-edge",
             "microsoft-edge-dev", "vivaldi"},
            {".config/BraveSoftware/Brave-Browser-Nightly-Old", ".config/opera"},
            false},
       }) {
    InstallScene scene(false);
    SCOPED_TRACE(others.empty() ? "no others" : others[0]);
    for (const auto& browser : browsers) scene.addBrowser(browser);
    for (const auto& folder : others) fs::create_directories(scene.home / folder);
    // The identifier is read trimmed.
    writeFile(scene.payload / "extension-id.txt", "\t " + kExtensionId + " \r\n");
    const fs::path config = scene.home / ".config";
    EXPECT_EQ(onlyConfinedBrowsers(scene.home, config), onlyConfined);
    scene.installer().install();
    expectInstalled(scene);
    EXPECT_EQ(onlyConfinedBrowsers(scene.home, config), onlyConfined);

    std::set<fs::path> manifests;
    for (const auto& entry : fs::recursive_directory_iterator(config)) {
      if (entry.path().filename() == "net.tavrino.share_companion.json") manifests.insert(entry.path());
    }
    EXPECT_EQ(manifests, std::set<fs::path>(scene.manifestTargets.begin(), scene.manifestTargets.end()));
    std::set<fs::path> made, expected{"google-chrome", "chromium"};
    for (const auto& entry : fs::directory_iterator(config)) made.insert(entry.path().filename());
    for (const auto& browser : browsers) expected.insert(*fs::path(browser).begin());
    for (const auto& folder : others) {
      if (folder.starts_with(".config/")) expected.insert(*std::next(fs::path(folder).begin()));
    }
    EXPECT_EQ(made, expected);
  }
}

// A damaged helper, one signed by anyone but the required team, or an
// identifier that names no extension is refused before anything is touched
// (the signing tool's tests try every other fault).
TEST(InstallTransaction, RefusedPayloadLeavesNothing) {
  using Fault = std::function<void(const fs::path&)>;
  std::vector<std::pair<Fault, std::string>> cases = {
      {[](const fs::path& app) { writeFile(app / "Contents/Resources/Strings/en.txt", "version 2.1\n"); },
       kIntactSentence},
      {[](const fs::path& app) { fs::remove_all(app); }, kIntactSentence},
      {[](const fs::path& app) { EXPECT_TRUE(signApp(app, "other-team")); }, kIntactSentence},
  };
  const std::string& id = kExtensionId;
  for (const std::string& refused : {id.substr(1), id + "a", "A" + id.substr(1), "q" + id.substr(1),
                                     id.substr(0, 16) + " " + id.substr(17), std::string()}) {
    cases.emplace_back([refused](const fs::path& app) { writeFile(app.parent_path() / "extension-id.txt", refused); },
                       "The installer contains an invalid extension identity.");
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    InstallScene scene;
    const Snapshot before = snapshot(scene.home);
    cases[i].first(scene.payload / "Tavrino Share Helper.app");
    EXPECT_EQ(setupErrorOf([&] { scene.installer().install(); }), cases[i].second) << "case " << i;
    EXPECT_EQ(snapshot(scene.home), before);
  }
}

// A signed helper that does not start on this computer is not installed, and
// the window's smaller line says what the loader missed.
TEST(InstallTransaction, HelperThatCannotStartHereIsNotInstalled) {
  struct Case { std::string script, detail; };
  // The loader's words for a library too old, as it writes them before the
  // program runs at all.
  const auto loaderSays = [](const std::string& words, int status) {
    return "#!/bin/sh\ncat >&2 <<'END'\nTavrinoShareHost: " + words + "\nEND\nexit " + std::to_string(status) + "\n";
  };
  for (const auto& [script, detail] : std::vector<Case>{
           {readFile(TAVRINO_NEEDS_LIBRARY), "The library " TAVRINO_MISSING_LIBRARY " is missing."},
           {loaderSays("/lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.99' not found (required by "
                       "TavrinoShareHost)", 1),
            "The library libc.so.6 is older than the version GLIBC_2.99 it needs."},
           {"#!/bin/sh\necho 'Tavrino Share Helper'\nkill -9 $$\n", ""},
           {"#!/bin/sh\nexec sleep 60\n", "It did not finish its start-up check in time."},
           {"\x7f" "ELF but not really", "The system refused to start it: Exec format error."},
       }) {
    InstallScene scene;
    const fs::path app = scene.payload / "Tavrino Share Helper.app";
    writeFile(app / "Contents/MacOS/TavrinoShareHost", script);
    ASSERT_TRUE(signApp(app));
    const auto before = scene.targets();
    CompanionInstaller installer = scene.installer();
    // Only the one that never ends waits out a limit, a short one.
    if (script.find("sleep") != std::string::npos) installer.helperCheckLimit = std::chrono::milliseconds(300);
    try {
      installer.install();
      ADD_FAILURE() << "installed a helper that cannot start: " << script;
    } catch (const SetupError& error) {
      EXPECT_EQ(error.errorDescription(), "The share helper cannot run on this computer.");
      EXPECT_EQ(error.detail(), detail) << script;
    }
    expectUnchanged(scene, before);
  }
  // Started as the browser starts it: no library path of the installer's.
  ::setenv("LD_LIBRARY_PATH", "/nonexistent", 1);
  InstallScene scene;
  scene.installer().install();
  ::unsetenv("LD_LIBRARY_PATH");
  expectInstalled(scene);
}

// Whatever the system refuses is told in a sentence of ours, with the item
// concerned and the system's reason on the detail line ("<root>", "<home>" and
// "<payload>" stand for the scene's), and nothing is half installed. Run as an
// ordinary user: an administrator may write anywhere. Where we have the rights
// to leave an item of ours to another user, it is named with what to do.
TEST(InstallTransaction, RefusalsOfTheSystemInPlainWords) {
  const std::string folderNeeded =
      "Something stands where Tavrino Sharing Setup needs a folder. Move the item named below away, then try again.";
  const std::string mayNotChange =
      "Tavrino Sharing Setup may not change a folder it needs. Make sure the folder named below belongs to you and "
      "can be written to, then try again.";
  const std::string noHome =
      "Tavrino Sharing Setup cannot tell where your home folder is. Set HOME to the full path of your home folder, "
      "then try again.";
  using Change = std::function<void(const InstallScene&, CompanionInstaller&)>;
  struct Case {
    std::string name;
    Change breakIt;
    std::string sentence, detail;
    bool upFront;
    fs::path othersOwn = {};  // made by us before the run: a folder, or a file when it has an extension
  };
  const auto homeIs = [](std::string name) -> Change {
    return [name](const InstallScene& scene, CompanionInstaller& installer) {
      installer.home = name.empty() || name[0] != '/' ? fs::path(name) : scene.root.path() / name.substr(1);
      installer.configHome = installer.dataHome = installer.home / ".config";
    };
  };
  const auto readOnly = [](std::string folder) -> Change {
    return [folder](const InstallScene& scene, CompanionInstaller&) {
      fs::create_directories(scene.home / folder);
      fs::permissions(scene.home / folder, fs::perms::owner_write, fs::perm_options::remove);
    };
  };
  const auto refusedAt = [](std::string folder) {
    return "The system says “Permission denied” about <home>/" + folder + ".";
  };
  const auto othersOwn = [](std::string what) {
    return "Another user owns Tavrino Sharing Setup's " + what +
           ", probably since a run with administrator rights; make yourself its owner or remove it, then try again.";
  };
  const std::vector<Case> cases = {
      {"identifier missing", [](auto& scene, auto&) { fs::remove(scene.payload / "extension-id.txt"); },
       kIntactSentence, "The system says “No such file or directory” about <payload>/extension-id.txt.", true},
      {"identifier not UTF-8", [](auto& scene, auto&) { writeFile(scene.payload / "extension-id.txt", "\xff"); },
       kIntactSentence,
       "The system says “Invalid or incomplete multibyte or wide character” about <payload>/extension-id.txt.", true},
      {"signature check missing", [](auto&, auto& installer) { installer.signingTool = "/nonexistent/tool"; },
       kIntactSentence, "The signature check could not start: No such file or directory.", true},
      {"run with administrator rights", [](auto&, auto& installer) { installer.effectiveUser = [] { return 0u; }; },
       "Tavrino Sharing Setup installs for the user who runs it; start it without administrator rights.", "", true},
      {"no home", homeIs(""), noHome,
       "Neither HOME nor this computer's list of users names a home folder for you.", true},
      {"relative home", homeIs("home dir"), noHome, "“home dir” is not a full path.", true},
      {"home not UTF-8", homeIs("/h\xc3"),
       "Tavrino Share Helper cannot be installed into a home folder whose name is not UTF-8 text, because a "
       "browser's registration cannot name such a folder. Installing needs a home folder with a UTF-8 name.",
       "The home folder is <root>/h\xc3.", true},
      {"config folder is a file", [](auto& scene, auto&) { writeFile(scene.home / ".config", "mine"); }, folderNeeded,
       "<home>/.config is a file, not a folder.", false},
      {"registration folder links to nothing",
       [](auto& scene, auto&) {
         fs::create_directories(scene.home / ".config/chromium");
         fs::create_symlink("/nonexistent/hosts", scene.home / ".config/chromium/NativeMessagingHosts");
       },
       folderNeeded,
       "<home>/.config/chromium/NativeMessagingHosts is a link to /nonexistent/hosts, which does not exist.", false},
      {"config folder read-only", readOnly(".config"), mayNotChange, refusedAt(".config"), false},
      {"applications folder read-only", readOnly("Applications"), mayNotChange, refusedAt("Applications"), false},
      {"folder where a manifest goes",
       [](auto& scene, auto&) {
         fs::create_directories(scene.manifestTargets[1]);
         writeFile(scene.manifestTargets[1] / "notes.txt", "mine");
       },
       "Something other than a file stands where the browser's registration goes; move it away and try again.",
       "It stands at <home>/.config/chromium/NativeMessagingHosts/net.tavrino.share_companion.json.", false},
      {"folder of another user", {}, othersOwn("folder"), "It is at <home>/.local/share/Tavrino.", true,
       ".local/share/Tavrino"},
      {"lock file of another user", {}, othersOwn("lock file"),
       "It is at <home>/.local/share/Tavrino/ShareCompanion/install.lock.", false,
       ".local/share/Tavrino/ShareCompanion/install.lock"},
  };
  const bool administrator = ::geteuid() == 0;
  std::vector<std::unique_ptr<InstallScene>> scenes;
  for (const Case& c : cases) {
    scenes.push_back(std::make_unique<InstallScene>(false));
    const fs::path& root = scenes.back()->root.path();
    const fs::path theirs = scenes.back()->home / c.othersOwn;
    if (!c.othersOwn.empty()) {
      fs::create_directories(theirs.parent_path());
      c.othersOwn.has_extension() ? writeFile(theirs, "") : void(fs::create_directory(theirs));
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const bool ours = c.othersOwn.empty() || entry.path() != theirs;
      ASSERT_TRUE(!administrator || !ours || ::lchown(entry.path().c_str(), 65534, 65534) == 0);
    }
    ASSERT_TRUE(!administrator || ::chown(root.c_str(), 65534, 65534) == 0);
  }
  const int status = statusOfChild([&] {
    if (administrator && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      throw std::runtime_error("cannot become an ordinary user");
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const auto& [name, breakIt, sentence, detail, upFront, theirs] = cases[i];
      const InstallScene& scene = *scenes[i];
      SCOPED_TRACE(name);
      if (!theirs.empty() && !administrator) continue;
      CompanionInstaller installer = scene.installer();
      if (breakIt) breakIt(scene, installer);
      const Snapshot home = snapshot(scene.home);
      const auto before = scene.targets();
      SetupError error("(installed)");
      try {
        installer.install();
      } catch (const SetupError& thrown) {
        error = thrown;
      }
      EXPECT_EQ(error.errorDescription(), sentence);
      std::string expected = detail;
      for (const auto& [token, path] : {std::pair{"<home>", scene.home}, {"<payload>", scene.payload},
                                       {"<root>", scene.root.path()}}) {
        expected = std::regex_replace(expected, std::regex(token), path.string());
      }
      EXPECT_EQ(error.detail(), expected);
      expectUnchanged(scene, before);
      EXPECT_TRUE(!upFront || snapshot(scene.home) == home);
    }
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the failures above";
}

TEST(InstallTransaction, LockThatCannotBeTaken) {
  InstallScene scene;
  const fs::path lock = scene.home / ".local/share/Tavrino/ShareCompanion/install.lock";
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
  ::close(fd);
  expectUnchanged(scene, before);
  // Once the other installer has finished, a retry installs.
  scene.installer().install();
  expectInstalled(scene);
}

TEST(InstallTransaction, RunningInstalledHelperBlocksButACopyElsewhereDoesNot) {
  // Matched byte for byte: no locale turns "é" into "?", and a line break
  // does not split the command line.
  ::setenv("LC_ALL", "C", 1);
  InstallScene scene(true, "run-\xc3\xa9\nhome");
  const fs::path installed = scene.applicationTarget / "Contents/MacOS/TavrinoShareHost";
  const fs::path elsewhere = scene.root.path() / "TavrinoShareHost";
  for (const fs::path& program : {installed, elsewhere}) {
    fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
  }
  const auto installWhileRunning = [&](const fs::path& program) {
    const share::testing::Child running({program.string(), "60"}, false);
    return setupErrorOf([&] { scene.installer().install(); });
  };
  const auto before = scene.targets();
  // Started by its full path, or by any other (relative, as "./" or a PATH
  // search would give): the same file runs.
  for (const fs::path& program : {installed, fs::relative(installed)}) {
    EXPECT_EQ(installWhileRunning(program),
              "Stop desktop sharing and close the helper's permission dialog, then try again.")
        << program;
    expectUnchanged(scene, before);
  }
  EXPECT_EQ(installWhileRunning(elsewhere), "(no SetupError)");
  EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
}

// Only folders named and filled as a run stages them are swept; a user's
// look-alikes stay (a folder where a manifest goes: the table of refusals).
TEST(InstallTransaction, UsersOwnFoldersStay) {
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
  scene.installer().install();
  EXPECT_EQ(scene.stagingLeftovers().size(), mine.size());
  for (const auto& folder : mine) EXPECT_TRUE(fs::is_directory(folder)) << folder;
}

// A leftover that cannot be removed (it holds a mount point) stays, and it
// does not block later runs.
TEST(InstallTransaction, UnremovableLeftoverDoesNotBlock) {
  // Made out here, so that it is removed once the child's mounts have gone.
  InstallScene scene;
  if (!inPrivateMounts([&] {
        CompanionInstaller installer = scene.installer();
        failAt(installer, InstallStep::cleanUp, 0);
        installer.install();
        const auto stuck = scene.stagingLeftovers();
        ASSERT_EQ(stuck.size(), 1u);
        ASSERT_EQ(::mount("tmpfs", (stuck[0] / "previous/Contents").c_str(), "tmpfs", 0, nullptr), 0);
        scene.installer().install();
        EXPECT_EQ(scene.stagingLeftovers(), stuck);
      })) {
    GTEST_SKIP() << "no user and mount namespaces here";
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
