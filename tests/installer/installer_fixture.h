#pragma once

// Helpers for the installer and signing tool tests: temporary folders, the
// signing tool run as the installer runs it, snapshots of folder trees, and a
// payload with a home folder to install into.
#include "installer/companion_installer.h"
#include "installer/setup_error.h"
#include "support/child_process.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
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
inline std::string setupErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const SetupError& error) {
    return error.errorDescription();
  }
  return "(no SetupError)";
}

// The requirement the installer hands the signing tool for `team`.
inline std::string requirementFor(const std::string& team) {
  return "anchor apple generic and certificate leaf[subject.OU] = \"" + team +
         "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and identifier "
         "\"net.tavrino.share-companion\"";
}

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tavrino-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// "Tavrino Share Helper.app" under `parent` with an executable, a resource, a
// nested folder and an inner symbolic link; `version` changes the contents.
inline fs::path makeHelperApp(const fs::path& parent, const std::string& version) {
  const fs::path app = parent / "Tavrino Share Helper.app";
  fs::create_directories(app / "Contents/MacOS");
  fs::create_directories(app / "Contents/Resources/Strings");
  writeFile(app / "Contents/Info.plist", "<plist><dict><key>CFBundleVersion</key><string>" + version +
                                             "</string></dict></plist>\n");
  const fs::path executable = app / "Contents/MacOS/TavrinoShareHost";
  // The installer runs it only to see that it starts, as the browser would.
  writeFile(executable, "#!/bin/sh\n[ \"$*\" = --check-build ] && [ -z \"$LD_LIBRARY_PATH\" ] || exit 2\n"
                        "echo 'Tavrino Share Helper " + version + "'\n");
  fs::permissions(executable, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  writeFile(app / "Contents/Resources/Strings/en.txt", "version " + version + "\n");
  fs::create_directory_symlink("Strings", app / "Contents/Resources/Current");
  return app;
}

// The signing tool's exit status (128 + the signal when killed) for `arguments`.
inline int toolExitStatus(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{TAVRINO_CODESIGN};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const int status = share::testing::Child(argv, false).wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Signs with one of the generated certificates ("team", "other-team",
// "no-marker", "foreign"); true when the tool succeeded.
inline bool signApp(const fs::path& app, const std::string& certificate = "team",
                    const std::string& identifier = "net.tavrino.share-companion") {
  const std::string certs = TAVRINO_DEV_CERTS;
  std::vector<std::string> arguments{"--sign", "--certificate", certs + "/" + certificate + ".pem",
                                     "--key", certs + "/" + certificate + ".key"};
  if (certificate != "foreign") arguments.insert(arguments.end(), {"--chain", certs + "/ca.pem"});
  arguments.insert(arguments.end(), {"--identifier", identifier, app.string()});
  return toolExitStatus(arguments) == 0;
}

// The tool's exit status for --verify --deep --strict [-R =<requirement for team>] app.
inline int verifyExitStatus(const fs::path& app, const std::string& team = "") {
  std::vector<std::string> arguments{"--verify", "--deep", "--strict"};
  // Appended: g++ 12 at -O3 takes `"=" + requirementFor(team)` for an
  // overlapping copy (a false -Wrestrict).
  if (!team.empty()) arguments.insert(arguments.end(), {"-R", std::string("=").append(requirementFor(team))});
  arguments.push_back(app.string());
  return toolExitStatus(arguments);
}

// Everything under `root`: relative path -> mode and contents or link target.
using Snapshot = std::map<std::string, std::string>;
inline Snapshot snapshot(const fs::path& root) {
  Snapshot result;
  std::error_code ec;
  if (!fs::is_directory(fs::status(root, ec))) return result;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const fs::path& path = entry.path();
    struct stat info {};
    ::lstat(path.c_str(), &info);
    std::ostringstream description;
    description << std::oct << (info.st_mode & 07777) << ' ';
    if (S_ISLNK(info.st_mode)) {
      description << "link " << fs::read_symlink(path).string();
    } else if (S_ISDIR(info.st_mode)) {
      description << "folder";
    } else {
      description << "file " << readFile(path);
    }
    result[path.lexically_relative(root).string()] = description.str();
  }
  return result;
}

// An installer of `payload` into `home` that checks with the built signing tool.
inline CompanionInstaller installerFor(const fs::path& payload, const fs::path& home) {
  CompanionInstaller installer(payload, home, kRequiredTeam);
  installer.configHome = home / ".config";
  installer.dataHome = home / ".local/share";
  installer.signingTool = TAVRINO_CODESIGN;
  return installer;
}

// A payload (signed new helper, identifier file) and a home folder holding an
// earlier installation as the release before Chromium support left it (signed
// old helper, old Google Chrome manifest, no Chromium manifest).
struct InstallScene {
  TempFolder root;
  fs::path payload = root.path() / "Payload";
  fs::path home;
  fs::path applicationTarget;
  std::vector<fs::path> manifestTargets;  // Google Chrome, Chromium, then those added

  explicit InstallScene(bool withEarlierInstallation = true, const std::string& homeName = "home dir")
      : home(root.path() / homeName), applicationTarget(home / "Applications/Tavrino Share Helper.app") {
    fs::create_directories(home);
    if (!signApp(makeHelperApp(payload, "2.0"))) throw std::runtime_error("cannot sign the payload");
    writeFile(payload / "extension-id.txt", kExtensionId + "\n");
    for (const char* browser : {"google-chrome", "chromium"}) {
      manifestTargets.push_back(home / ".config" / browser / "NativeMessagingHosts/net.tavrino.share_companion.json");
    }
    if (withEarlierInstallation) {
      if (!signApp(makeHelperApp(home / "Applications", "1.0"))) throw std::runtime_error("cannot sign the old app");
      fs::create_directories(manifestTargets[0].parent_path());
      writeFile(manifestTargets[0], "{\"name\": \"an earlier manifest\"}\n");
      fs::permissions(manifestTargets[0], fs::perms::owner_read | fs::perms::owner_write);
    }
  }

  // A browser whose folder is there, under the configuration folder: its
  // manifest is one more target.
  void addBrowser(const std::string& configFolder) {
    const fs::path folder = home / ".config" / configFolder;
    fs::create_directories(folder);
    manifestTargets.push_back(folder / "NativeMessagingHosts/net.tavrino.share_companion.json");
  }

  CompanionInstaller installer() const { return installerFor(payload, home); }

  std::string expectedManifest() const {
    const std::string executable = (applicationTarget / "Contents/MacOS/TavrinoShareHost").string();
    return "{\n  \"allowed_origins\": [\n    \"chrome-extension://" + kExtensionId +
           "/\"\n  ],\n  \"description\": \"Tavrino protected desktop sharing\",\n  \"name\": "
           "\"net.tavrino.share_companion\",\n  \"path\": \"" +
           executable + "\",\n  \"type\": \"stdio\"\n}";
  }

  // The contents of the target folders.
  std::vector<Snapshot> targets() const {
    std::vector<Snapshot> result{snapshot(applicationTarget.parent_path())};
    for (const auto& manifest : manifestTargets) result.push_back(snapshot(manifest.parent_path()));
    return result;
  }

  // Staging folders left in the target folders.
  std::vector<fs::path> stagingLeftovers() const {
    std::vector<fs::path> found;
    std::vector<fs::path> targets{applicationTarget};
    targets.insert(targets.end(), manifestTargets.begin(), manifestTargets.end());
    for (const fs::path& target : targets) {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(target.parent_path(), ec)) {
        if (entry.path().filename().string().starts_with(".tavrino-install-")) found.push_back(entry.path());
      }
    }
    return found;
  }
};

// The targets hold exactly `before` and nothing is staged; a lock left taken
// shows in the next install of the same process.
inline void expectUnchanged(const InstallScene& scene, const std::vector<Snapshot>& before) {
  EXPECT_EQ(scene.targets(), before);
  EXPECT_TRUE(scene.stagingLeftovers().empty());
}

// The payload's helper and the expected manifests are installed and cleaned up after.
inline void expectInstalled(const InstallScene& scene) {
  for (const auto& manifest : scene.manifestTargets) {
    EXPECT_EQ(readFile(manifest), scene.expectedManifest()) << manifest;
    EXPECT_EQ(fs::status(manifest).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  // The same entries, modes and contents as the signed payload.
  EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
  EXPECT_TRUE(scene.stagingLeftovers().empty());
}

}  // namespace tavrino::setup::testing
