#include "installer/browsers.h"
#include "installer/companion_installer.h"
#include "installer/file_writing.h"
#include "installer/helper_check.h"
#include "installer/install_lock.h"
#include "installer/plain_words.h"
#include "installer/running_processes.h"
#include "installer/setup_error.h"
#include "installer/staging.h"
#include "installer/user_ownership.h"
#include "installer/utf8_text.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <string_view>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

bool isExtensionIdentifier(std::string_view text) {
  if (text.size() != 32) return false;
  for (const char c : text) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

// One call of install(): the records that commit, roll-back and clean-up share.
class Transaction {
 public:
  explicit Transaction(const StepHook& hook) : hook_(hook) {}

  void step(InstallStep step, std::size_t index = 0) const {
    if (hook_) hook_(step, index);
  }

  fs::path prepare(const fs::path& target, bool file) {
    step(InstallStep::prepare, staged_.size());
    fs::create_directories(target.parent_path());
    const fs::path folder = createStagingFolder(target.parent_path());
    staged_.push_back({folder / kStagedName, target, folder / kBackupName, file});
    return staged_.back().staged;
  }

  void commit(const std::function<void(std::size_t)>& beforeCommit) {
    for (std::size_t index = 0; index < staged_.size(); ++index) {
      const StagedEntry& entry = staged_[index];
      if (beforeCommit) beforeCommit(index);
      const bool existed = entryExists(entry.target);
      // What is moved aside is removed once the install is done, so only
      // what we put there may be: a file, or a link (never what it points to).
      std::error_code unreadable;
      const fs::file_status found = fs::symlink_status(entry.target, unreadable);
      if (entry.file && existed && !fs::is_regular_file(found) && !fs::is_symlink(found)) {
        throw SetupError(
            "Something other than a file stands where the browser's registration goes; move it away and try "
            "again.",
            "It stands at " + entry.target.string() + ".");
      }
      if (existed) {
        step(InstallStep::moveAside, index);
        fs::rename(entry.target, entry.backup);
      }
      committed_.push_back({entry.target, entry.backup, existed});
      if (!existed) {
        // Tells a later run that recovers from a crash that the target was empty.
        step(InstallStep::markAbsent, index);
        writeNewFile(entry.staged.parent_path() / kAbsentName, {});
      }
      step(InstallStep::moveIn, index);
      fs::rename(entry.staged, entry.target);
    }
  }

  // False when a step failed: everything stays where it is.
  bool rollBack() noexcept {
    try {
      for (std::size_t index = committed_.size(); index-- > 0;) {
        const CommittedEntry& entry = committed_[index];
        step(InstallStep::rollBackRemove, index);
        if (entryExists(entry.target)) fs::remove_all(entry.target);
        if (entry.existed) {
          step(InstallStep::rollBackRestore, index);
          fs::rename(entry.backup, entry.target);
        }
      }
      return true;
    } catch (...) {
      return false;
    }
  }

  std::size_t stagedCount() const { return staged_.size(); }
  void writeJournal(const fs::path& journal) const { setup::writeJournal(journal, staged_); }

  void cleanUp() const noexcept { removeStagingFolders(staged_, hook_); }

 private:
  const StepHook& hook_;
  std::vector<StagedEntry> staged_;
  std::vector<CommittedEntry> committed_;
};

}  // namespace

void CompanionInstaller::install(const std::function<void(std::size_t)>& beforeCommit) const {
  try {
    transact(beforeCommit);
  } catch (const fs::filesystem_error& error) {
    throw inPlainWords(error, payload);
  } catch (const std::system_error& error) {
    throw inPlainWords(error);
  } catch (const nlohmann::json::exception&) {
    throw unexpectedFailure();
  }
}

void CompanionInstaller::transact(const std::function<void(std::size_t)>& beforeCommit) const {
  const uid_t user = effectiveUser();
  refuseAdministratorForOthers(user, home);
  for (const fs::path* folder : {&home, &configHome, &dataHome}) {
    // A relative "path" in the manifest is one no browser accepts.
    if (!folder->is_absolute()) {
      throw SetupError(
          "Tavrino Sharing Setup cannot tell where your home folder is. Set HOME to the full path of your home "
          "folder, then try again.",
          folder->empty() ? "Neither HOME nor this computer's list of users names a home folder for you."
                          : "“" + folder->string() + "” is not a full path.");
    }
  }
  // The manifest names the helper by its path, and a manifest is UTF-8 text.
  if (!isValidUtf8(home.native())) {
    throw SetupError(
        "Tavrino Share Helper cannot be installed into a home folder whose name is not UTF-8 text, because a "
        "browser's registration cannot name such a folder. Installing needs a home folder with a UTF-8 name.",
        "The home folder is " + home.string() + ".");
  }
  Transaction transaction(stepHook);
  const fs::path sourceApplication = payload / "Tavrino Share Helper.app";
  const fs::path identifierFile = payload / "extension-id.txt";

  transaction.step(InstallStep::readIdentifier);
  const std::string identifier = trimWhitespaceAndNewlines(readUtf8File(identifierFile));
  if (!isExtensionIdentifier(identifier)) throw SetupError("The installer contains an invalid extension identity.");

  transaction.step(InstallStep::verifySource);
  verify(sourceApplication);

  const fs::path installerFolder = dataHome / "Tavrino/ShareCompanion";
  transaction.step(InstallStep::createInstallerFolder);
  for (const fs::path& folder : {installerFolder.parent_path(), installerFolder}) {
    requireOwnedBy(user, folder, "folder");
  }
  fs::create_directories(installerFolder);

  transaction.step(InstallStep::openLock);
  requireOwnedBy(user, installerFolder / "install.lock", "lock file");
  InstallLock lock(installerFolder / "install.lock");
  transaction.step(InstallStep::takeLock);
  lock.lock();

  const fs::path applicationTarget = home / "Applications/Tavrino Share Helper.app";
  const fs::path installedExecutable = applicationTarget / "Contents/MacOS/TavrinoShareHost";
  transaction.step(InstallStep::listProcesses);
  if (anyProcessRuns(installedExecutable)) {
    throw SetupError("Stop desktop sharing and close the helper's permission dialog, then try again.");
  }

  // The same manifest where each browser looks; all of them commit or roll
  // back with the helper.
  const std::vector<fs::path> manifests = manifestTargets(configHome);
  const nlohmann::json manifest = {
      {"allowed_origins", nlohmann::json::array({"chrome-extension://" + identifier + "/"})},
      {"description", "Tavrino protected desktop sharing"},
      {"name", "net.tavrino.share_companion"},
      {"path", installedExecutable.string()},
      {"type", "stdio"},
  };
  std::vector<fs::path> targets{applicationTarget};
  targets.insert(targets.end(), manifests.begin(), manifests.end());

  // A run that died while holding the lock may have left its staging folders.
  const fs::path journal = installerFolder / "install.pending";
  recoverLeftovers(targets, journal, stepHook);

  try {
    const fs::path stagedApplication = transaction.prepare(applicationTarget, false);
    transaction.step(InstallStep::copyApplication);
    copyTree(sourceApplication, stagedApplication);
    transaction.step(InstallStep::verifyCopy);
    verify(stagedApplication);
    // A helper the browser could not start is no installation: it is run,
    // once its signature holds, before anything of the earlier one is touched.
    transaction.step(InstallStep::checkHelper);
    checkHelperRuns(stagedApplication / "Contents/MacOS/TavrinoShareHost", helperCheckLimit);

    transaction.step(InstallStep::serialiseManifest);
    const std::string bytes = manifest.dump(2);
    for (const fs::path& manifestTarget : manifests) {
      const fs::path stagedManifest = transaction.prepare(manifestTarget, true);
      const std::size_t index = transaction.stagedCount() - 1;
      transaction.step(InstallStep::writeManifest, index);
      writeNewFile(stagedManifest, bytes);
      transaction.step(InstallStep::setManifestMode, index);
      fs::permissions(stagedManifest, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    }

    // From here until the commit point a crash is undone by the next run.
    transaction.step(InstallStep::markPending);
    transaction.writeJournal(journal);
  } catch (...) {
    transaction.cleanUp();
    throw;
  }

  std::exception_ptr failure;
  try {
    transaction.commit(beforeCommit);
    transaction.step(InstallStep::verifyInstalled);
    verify(applicationTarget);
    transaction.step(InstallStep::markCommitted);
    fs::remove(journal);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (!transaction.rollBack()) throwRecoveryFailure();
    std::error_code ignored;
    fs::remove(journal, ignored);
    transaction.cleanUp();
    std::rethrow_exception(failure);
  }
  transaction.cleanUp();
}

}  // namespace tavrino::setup
