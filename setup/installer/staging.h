#pragma once

#include "installer/companion_installer.h"

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

namespace tavrino::setup {

inline constexpr std::string_view kStagingPrefix = ".tavrino-install-";

// Names inside a staging folder: the new item before its commit, the item it
// replaced, and a marker that says nothing was there to replace.
inline constexpr std::string_view kStagedName = "payload";
inline constexpr std::string_view kBackupName = "previous";
inline constexpr std::string_view kAbsentName = "absent";

struct StagedEntry {
  std::filesystem::path staged;
  std::filesystem::path target;
  std::filesystem::path backup;
  // A file goes there: whatever else stands at the target is the user's and stays.
  bool file = false;
};

struct CommittedEntry {
  std::filesystem::path target;
  std::filesystem::path backup;
  bool existed;
};

using StepHook = std::function<void(InstallStep, std::size_t)>;

// Whether anything, a dangling symbolic link included, is at the path.
bool entryExists(const std::filesystem::path& path);

// Creates "<parent>/.tavrino-install-<UUID>" with mode 0700; throws filesystem_error.
std::filesystem::path createStagingFolder(const std::filesystem::path& parent);

// Removes each entry's staging folder, ignoring failures.
void removeStagingFolders(const std::vector<StagedEntry>& staged, const StepHook& hook) noexcept;

// Records that the staged entries are about to be committed: `journal` lists
// their staging folders until the commit is done or undone.
void writeJournal(const std::filesystem::path& journal, const std::vector<StagedEntry>& staged);

// Brings the targets back to a consistent state after an installer that died
// (or whose roll-back failed) left staging folders behind. The staging folders
// the journal lists belong to a run that had not passed its commit point:
// each target gets its saved "previous" back, or loses the item that run put
// where nothing was before. Then every leftover staging folder is removed as
// far as possible. Throws the recovery SetupError when a restoration fails.
void recoverLeftovers(const std::vector<std::filesystem::path>& targets, const std::filesystem::path& journal,
                      const StepHook& hook);

// The one place the recovery sentence is raised.
[[noreturn]] void throwRecoveryFailure();

}  // namespace tavrino::setup
