#include "installer_fixture.h"
#include "requirement.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace tavrino::setup::testing {
namespace {

using signing::parseRequirement;

const std::string kRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"TVRN4SHARE\" and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"net.tavrino.share-companion\"";

int exitStatusOf(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{TAVRINO_CODESIGN};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const int status = runProgram(argv);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SigningTool : public ::testing::Test {
 protected:
  void SetUp() override {
    app = makeHelperApp(folder.path(), "1.0");
    ASSERT_TRUE(signApp(app));
    ASSERT_EQ(verifyExitStatus(app, kRequiredTeam), 0);
  }
  TempFolder folder;
  fs::path app;
};

TEST_F(SigningTool, AcceptsBothRequirementForms) {
  EXPECT_EQ(verifyExitStatus(app), 0);
  EXPECT_EQ(exitStatusOf({"--verify", "--deep", "--strict", "-R=" + kRequirement, app.string()}), 0);
  EXPECT_EQ(exitStatusOf({"--verify", "--deep", "--strict", "-R", "=" + kRequirement, app.string()}), 0);
}

TEST_F(SigningTool, AnyChangeToTheBundleIsRefused) {
  const std::vector<std::function<void()>> tamperings = {
      [&] { writeFile(app / "Contents/Resources/Strings/en.txt", "version 1.1\n"); },
      [&] { writeFile(app / "Contents/Resources/Strings/fr.txt", "added\n"); },
      [&] { fs::remove(app / "Contents/Resources/Strings/en.txt"); },
      [&] { fs::create_directory(app / "Contents/Plugins"); },
      [&] { fs::permissions(app / "Contents/MacOS/TavrinoShareHost", fs::perms::owner_read); },
      [&] {
        fs::remove(app / "Contents/Resources/Current");
        fs::create_directory_symlink("Strings/../Strings", app / "Contents/Resources/Current");
      },
      [&] {
        fs::remove(app / "Contents/Resources/Current");
        fs::create_directory_symlink("/etc", app / "Contents/Resources/Current");
      },
      [&] { writeFile(app / "Contents/_CodeSignature/CodeResources", "extra"); },
      [&] { fs::remove_all(app / "Contents/_CodeSignature"); },
      [&] {
        std::string signature = readFile(app / "Contents/_CodeSignature/CodeSignature.p7s");
        signature[signature.size() / 2] ^= 1;
        writeFile(app / "Contents/_CodeSignature/CodeSignature.p7s", signature);
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
  ASSERT_TRUE(signApp(app, "other-team"));
  EXPECT_EQ(verifyExitStatus(app), 0);
  EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1);
  EXPECT_EQ(verifyExitStatus(app, "OTHERTEAM1"), 0);

  ASSERT_TRUE(signApp(app, "no-marker"));
  EXPECT_EQ(verifyExitStatus(app), 0);
  EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1);

  ASSERT_TRUE(signApp(app, "team", "net.tavrino.other"));
  EXPECT_EQ(verifyExitStatus(app), 0);
  EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1);
}

TEST_F(SigningTool, OnlyThePinnedRootIsTrusted) {
  ASSERT_TRUE(signApp(app, "foreign"));
  EXPECT_EQ(verifyExitStatus(app), 1);
  EXPECT_EQ(verifyExitStatus(app, kRequiredTeam), 1);
}

TEST_F(SigningTool, LinksLeavingTheBundleCannotBeSigned) {
  fs::create_symlink("../../../outside", app / "Contents/Resources/escape");
  EXPECT_FALSE(signApp(app));
  fs::remove(app / "Contents/Resources/escape");
  fs::create_symlink("/bin/sh", app / "Contents/Resources/escape");
  EXPECT_FALSE(signApp(app));
}

TEST_F(SigningTool, CommandLineIsParsedStrictly) {
  const std::string path = app.string();
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {},
           {"--verify", path},
           {"--verify", "--strict", "--deep", path},
           {"--verify", "--deep", "--strict"},
           {"--verify", "--deep", "--strict", "-R", kRequirement, path},
           {"--verify", "--deep", "--strict", "-R=" + kRequirement + " ", path},
           {"--verify", "--deep", "--strict", "-R=identifier \"net.tavrino.share-companion\"", path},
           {"--verify", "--deep", "--strict", path, path},
       }) {
    EXPECT_EQ(exitStatusOf(arguments), 2) << ::testing::PrintToString(arguments);
  }
}

TEST(Requirement, ParsesExactlyTheInstallersForm) {
  const auto parsed = parseRequirement(kRequirement);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->team, "TVRN4SHARE");
  EXPECT_EQ(parsed->identifier, "net.tavrino.share-companion");
  for (const std::string& bad : std::vector<std::string>{
           std::string(),
           kRequirement.substr(0, kRequirement.size() - 1),
           "anchor apple and certificate leaf[subject.OU] = \"TVRN4SHARE\"",
           "anchor apple generic and certificate leaf[subject.OU] = \"\" and certificate "
           "leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"x\"",
           "anchor apple generic and certificate leaf[subject.OU] = \"A\\\"B\" and certificate "
           "leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"x\"",
           kRequirement + " or anchor apple",
           "Anchor" + kRequirement.substr(6),
       }) {
    EXPECT_FALSE(parseRequirement(bad)) << bad;
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
