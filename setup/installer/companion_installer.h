#pragma once

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
  recoverLeftover,  // index: 0 for the application, 1 for the manifest
  prepare,          // index of the staged entry
  copyApplication,
  verifyCopy,
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
  std::filesystem::path home;     // every installed path is formed under it
  std::optional<std::string> requiredTeam;
  // The signature verifier; by default the one inside this program's bundle.
  std::filesystem::path signingTool;
  // Test seam: called before each step of install(); empty in the program.
  std::function<void(InstallStep, std::size_t)> stepHook;

  // requiredTeam from the bundle key TavrinoInstallerTeam (absent when missing or empty).
  CompanionInstaller(std::filesystem::path payload, std::filesystem::path home);
  CompanionInstaller(std::filesystem::path payload, std::filesystem::path home,
                     std::optional<std::string> requiredTeam);

  // Throws SetupError or a platform error. beforeCommit, when given, is called
  // with the staged index (0, then 1) just before that entry is committed.
  void install(const std::function<void(std::size_t)>& beforeCommit = {}) const;

  // Throws unless the application folder's signature is valid (and pinned to
  // requiredTeam when one is set).
  void verify(const std::filesystem::path& application) const;

  // Runs a tool without a shell; returns its standard output as UTF-8 (empty
  // when not valid UTF-8); a non-zero exit status or a signal throws SetupError.
  std::string run(const std::string& executable, const std::vector<std::string>& arguments) const;
};

}  // namespace tavrino::setup
