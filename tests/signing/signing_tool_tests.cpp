#include "installer_fixture.h"

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

const std::string kRequirement = requirementFor(kRequiredTeam);

class SigningTool : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path app = makeHelperApp(folder.path(), "1.0");
};

TEST_F(SigningTool, AnyChangeToTheBundleIsRefused) {
  const auto relink = [&](const fs::path& target) {
    fs::remove(app / "Contents/Resources/Current");
    fs::create_directory_symlink(target, app / "Contents/Resources/Current");
  };
  const std::vector<std::function<void()>> tamperings = {
      [&] { writeFile(app / "Contents/Resources/Strings/en.txt", "version 1.1\n"); },
      [&] { writeFile(app / "Contents/Resources/Strings/fr.txt", "added\n"); },
      [&] { fs::remove(app / "Contents/Resources/Strings/en.txt"); },
      [&] { fs::create_directory(app / "Contents/Plugins"); },
      [&] { fs::permissions(app / "Contents/MacOS/TavrinoShareHost", fs::perms::owner_read); },
      [&] { fs::permissions(app / "Contents/MacOS/TavrinoShareHost", fs::perms::others_write, fs::perm_options::add); },
      [&] { fs::permissions(app / "Contents/MacOS/TavrinoShareHost", fs::perms::set_uid, fs::perm_options::add); },
      [&] { fs::permissions(app / "Contents/Resources", fs::perms::group_write, fs::perm_options::add); },
      [&] { relink("Strings/../Strings"); },
      [&] { relink("/etc"); },
      [&] { writeFile(app / "Contents/_CodeSignature/CodeResources", "extra"); },
      [&] { fs::remove_all(app / "Contents/_CodeSignature"); },
      [&] {
        std::string signature = readFile(app / "Contents/_CodeSignature/CodeSignature.p7s");
        signature[signature.size() / 2] ^= 1;
        writeFile(app / "Contents/_CodeSignature/CodeSignature.p7s", signature);
      },
      [&] {
        const fs::path file = app / "Contents/_CodeSignature/CodeSignature.p7s";
        writeFile(file, readFile(file) + "appended");
      },
  };
  for (std::size_t i = 0; i < tamperings.size(); ++i) {
    ASSERT_TRUE(signApp(app));
    tamperings[i]();
    EXPECT_EQ(verifyExitStatus(app), 1) << "tampering " << i;
    EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1) << "tampering " << i;
    // Put the bundle back together for the next case.
    fs::remove_all(app);
    app = makeHelperApp(folder.path(), "1.0");
  }
}

TEST_F(SigningTool, SignerMustMatchTheRequirement) {
  struct Case { const char* certificate; const char* identifier; int withoutRequirement, withRequirement; };
  for (const auto& [certificate, identifier, withoutRequirement, withRequirement] : std::vector<Case>{
           {"team", "net.tavrino.share-companion", 0, 0},
           {"other-team", "net.tavrino.share-companion", 0, 1},
           {"no-marker", "net.tavrino.share-companion", 0, 1},
           {"team", "net.tavrino.other", 0, 1},
           {"foreign", "net.tavrino.share-companion", 1, 1},  // not chained to the pinned root
       }) {
    ASSERT_TRUE(signApp(app, certificate, identifier));
    EXPECT_EQ(verifyExitStatus(app), withoutRequirement) << certificate << " " << identifier;
    // Both spellings of the requirement option.
    EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), withRequirement) << certificate << " " << identifier;
    EXPECT_EQ(toolExitStatus({"--verify", "--deep", "--strict", "-R=" + kRequirement, app.string()}), withRequirement)
        << certificate << " " << identifier;
  }
  ASSERT_TRUE(signApp(app, "other-team"));
  EXPECT_EQ(verifyExitStatus(app, "OTHERTEAM1"), 0);
}

TEST_F(SigningTool, LinksLeavingTheBundleCannotBeSigned) {
  fs::create_symlink("../../../outside", app / "Contents/Resources/escape");
  EXPECT_FALSE(signApp(app));
  fs::remove(app / "Contents/Resources/escape");
  fs::create_symlink("/bin/sh", app / "Contents/Resources/escape");
  EXPECT_FALSE(signApp(app));
}

// Anything but the installer's own command line and requirement is a usage error.
TEST_F(SigningTool, CommandLineIsParsedStrictly) {
  const std::string path = app.string();
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {},
           {"--verify", path},
           {"--verify", "--strict", "--deep", path},
           {"--verify", "--deep", "--strict"},
           {"--verify", "--deep", "--strict", path, path},
           {"--verify", "--deep", "--strict", "-R", kRequirement, path},
       }) {
    EXPECT_EQ(toolExitStatus(arguments), 2) << ::testing::PrintToString(arguments);
  }
  for (const std::string& requirement : std::vector<std::string>{
           std::string(),
           kRequirement + " ",
           kRequirement.substr(0, kRequirement.size() - 1),
           requirementFor(""),
           requirementFor("A\\\"B"),
           kRequirement + " or anchor apple",
           "Anchor" + kRequirement.substr(6),
       }) {
    EXPECT_EQ(toolExitStatus({"--verify", "--deep", "--strict", "-R=" + requirement, path}), 2) << requirement;
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
