#include "installer_fixture.h"
#include "platform/bundle_info.h"

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

// Installing from the bundle runs end to end under Xvfb; here, what only the bundle carries.
TEST(SetupBundle, CarriesTheTeamTheStoreLinkAndASignedHelper) {
  EXPECT_EQ(bundleInfoString(kSetupBundle, "TavrinoInstallerTeam"), kRequiredTeam);
  EXPECT_EQ(bundleInfoString(kSetupBundle, "TavrinoChromeStoreURL"),
            "https://chromewebstore.google.com/detail/clkifonbpdmnopmifbcgjaifkhiclkpk");
  EXPECT_EQ(verifyExitStatus(kSetupBundle / "Contents/Resources/Payload/Tavrino Share Helper.app", kRequiredTeam), 0);
}

}  // namespace
}  // namespace tavrino::setup::testing
