#include "installer_fixture.h"

#include "installer/setup_error.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace tavrino::setup::testing {

std::string setupErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const SetupError& error) {
    return error.errorDescription();
  }
  return "(no SetupError)";
}

std::string requirementFor(const std::string& team) {
  return "anchor apple generic and certificate leaf[subject.OU] = \"" + team +
         "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and identifier "
         "\"net.tavrino.share-companion\"";
}

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "tavrino-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

pid_t startProgram(const std::vector<std::string>& argv) {
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (auto& argument : copies) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, copies[0].c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

fs::path makeHelperApp(const fs::path& parent, const std::string& version) {
  const fs::path app = parent / "Tavrino Share Helper.app";
  fs::create_directories(app / "Contents/MacOS");
  fs::create_directories(app / "Contents/Resources/Strings");
  writeFile(app / "Contents/Info.plist", "<plist><dict><key>CFBundleVersion</key><string>" + version +
                                             "</string></dict></plist>\n");
  const fs::path executable = app / "Contents/MacOS/TavrinoShareHost";
  writeFile(executable, "#!/bin/sh\necho 'Tavrino Share Helper " + version + "'\n");
  fs::permissions(executable, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  writeFile(app / "Contents/Resources/Strings/en.txt", "version " + version + "\n");
  fs::create_directory_symlink("Strings", app / "Contents/Resources/Current");
  return app;
}

int toolExitStatus(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{TAVRINO_CODESIGN};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const pid_t pid = startProgram(argv);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool signApp(const fs::path& app, const std::string& certificate, const std::string& identifier) {
  const std::string certs = TAVRINO_DEV_CERTS;
  std::vector<std::string> arguments{"--sign", "--certificate", certs + "/" + certificate + ".pem",
                                     "--key", certs + "/" + certificate + ".key"};
  if (certificate != "foreign") arguments.insert(arguments.end(), {"--chain", certs + "/ca.pem"});
  arguments.insert(arguments.end(), {"--identifier", identifier, app.string()});
  return toolExitStatus(arguments) == 0;
}

int verifyExitStatus(const fs::path& app, const std::string& team) {
  std::vector<std::string> arguments{"--verify", "--deep", "--strict"};
  // Appended: g++ 12 at -O3 takes `"=" + requirementFor(team)` for an
  // overlapping copy (a false -Wrestrict).
  if (!team.empty()) arguments.insert(arguments.end(), {"-R", std::string("=").append(requirementFor(team))});
  arguments.push_back(app.string());
  return toolExitStatus(arguments);
}

Snapshot snapshot(const fs::path& root) {
  Snapshot result;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return result;
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

InstallScene::InstallScene(bool withEarlierInstallation, const std::string& homeName) {
  payload = root.path() / "Payload";
  home = root.path() / homeName;
  dataHome = home / ".local/share";
  fs::create_directories(payload);
  fs::create_directories(home);
  if (!signApp(makeHelperApp(payload, "2.0"))) throw std::runtime_error("cannot sign the payload");
  writeFile(payload / "extension-id.txt", kExtensionId + "\n");
  applicationTarget = home / "Applications/Tavrino Share Helper.app";
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

CompanionInstaller InstallScene::installer() const {
  CompanionInstaller installer(payload, home, kRequiredTeam);
  installer.configHome = home / ".config";
  installer.dataHome = dataHome;
  installer.signingTool = TAVRINO_CODESIGN;
  return installer;
}

std::string InstallScene::expectedManifest() const {
  const std::string executable = (applicationTarget / "Contents/MacOS/TavrinoShareHost").string();
  return "{\n  \"allowed_origins\": [\n    \"chrome-extension://" + kExtensionId +
         "/\"\n  ],\n  \"description\": \"Tavrino protected desktop sharing\",\n  \"name\": "
         "\"net.tavrino.share_companion\",\n  \"path\": \"" +
         executable + "\",\n  \"type\": \"stdio\"\n}";
}

std::vector<Snapshot> InstallScene::targets() const {
  std::vector<Snapshot> result{snapshot(applicationTarget.parent_path())};
  for (const auto& manifest : manifestTargets) result.push_back(snapshot(manifest.parent_path()));
  return result;
}

std::vector<fs::path> InstallScene::stagingLeftovers() const {
  std::vector<fs::path> found;
  std::vector<fs::path> folders{applicationTarget};
  folders.insert(folders.end(), manifestTargets.begin(), manifestTargets.end());
  for (const fs::path& target : folders) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target.parent_path(), ec)) {
      if (entry.path().filename().string().starts_with(".tavrino-install-")) found.push_back(entry.path());
    }
  }
  return found;
}
void expectUnchanged(const InstallScene& scene, const std::vector<Snapshot>& before) {
  EXPECT_EQ(scene.targets(), before);
  EXPECT_TRUE(scene.stagingLeftovers().empty());
}

void expectInstalled(const InstallScene& scene) {
  for (const auto& manifest : scene.manifestTargets) {
    EXPECT_EQ(readFile(manifest), scene.expectedManifest()) << manifest;
    EXPECT_EQ(fs::status(manifest).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  // The same entries, modes and contents as the signed payload.
  EXPECT_EQ(snapshot(scene.applicationTarget), snapshot(scene.payload / "Tavrino Share Helper.app"));
  EXPECT_TRUE(scene.stagingLeftovers().empty());
}

}  // namespace tavrino::setup::testing
