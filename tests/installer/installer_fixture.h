#pragma once

#include "installer/companion_installer.h"

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrino::setup::testing {

namespace fs = std::filesystem;

inline const std::string kExtensionId = "abcdefghijklmnopabcdefghijklmnop";
inline const std::string kRequiredTeam = "TVRN4SHARE";
inline const std::string kIntactSentence =
    "Installation could not be completed. Check that the download is intact and try again.";

struct Injected : std::runtime_error {
  Injected() : std::runtime_error("injected failure") {}
};

// The SetupError sentence that `action` throws, or "(no SetupError)".
std::string setupErrorOf(const std::function<void()>& action);
// The requirement the installer hands the signing tool for `team`.
std::string requirementFor(const std::string& team);

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Starts a program in the background (argv[0] is both the file and its name).
pid_t startProgram(const std::vector<std::string>& argv);

// "Tavrino Share Helper.app" under `parent` with an executable, a resource, a
// nested folder and an inner symbolic link; `version` changes the contents.
fs::path makeHelperApp(const fs::path& parent, const std::string& version);
// The signing tool's exit status (128 + the signal when killed) for `arguments`.
int toolExitStatus(const std::vector<std::string>& arguments);
// Signs with one of the generated certificates ("team", "other-team",
// "no-marker", "foreign"); true when the tool succeeded.
bool signApp(const fs::path& app, const std::string& certificate = "team",
             const std::string& identifier = "net.tavrino.share-companion");
// The tool's exit status for --verify --deep --strict [-R =<requirement for team>] app.
int verifyExitStatus(const fs::path& app, const std::string& team = "");

std::string readFile(const fs::path& file);
void writeFile(const fs::path& file, const std::string& bytes);

// Everything under `root`: relative path -> mode and contents or link target.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root);

// A payload (signed new helper, identifier file) and a home folder holding an
// earlier installation as the release before Chromium support left it (signed
// old helper, old Google Chrome manifest, no Chromium manifest).
struct InstallScene {
  TempFolder root;
  fs::path payload;
  fs::path home;
  fs::path dataHome;
  fs::path applicationTarget;
  std::vector<fs::path> manifestTargets;  // Google Chrome, Chromium

  explicit InstallScene(bool withEarlierInstallation = true, const std::string& homeName = "home dir");
  CompanionInstaller installer() const;
  std::string expectedManifest() const;
  // The contents of the three target folders.
  std::vector<Snapshot> targets() const;
  // Staging folders left in the target folders.
  std::vector<fs::path> stagingLeftovers() const;
};

// The targets hold exactly `before` and nothing is staged; a lock left taken
// shows in the next install of the same process.
void expectUnchanged(const InstallScene& scene, const std::vector<Snapshot>& before);
// The payload's helper and the expected manifests are installed and cleaned up after.
void expectInstalled(const InstallScene& scene);

}  // namespace tavrino::setup::testing
