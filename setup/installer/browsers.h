#pragma once

#include <filesystem>
#include <vector>

// The Chromium-family browsers the share helper is registered with, and the
// confined ones that cannot start it.
namespace tavrino::setup {

// Where the manifest goes for each browser that gets one: Google Chrome and
// Chromium always (their folders are created, so that a browser installed
// later finds the helper), then each other Chromium-family browser whose
// folder under $XDG_CONFIG_HOME is there now. Browsers read it from
// "NativeMessagingHosts" in that folder.
std::vector<std::filesystem::path> manifestTargets(const std::filesystem::path& configHome);

// True when a confined browser (a snap or a Flatpak; such a browser never
// sees a helper installed in the home folder) is found and no unconfined one
// is. An unconfined browser counts once its folder holds anything besides
// "NativeMessagingHosts": the folders this setup creates for Chrome and
// Chromium, and another program's registrations, are no sign of a browser
// that ran. A confined one counts when the folder it keeps under the home
// folder is there (~/snap/<name>, ~/.var/app/<id>). Finding neither is no
// reason for the note: Chrome and Chromium are registered for when they come.
bool onlyConfinedBrowsers(const std::filesystem::path& home, const std::filesystem::path& configHome);

}  // namespace tavrino::setup
