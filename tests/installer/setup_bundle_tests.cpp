#include "installer_fixture.h"
#include "platform/bundle_info.h"

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

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

// Installing from the bundle (its signed helper) runs end to end under Xvfb;
// an install that pins no team, or a missing link, would not show there.
TEST(SetupBundle, CarriesTheTeamAndTheStoreLink) {
  EXPECT_EQ(bundleInfoString(TAVRINO_SETUP_BUNDLE, "TavrinoInstallerTeam"), kRequiredTeam);
  EXPECT_EQ(bundleInfoString(TAVRINO_SETUP_BUNDLE, "TavrinoChromeStoreURL"),
            "https://chromewebstore.google.com/detail/clkifonbpdmnopmifbcgjaifkhiclkpk");
}

}  // namespace
}  // namespace tavrino::setup::testing
