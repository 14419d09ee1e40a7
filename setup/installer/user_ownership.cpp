#include "installer/user_ownership.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace tavrino::setup {

namespace {

SetupError administratorError() {
  return SetupError(
      "Tavrino Sharing Setup installs for the user who runs it; start it without administrator rights.");
}

}  // namespace

uid_t currentEffectiveUser() { return ::geteuid(); }

std::optional<SetupError> administratorRefusal(uid_t effectiveUser) {
  if (effectiveUser != 0) return std::nullopt;
  return administratorError();
}

void refuseAdministratorForOthers(uid_t effectiveUser, const std::filesystem::path& home) {
  struct stat info {};
  if (effectiveUser != 0 || ::stat(home.c_str(), &info) != 0 || info.st_uid == 0) return;
  throw administratorError();
}

void requireOwnedBy(uid_t effectiveUser, const std::filesystem::path& path, std::string_view what) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || info.st_uid == effectiveUser) return;
  throw SetupError("Another user owns Tavrino Sharing Setup's " + std::string(what) +
                       ", probably since a run with administrator rights; make yourself its owner or remove it, "
                       "then try again.",
                   "It is at " + path.string() + ".");
}

}  // namespace tavrino::setup
