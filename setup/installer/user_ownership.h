#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace tavrino::setup {

// The user whose rights this process has (its effective user).
uid_t currentEffectiveUser();

// Throws SetupError when the run has administrator rights (user 0) and the
// home folder belongs to someone else, as after "sudo -E": everything written
// there would belong to the administrator, and the user's own later runs could
// not change it. The administrator's own home is theirs to install into.
void refuseAdministratorForOthers(uid_t effectiveUser, const std::filesystem::path& home);

// Throws SetupError, naming `what` ("folder", "lock file") and the path, when
// `path` exists and belongs to another user than `effectiveUser`. Links are
// not followed.
void requireOwnedBy(uid_t effectiveUser, const std::filesystem::path& path, std::string_view what);

}  // namespace tavrino::setup
