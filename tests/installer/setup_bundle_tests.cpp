#include "installer/companion_installer.h"
#include "installer_fixture.h"
#include "platform/bundle_info.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

const fs::path kSetupBundle = TAVRINO_SETUP_BUNDLE;

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

TEST(BundleInfo, ReadsStringKeysOnly) {
  TempFolder folder;
  const fs::path bundle = folder.path() / "X.app";
  fs::create_directories(bundle / "Contents");
  EXPECT_FALSE(bundleInfoString(bundle, "Key"));
  writeFile(bundle / "Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>Text</key><string>a &amp; b</string><key>Empty</key><string></string>"
            "<key>Number</key><integer>3</integer></dict></plist>\n");
  EXPECT_EQ(bundleInfoString(bundle, "Text"), "a & b");
  EXPECT_EQ(bundleInfoString(bundle, "Empty"), "");
  EXPECT_FALSE(bundleInfoString(bundle, "Number"));
  EXPECT_FALSE(bundleInfoString(bundle, "Missing"));
  writeFile(bundle / "Contents/Info.plist", "not a property list");
  EXPECT_FALSE(bundleInfoString(bundle, "Text"));
}

TEST(SetupBundle, CarriesASignedHelperThatInstalls) {
  EXPECT_EQ(bundleInfoString(kSetupBundle, "TavrinoInstallerTeam"), kRequiredTeam);
  const fs::path payload = kSetupBundle / "Contents/Resources/Payload";
  // Fixed by the public key committed in the reference extension's manifest.
  EXPECT_EQ(readFile(payload / "extension-id.txt"), "clkifonbpdmnopmifbcgjaifkhiclkpk\n");
  EXPECT_EQ(bundleInfoString(kSetupBundle, "TavrinoChromeStoreURL"),
            "https://chromewebstore.google.com/detail/clkifonbpdmnopmifbcgjaifkhiclkpk");
  EXPECT_EQ(verifyExitStatus(payload / "Tavrino Share Helper.app", kRequiredTeam), 0);

  TempFolder home;
  CompanionInstaller installer(payload, home.path(), bundleInfoString(kSetupBundle, "TavrinoInstallerTeam"));
  installer.configHome = home.path() / ".config";
  installer.dataHome = home.path() / ".local/share";
  installer.signingTool = kSetupBundle / "Contents/MacOS/tavrino-codesign";
  installer.install();
  const fs::path app = home.path() / "Applications/Tavrino Share Helper.app";
  for (const char* browser : {"google-chrome", "chromium"}) {
    const std::string manifest =
        readFile(home.path() / ".config" / browser / "NativeMessagingHosts/net.tavrino.share_companion.json");
    EXPECT_NE(manifest.find("\"path\": \"" + (app / "Contents/MacOS/TavrinoShareHost").string() + "\""),
              std::string::npos);
  }
  EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 0);
  const int status = runProgram({(app / "Contents/MacOS/TavrinoShareHost").string(), "--check-build"});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tavrino::setup::testing
