#include "installer_fixture.h"

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

const std::string kRequirement = requirementFor(kRequiredTeam);

// Every tampering starts from a freshly signed bundle; the signature covers
// contents, entries, modes, links and itself.
TEST(SigningTool, AnyChangeToTheBundleIsRefused) {
  TempFolder folder;
  const fs::path app = folder.path() / "Tavrino Share Helper.app";
  const fs::path executable = app / "Contents/MacOS/TavrinoShareHost";
  const fs::path signature = app / "Contents/_CodeSignature/CodeSignature.p7s";
  const auto relink = [&](const fs::path& target) {
    fs::remove(app / "Contents/Resources/Current");
    fs::create_directory_symlink(target, app / "Contents/Resources/Current");
  };
  const std::vector<std::function<void()>> tamperings = {
      [&] { writeFile(app / "Contents/Resources/Strings/en.txt", "version 1.1\n"); },
      [&] { writeFile(app / "Contents/Resources/Strings/fr.txt", "added\n"); },
      [&] { fs::remove(app / "Contents/Resources/Strings/en.txt"); },
      [&] { fs::create_directory(app / "Contents/Plugins"); },
      [&] { fs::permissions(executable, fs::perms::owner_read); },
      [&] { fs::permissions(executable, fs::perms::others_write, fs::perm_options::add); },
      [&] { fs::permissions(executable, fs::perms::set_uid, fs::perm_options::add); },
      [&] { fs::permissions(app / "Contents/Resources", fs::perms::group_write, fs::perm_options::add); },
      [&] { relink("Strings/../Strings"); },
      [&] { relink("/etc"); },
      [&] { writeFile(app / "Contents/_CodeSignature/CodeResources", "extra"); },
      [&] { fs::remove_all(app / "Contents/_CodeSignature"); },
      [&] {
        std::string bytes = readFile(signature);
        bytes[bytes.size() / 2] ^= 1;
        writeFile(signature, bytes);
      },
      [&] { writeFile(signature, readFile(signature) + "appended"); },
  };
  for (std::size_t i = 0; i < tamperings.size(); ++i) {
    fs::remove_all(app);
    ASSERT_TRUE(signApp(makeHelperApp(folder.path(), "1.0")));
    tamperings[i]();
    EXPECT_EQ(verifyExitStatus(app), 1) << "tampering " << i;
    EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1) << "tampering " << i;
  }
}

TEST(SigningTool, SignerMustMatchTheRequirement) {
  TempFolder folder;
  const fs::path app = makeHelperApp(folder.path(), "1.0");
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

  // Links leaving the bundle cannot be signed.
  for (const char* outside : {"../../../outside", "/bin/sh"}) {
    fs::create_symlink(outside, app / "Contents/Resources/escape");
    EXPECT_FALSE(signApp(app)) << outside;
    fs::remove(app / "Contents/Resources/escape");
  }
}

// Anything but the installer's own command line and requirement is a usage error.
TEST(SigningTool, CommandLineIsParsedStrictly) {
  TempFolder folder;
  const std::string path = makeHelperApp(folder.path(), "1.0").string();
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
