#include "installer/companion_installer.h"
#include "installer/setup_error.h"
#include "installer_fixture.h"

#include <gtest/gtest.h>

#include <system_error>

namespace tavrino::setup::testing {
namespace {

const std::string kIntactSentence =
    "Installation could not be completed. Check that the download is intact and try again.";

CompanionInstaller plainInstaller() { return CompanionInstaller("/nonexistent/payload", "/nonexistent/home", {}); }

std::string setupErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const SetupError& error) {
    return error.errorDescription();
  }
  return "(no SetupError)";
}

TEST(SetupErrorText, DescriptionIsExactlyTheSentence) {
  const SetupError error("Cannot open the installer lock.");
  EXPECT_EQ(error.errorDescription(), "Cannot open the installer lock.");
  EXPECT_STREQ(error.what(), "Cannot open the installer lock.");
  const SetupError copy = error;
  EXPECT_EQ(copy.errorDescription(), error.errorDescription());
}

TEST(ProcessRunner, PassesArgumentsOneByOneAndReturnsTheOutput) {
  const auto installer = plainInstaller();
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf '[%s]' \"$@\"", "sh", "a b", "", "\"q\"", "$HOME"}),
            "[a b][][\"q\"][$HOME]");
  EXPECT_EQ(installer.run("/bin/true", {}), "");
}

TEST(ProcessRunner, ErrorOutputIsDroppedAndOnlyTheExitStatusDecides) {
  const auto installer = plainInstaller();
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "echo noise >&2; echo out"}), "out\n");
  EXPECT_EQ(setupErrorOf([&] { installer.run("/bin/sh", {"-c", "echo reason >&2; exit 1"}); }), kIntactSentence);
  EXPECT_EQ(setupErrorOf([&] { installer.run("/bin/sh", {"-c", "echo fine; exit 3"}); }), kIntactSentence);
  EXPECT_EQ(setupErrorOf([&] { installer.run("/bin/sh", {"-c", "kill -9 $$"}); }), kIntactSentence);
}

TEST(ProcessRunner, ReadsLargeOutputBeforeWaiting) {
  const auto output = plainInstaller().run("/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' x"});
  EXPECT_EQ(output.size(), 3000000u);
}

TEST(ProcessRunner, OutputThatIsNotUtf8GivesTheEmptyText) {
  const auto installer = plainInstaller();
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf 'ok\\377'"}), "");
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf '\\303\\251t\\303\\251'"}), "\xc3\xa9t\xc3\xa9");
}

TEST(ProcessRunner, LaunchFailureIsThePlatformError) {
  EXPECT_THROW(plainInstaller().run("/nonexistent/tool", {}), std::system_error);
  EXPECT_THROW(plainInstaller().run("/etc/hostname", {}), std::system_error);
}

// A stand-in signing tool that records its arguments, one per line.
struct RecordingTool {
  TempFolder folder;
  fs::path tool = folder.path() / "record";
  fs::path log = folder.path() / "arguments";
  RecordingTool() {
    writeFile(tool, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + log.string() + "'\n");
    fs::permissions(tool, fs::perms::owner_all);
  }
  std::vector<std::string> arguments() const {
    std::vector<std::string> lines;
    std::string all = readFile(log);
    for (std::size_t start = 0; start < all.size();) {
      const auto end = all.find('\n', start);
      lines.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
};

TEST(SignatureCheck, ArgumentsWithAndWithoutTeam) {
  RecordingTool recording;
  const fs::path app = "/some folder/Tavrino Share Helper.app";
  CompanionInstaller installer("/payload", "/home", std::string("TVRN4SHARE"));
  installer.signingTool = recording.tool;
  installer.verify(app);
  const std::string requirement =
      "anchor apple generic and certificate leaf[subject.OU] = \"TVRN4SHARE\" and certificate "
      "leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"net.tavrino.share-companion\"";
  ASSERT_EQ(requirement.size(), 174u);
  EXPECT_EQ(recording.arguments(),
            (std::vector<std::string>{"--verify", "--deep", "--strict", "-R", "=" + requirement, app.string()}));

  installer.requiredTeam.reset();
  installer.verify(app);
  EXPECT_EQ(recording.arguments(), (std::vector<std::string>{"--verify", "--deep", "--strict", app.string()}));
}

TEST(SignatureCheck, MalformedTeamIsRefusedBeforeAnyToolStarts) {
  for (const std::string& team : std::vector<std::string>{"TVRN4SHAR", "TVRN4SHARE1", "tVRN4SHARE", "TVRN-SHARE", "TVRN4SHARE\n", ""}) {
    CompanionInstaller installer("/payload", "/home", team);
    installer.signingTool = "/nonexistent/tool";  // starting it would throw a different error
    EXPECT_EQ(setupErrorOf([&] { installer.verify("/app"); }), "Invalid installer signing identity.") << team;
  }
}

TEST(SignatureCheck, RealToolAcceptsTheSignedApplication) {
  TempFolder folder;
  const fs::path app = makeHelperApp(folder.path(), "1.0");
  ASSERT_TRUE(signApp(app));
  CompanionInstaller installer("/payload", "/home", kRequiredTeam);
  installer.signingTool = TAVRINO_CODESIGN;
  EXPECT_NO_THROW(installer.verify(app));
  EXPECT_EQ(setupErrorOf([&] { installer.verify(folder.path() / "missing.app"); }), kIntactSentence);
  ASSERT_TRUE(signApp(app, "other-team"));
  EXPECT_EQ(setupErrorOf([&] { installer.verify(app); }), kIntactSentence);
  installer.requiredTeam.reset();
  EXPECT_NO_THROW(installer.verify(app));
}

TEST(SignatureCheck, DefaultToolSitsBesideTheProgram) {
  const CompanionInstaller installer("/payload", "/home", std::nullopt);
  EXPECT_EQ(installer.signingTool.filename(), "tavrino-codesign");
  EXPECT_EQ(installer.signingTool.parent_path(), fs::read_symlink("/proc/self/exe").parent_path());
  // Outside a bundle there is no team key.
  EXPECT_FALSE(CompanionInstaller("/payload", "/home").requiredTeam.has_value());
}

}  // namespace
}  // namespace tavrino::setup::testing
