#include "installer/companion_installer.h"
#include "installer_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <system_error>

namespace tavrino::setup::testing {
namespace {

TEST(ProcessRunner, OutputReachesTheCaller) {
  const CompanionInstaller installer("/nonexistent/payload", "/nonexistent/home", {});
  // Arguments one by one, untouched by any shell; standard error is dropped.
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf '[%s]' \"$@\"", "sh", "a b", "", "\"q\"", "$HOME"}),
            "[a b][][\"q\"][$HOME]");
  EXPECT_EQ(installer.run("/bin/true", {}), "");
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "echo noise >&2; echo out"}), "out\n");
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf '\\303\\251t\\303\\251'"}), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "printf 'ok\\377'"}), "");
  // More than a pipe holds: the output is read before waiting.
  EXPECT_EQ(installer.run("/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' x"}).size(), 3000000u);
}

TEST(ProcessRunner, OnlyTheExitStatusDecides) {
  const CompanionInstaller installer("/nonexistent/payload", "/nonexistent/home", {});
  for (const char* script : {"echo reason >&2; exit 1", "echo fine; exit 3", "kill -9 $$"}) {
    EXPECT_EQ(setupErrorOf([&] { installer.run("/bin/sh", {"-c", script}); }), kIntactSentence) << script;
  }
  // A program that cannot start is the platform's error.
  EXPECT_THROW(installer.run("/nonexistent/tool", {}), std::system_error);
  EXPECT_THROW(installer.run("/etc/hostname", {}), std::system_error);
}

TEST(SignatureCheck, MalformedTeamIsRefusedBeforeAnyToolStarts) {
  for (const char* team : {"TVRN4SHAR", "TVRN4SHARE1", "tVRN4SHARE", "TVRN-SHARE", "TVRN4SHARE\n", ""}) {
    CompanionInstaller installer("/payload", "/home", std::string(team));
    installer.signingTool = "/nonexistent/tool";  // starting it would throw a different error
    EXPECT_EQ(setupErrorOf([&] { installer.verify("/app"); }), "Invalid installer signing identity.") << team;
  }
}

TEST(CompanionInstaller, DefaultsFromTheProgramAndTheEnvironment) {
  const CompanionInstaller installer("/payload", "/home/u", std::nullopt);
  EXPECT_EQ(installer.signingTool, fs::read_symlink("/proc/self/exe").parent_path() / "tavrino-codesign");
  // Outside a bundle there is no team key.
  EXPECT_FALSE(CompanionInstaller("/payload", "/home/u").requiredTeam.has_value());

  // XDG folders count only when absolute; anything else means the defaults.
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
    const CompanionInstaller made("/payload", "/home/u", std::nullopt);
    EXPECT_EQ(made.configHome, config) << (value ? value : "unset");
    EXPECT_EQ(made.dataHome, data) << (value ? value : "unset");
  }
}

}  // namespace
}  // namespace tavrino::setup::testing
