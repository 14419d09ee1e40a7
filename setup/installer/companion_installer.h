#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrino::setup {

// Points of the install transaction, each reached just before its step runs.
// A test hook may throw there (the step then fails with that error) or stop
// the process there.
enum class InstallStep {
  readIdentifier,
  verifySource,
  createInstallerFolder,
  openLock,
  takeLock,
  listProcesses,
  recoverLeftover,  // index of the target: the application, then the manifests
  prepare,          // index of the staged entry
  copyApplication,
  verifyCopy,
  checkHelper,
  serialiseManifest,
  writeManifest,
  setManifestMode,
  markPending,
  moveAside,  // index of the staged entry
  markAbsent,  // index of the staged entry
  moveIn,     // index of the staged entry
  verifyInstalled,
  markCommitted,
  cleanUp,          // index of the staged entry
  rollBackRemove,   // index of the committed entry
  rollBackRestore,  // index of the committed entry
};

// Installs the share helper for one user as one transaction. A plain value:
// calls do not change it.
struct CompanionInstaller {
  std::filesystem::path payload;  // holds "Tavrino Share Helper.app" and "extension-id.txt"
  std::filesystem::path home;     // the helper is installed under it
  // Where browsers look for host manifests and where the installer keeps its
  // lock: $XDG_CONFIG_HOME and $XDG_DATA_HOME when absolute, else
  // "<home>/.config" and "<home>/.local/share".
  std::filesystem::path configHome;
  std::filesystem::path dataHome;
  std::optional<std::string> requiredTeam;
  // The signature verifier; by default the one inside this program's bundle.
  std::filesystem::path signingTool;
  // How long the copied helper may take to show that it starts on this computer.
  std::chrono::milliseconds helperCheckLimit{10'000};
  // Test seam: the user whose rights the installation runs with.
  std::function<unsigned()> effectiveUser;
  // Test seam: called before each step of install(); empty in the program.
  std::function<void(InstallStep, std::size_t)> stepHook;

  // requiredTeam from the bundle key TavrinoInstallerTeam (absent when missing or empty).
  CompanionInstaller(std::filesystem::path payload, std::filesystem::path home);
  CompanionInstaller(std::filesystem::path payload, std::filesystem::path home,
                     std::optional<std::string> requiredTeam);

  // Throws SetupError, whatever the system reported; only what beforeCommit
  // and stepHook throw leaves unchanged. beforeCommit, when given, is called
  // with the staged index just before that entry is committed: 0 the helper,
  // 1 the Google Chrome manifest, 2 the Chromium manifest, then those of the
  // other browsers found (manifestTargets).
  void install(const std::function<void(std::size_t)>& beforeCommit = {}) const;

  // Throws unless the application folder's signature is valid (and pinned to
  // requiredTeam when one is set).
  void verify(const std::filesystem::path& application) const;

  // Runs a tool without a shell; returns its standard output as UTF-8 (empty
  // when not valid UTF-8); a non-zero exit status or a signal throws SetupError.
  std::string run(const std::string& executable, const std::vector<std::string>& arguments) const;

 private:
  void transact(const std::function<void(std::size_t)>& beforeCommit) const;
};

}  // namespace tavrino::setup
