#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "installer/setup_error.h"

namespace tavrino::setup {

// The user whose rights this process has (its effective user).
uid_t currentEffectiveUser();

// Why the setup does not run at all with administrator rights (user 0): it
// installs into, and for, the user who runs it. Nothing when `effectiveUser`
// is an ordinary user.
std::optional<SetupError> administratorRefusal(uid_t effectiveUser);

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
