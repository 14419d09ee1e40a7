#pragma once

#include "installer/companion_installer.h"

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tavrino::setup::testing {

namespace fs = std::filesystem;

inline const std::string kExtensionId = "abcdefghijklmnopabcdefghijklmnop";
inline const std::string kRequiredTeam = "TVRN4SHARE";
inline const std::string kCodeIdentifier = "net.tavrino.share-companion";

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

// Runs a program without a shell and returns its raw wait status.
int runProgram(const std::vector<std::string>& argv);
// Starts a program in the background (argv[0] is both the file and its name).
pid_t startProgram(const std::vector<std::string>& argv);
void stopProgram(pid_t pid);

// An application folder "Tavrino Share Helper.app" under `parent` with an
// executable, a resource, a nested folder and an inner symbolic link; `version`
// changes the contents. Returns the folder.
fs::path makeHelperApp(const fs::path& parent, const std::string& version);
// Signs with one of the generated certificates ("team", "other-team",
// "no-marker", "foreign"); true when the tool succeeded.
bool signApp(const fs::path& app, const std::string& certificate = "team",
             const std::string& identifier = kCodeIdentifier);
// The tool's exit status for --verify --deep --strict [-R =<requirement for team>] app.
int verifyExitStatus(const fs::path& app, const std::string& team = "");

std::string readFile(const fs::path& file);
void writeFile(const fs::path& file, const std::string& bytes);

// Everything under `root`: relative path -> kind, mode and contents or link target.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root);

// Staging folders left in the two target folders of `home`.
std::vector<fs::path> stagingLeftovers(const fs::path& home);
// Whether a lock on the installer's lock file could be taken right now.
bool lockIsFree(const fs::path& home);

// A payload (signed new helper, identifier file) and a home folder holding an
// earlier installation (signed old helper, old manifest).
struct InstallScene {
  TempFolder root;
  fs::path payload;
  fs::path home;
  fs::path applicationTarget;
  fs::path manifestTarget;

  explicit InstallScene(bool withEarlierInstallation = true);
  CompanionInstaller installer() const;
  std::string expectedManifest() const;
};

}  // namespace tavrino::setup::testing
