#include "installer/staging.h"

#include "installer/file_writing.h"
#include "installer/setup_error.h"
#include "installer/utf8_text.h"

#include <sys/stat.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

void call(const StepHook& hook, InstallStep step, std::size_t index) {
  if (hook) hook(step, index);
}

// The prefix followed by a canonical upper-case UUID, as createStagingFolder names them.
bool isStagingName(std::string_view name) {
  if (!name.starts_with(kStagingPrefix)) return false;
  name.remove_prefix(kStagingPrefix.size());
  if (name.size() != 36) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// A folder with a staging name that holds nothing but what a run stages; a
// user's own folder that merely looks alike is never touched.
bool isLeftover(const fs::directory_entry& entry) {
  std::error_code ec;
  if (!isStagingName(entry.path().filename().string()) || !fs::is_directory(entry.symlink_status(ec))) return false;
  fs::directory_iterator inside(entry.path(), ec);
  for (const fs::directory_iterator end; !ec && inside != end; inside.increment(ec)) {
    const std::string name = inside->path().filename().string();
    if (name != kStagedName && name != kBackupName && name != kAbsentName) return false;
  }
  return !ec;
}

std::vector<fs::path> leftoversIn(const fs::path& parent) {
  std::vector<fs::path> found;
  std::error_code ec;
  // Followed as the install follows it: a linked folder holds the staging folders.
  if (!fs::is_directory(fs::status(parent, ec))) return found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (isLeftover(entry)) found.push_back(entry.path());
  }
  return found;
}

// Undoes what an unfinished transaction did to one target.
void restoreTarget(const fs::path& target, const fs::path& leftover) {
  const fs::path backup = leftover / kBackupName;
  if (entryExists(backup)) {
    if (entryExists(target)) fs::remove_all(target);
    fs::rename(backup, target);
  } else if (entryExists(leftover / kAbsentName)) {
    if (entryExists(target)) fs::remove_all(target);
  }
}

}  // namespace

void throwRecoveryFailure() {
  throw SetupError(
      "Installation recovery needs help. Previous files were preserved in .tavrino-install folders beside the "
      "helper and Chrome host registration. Contact Tavrino Support before retrying.");
}

bool entryExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

fs::path createStagingFolder(const fs::path& parent) {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  const fs::path folder = parent / (std::string(kStagingPrefix) + text);
  if (::mkdir(folder.c_str(), 0700) != 0) {
    throw fs::filesystem_error("Cannot create the staging folder", folder,
                               std::error_code(errno, std::generic_category()));
  }
  // The umask may have taken bits away; the folder is owner-only either way.
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  return folder;
}

void removeStagingFolders(const std::vector<StagedEntry>& staged, const StepHook& hook) noexcept {
  for (std::size_t index = 0; index < staged.size(); ++index) {
    try {
      call(hook, InstallStep::cleanUp, index);
      std::error_code ec;
      fs::remove_all(staged[index].staged.parent_path(), ec);
    } catch (...) {
      // A folder that cannot be removed stays; the next one is still tried.
    }
  }
}

void writeJournal(const fs::path& journal, const std::vector<StagedEntry>& staged) {
  std::string names;
  for (const auto& entry : staged) names += entry.staged.parent_path().filename().string() + "\n";
  writeNewFile(journal, names);
}

void recoverLeftovers(const std::vector<fs::path>& targets, const fs::path& journal, const StepHook& hook) {
  std::vector<std::vector<fs::path>> leftovers;
  for (const auto& target : targets) leftovers.push_back(leftoversIn(target.parent_path()));

  if (entryExists(journal)) {
    // The unfinished run's own folders; leftovers of any other run hold
    // nothing that still needs to go back.
    std::vector<std::string> pending;
    const std::string listed = readUtf8File(journal);
    for (std::string_view rest = listed; !rest.empty();) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      pending.emplace_back(rest.substr(0, end));
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    for (std::size_t index = 0; index < targets.size(); ++index) {
      for (const auto& leftover : leftovers[index]) {
        if (std::find(pending.begin(), pending.end(), leftover.filename().string()) == pending.end()) continue;
        try {
          call(hook, InstallStep::recoverLeftover, index);
          restoreTarget(targets[index], leftover);
        } catch (...) {
          throwRecoveryFailure();
        }
      }
    }
    fs::remove(journal);
  }
  for (const auto& folders : leftovers) {
    for (const auto& folder : folders) {
      // What cannot be removed stays; it must not stop this installation.
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  }
}

}  // namespace tavrino::setup
