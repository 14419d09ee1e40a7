#pragma once

#include "installer/unique_fd.h"

#include <filesystem>

namespace tavrino::setup {

// The inter-process installer lock: an exclusive, non-blocking advisory lock
// on a lock file that is created when missing and never removed. Whoever
// holds an InstallLock releases the lock and then closes the file on every
// way out.
class InstallLock {
 public:
  // Opens (creating with mode 0600) the lock file. Throws SetupError "Cannot
  // open the installer lock." (also for a symbolic link at the path).
  explicit InstallLock(const std::filesystem::path& file);
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;
  ~InstallLock();

  // Takes the lock without waiting; throws SetupError "Another Tavrino
  // installer is running. ..." when someone else holds it.
  void lock();

 private:
  UniqueFd fd_;
  bool locked_ = false;
};

}  // namespace tavrino::setup
