#include "installer/staging.h"

#include "installer/setup_error.h"
#include "installer/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwRecoveryFailure() {
  throw SetupError(
      "Installation recovery needs help. Previous files were preserved in .tavrino-install folders beside the "
      "helper and Chrome host registration. Contact Tavrino Support before retrying.");
}

void call(const StepHook& hook, InstallStep step, std::size_t index) {
  if (hook) hook(step, index);
}

std::vector<fs::path> leftoversIn(const fs::path& parent) {
  std::vector<fs::path> found;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(parent, ec))) return found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(kStagingPrefix) && entry.is_directory() && !entry.is_symlink()) {
      found.push_back(entry.path());
    }
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

void createEmptyFile(const fs::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw fs::filesystem_error("Cannot create the file", file, std::error_code(errno, std::generic_category()));
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

void recoverLeftovers(const std::vector<fs::path>& targets, const fs::path& journal, const StepHook& hook) {
  std::vector<std::vector<fs::path>> leftovers;
  for (const auto& target : targets) leftovers.push_back(leftoversIn(target.parent_path()));

  if (entryExists(journal)) {
    for (std::size_t index = 0; index < targets.size(); ++index) {
      std::vector<fs::path> touched;
      for (const auto& leftover : leftovers[index]) {
        if (entryExists(leftover / kBackupName) || entryExists(leftover / kAbsentName)) touched.push_back(leftover);
      }
      // Only one unfinished transaction can have touched a target; more means
      // someone else put folders here, and guessing could destroy files.
      if (touched.size() > 1) throwRecoveryFailure();
      if (touched.empty()) continue;
      try {
        call(hook, InstallStep::recoverLeftover, index);
        restoreTarget(targets[index], touched.front());
      } catch (...) {
        throwRecoveryFailure();
      }
    }
    fs::remove(journal);
  }
  for (const auto& folders : leftovers) {
    for (const auto& folder : folders) fs::remove_all(folder);
  }
}

}  // namespace tavrino::setup
