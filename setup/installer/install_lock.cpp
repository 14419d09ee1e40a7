#include "installer/install_lock.h"

#include "installer/setup_error.h"

#include <fcntl.h>
#include <sys/file.h>

namespace tavrino::setup {

InstallLock::InstallLock(const std::filesystem::path& file)
    : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
  if (!fd_) throw SetupError("Cannot open the installer lock.");
}

void InstallLock::lock() {
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    throw SetupError("Another Tavrino installer is running. Please finish it first.");
  }
  locked_ = true;
}

// Unlocks before fd_ closes the file.
InstallLock::~InstallLock() {
  if (locked_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace tavrino::setup
