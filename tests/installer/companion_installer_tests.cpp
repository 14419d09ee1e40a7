#include "installer/companion_installer.h"
#include "installer_fixture.h"
#include "platform/bundle_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <system_error>

namespace tavrino::setup::testing {
namespace {

TEST(ProcessRunner, ArgumentsAsGivenAndOnlyTheExitStatusDecides) {
  const CompanionInstaller installer("/nonexistent/payload", "/nonexistent/home", {});
  // Arguments one by one, untouched by any shell; standard error is dropped;
  // output that is not UTF-8 counts as none.
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "echo noise >&2; printf '[%s]' \"$@\"", "sh", "a b", "", "\"q\"", "$HOME"}),
            "[a b][][\"q\"][$HOME]");
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf 'ok\\377'"}), "");
  // More than a pipe holds: the output is read before waiting.
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' x"}).size(), 3000000u);
  for (const char* script : {"echo reason >&2; exit 1", "echo fine; exit 3", "kill -9 $$"}) {
    EXPECT_EQ(setupErrorOf([&] { installer.run("/bin/sh", {"-c", script}); }), kIntactSentence) << script;
  }
  // A program that cannot start is the platform's error.
  EXPECT_THROW(installer.run("/nonexistent/tool", {}), std::system_error);
  EXPECT_THROW(installer.run("/etc/hostname", {}), std::system_error);
}

TEST(SignatureCheck, MalformedTeamIsRefusedBeforeAnyToolStarts) {
  for (const char* team : {"TVRN4SHAR", "TVRN4SHARE1", "tVRN4SHARE", "TVRN-SHARE", ""}) {
    CompanionInstaller installer("/payload", "/home", std::string(team));
    installer.signingTool = "/nonexistent/tool";  // starting it would throw a different error
    EXPECT_EQ(setupErrorOf([&] { installer.verify("/app"); }), "Invalid installer signing identity.") << team;
  }
}

// Where the manifests and the lock go: XDG folders count only when absolute.
TEST(CompanionInstaller, FoldersFromTheEnvironment) {
  struct Case { const char* value; fs::path config, data; };
  for (const auto& [value, config, data] : std::vector<Case>{
           {nullptr, "/home/u/.config", "/home/u/.local/share"},
           {"", "/home/u/.config", "/home/u/.local/share"},
           {"relative/xdg", "/home/u/.config", "/home/u/.local/share"},
           {"/xdg", "/xdg", "/xdg"},
       }) {
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      if (value) ::setenv(variable, value, 1); else ::unsetenv(variable);
    }
    const CompanionInstaller made("/payload", "/home/u");
    EXPECT_EQ(made.configHome, config) << (value ? value : "unset");
    EXPECT_EQ(made.dataHome, data) << (value ? value : "unset");
    // Outside a bundle there is no team key.
    EXPECT_FALSE(made.requiredTeam);
  }
}

TEST(BundleInfo, FindsTheBundleFromTheExecutablePath) {
  EXPECT_EQ(bundleFolderOf("/a/Tavrino Sharing Setup.app/Contents/MacOS/TavrinoSharingSetup"),
            fs::path("/a/Tavrino Sharing Setup.app"));
  EXPECT_FALSE(bundleFolderOf("/usr/bin/TavrinoSharingSetup"));
  EXPECT_FALSE(bundleFolderOf("/a/Setup/Contents/MacOS/TavrinoSharingSetup"));
  EXPECT_FALSE(bundleFolderOf("/a/Setup.app/Contents/Resources/TavrinoSharingSetup"));
  // The test program itself is not in a bundle.
  EXPECT_FALSE(mainBundleResourceFolder());
  EXPECT_FALSE(mainBundleInfoString("TavrinoInstallerTeam"));
}

// The built bundle carries the team the installer pins and the store link (an
// install that pins no team would pass end to end just the same); missing
// keys, values that are not strings and files that are no property lists
// read as absent.
TEST(BundleInfo, ReadsStringKeysOnly) {
  EXPECT_EQ(bundleInfoString(TAVRINO_SETUP_BUNDLE, "TavrinoInstallerTeam"), kRequiredTeam);
  EXPECT_EQ(bundleInfoString(TAVRINO_SETUP_BUNDLE, "TavrinoChromeStoreURL"),
            "https://chromewebstore.google.com/detail/clkifonbpdmnopmifbcgjaifkhiclkpk");
  EXPECT_FALSE(bundleInfoString(TAVRINO_SETUP_BUNDLE, "Missing"));
  TempFolder folder;
  const fs::path info = folder.path() / "X.app/Contents/Info.plist";
  fs::create_directories(info.parent_path());
  EXPECT_FALSE(bundleInfoString(folder.path() / "X.app", "Number"));
  writeFile(info, "<plist version=\"1.0\"><dict><key>Number</key><integer>3</integer></dict></plist>\n");
  EXPECT_FALSE(bundleInfoString(folder.path() / "X.app", "Number"));
  writeFile(info, "not a property list");
  EXPECT_FALSE(bundleInfoString(folder.path() / "X.app", "Number"));
}

}  // namespace
}  // namespace tavrino::setup::testing
