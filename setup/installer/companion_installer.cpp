#include "installer/companion_installer.h"

#include "installer/child_process.h"
#include "installer/plain_words.h"
#include "installer/setup_error.h"
#include "installer/unique_fd.h"
#include "installer/user_ownership.h"
#include "installer/utf8_text.h"
#include "platform/bundle_info.h"
#include "platform/user_folders.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

std::optional<std::string> teamFromBundle() {
  auto team = mainBundleInfoString("TavrinoInstallerTeam");
  if (!team || team->empty()) return std::nullopt;
  return team;
}

// Ten upper-case letters or digits.
bool isTeamIdentifier(const std::string& team) {
  return team.size() == 10 &&
         std::all_of(team.begin(), team.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// The verifier ships beside the setup executable, in "Contents/MacOS" of its bundle.
fs::path defaultSigningTool() { return mainExecutablePath().parent_path() / "tavrino-codesign"; }

}  // namespace

CompanionInstaller::CompanionInstaller(fs::path payload, fs::path home)
    : CompanionInstaller(std::move(payload), std::move(home), teamFromBundle()) {}

CompanionInstaller::CompanionInstaller(fs::path payload, fs::path home, std::optional<std::string> requiredTeam)
    : payload(std::move(payload)),
      home(std::move(home)),
      configHome(xdgFolder("XDG_CONFIG_HOME", this->home / ".config")),
      dataHome(xdgFolder("XDG_DATA_HOME", this->home / ".local/share")),
      requiredTeam(std::move(requiredTeam)),
      signingTool(defaultSigningTool()),
      effectiveUser(currentEffectiveUser) {}

void CompanionInstaller::verify(const fs::path& application) const {
  std::vector<std::string> arguments{"--verify", "--deep", "--strict"};
  if (requiredTeam) {
    if (!isTeamIdentifier(*requiredTeam)) throw SetupError("Invalid installer signing identity.");
    const std::string requirement = "anchor apple generic and certificate leaf[subject.OU] = \"" + *requiredTeam +
                                    "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
                                    "identifier \"net.tavrino.share-companion\"";
    arguments.push_back("-R");
    arguments.push_back("=" + requirement);
  }
  arguments.push_back(application.string());
  try {
    run(signingTool.string(), arguments);
  } catch (const std::system_error& error) {
    // The checker ships inside this program's bundle.
    throw SetupError(kDownloadDamaged, "The signature check could not start: " + error.code().message() + ".");
  }
}

std::string CompanionInstaller::run(const std::string& executable, const std::vector<std::string>& arguments) const {
  auto [readEnd, writeEnd] = makePipe();

  SpawnActions actions;
  actions.open(STDERR_FILENO, "/dev/null", O_WRONLY);
  actions.dup2(writeEnd.get(), STDOUT_FILENO);
  ChildProcess child(executable, arguments, actions);
  writeEnd.reset();

  std::string output;
  if (!readPieces(readEnd.get(), [&](std::string_view bytes) { output.append(bytes); })) {
    throw std::system_error(errno, std::generic_category(), "Cannot read the output of " + executable);
  }
  const int status = child.wait();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw SetupError(kDownloadDamaged);
  }
  return isValidUtf8(output) ? output : std::string();
}

}  // namespace tavrino::setup
