#include "installer/browsers.h"

#include <array>
#include <string_view>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

struct Browser {
  std::string_view name;
  std::string_view configFolder;  // under $XDG_CONFIG_HOME
  bool always;                    // else only when its folder is there
};

constexpr std::array kBrowsers = {
    Browser{"Google Chrome", "google-chrome", true},
    Browser{"Chromium", "chromium", true},
    Browser{"Google Chrome Beta", "google-chrome-beta", false},
    Browser{"Google Chrome Dev", "google-chrome-unstable", false},
    Browser{"Brave", "BraveSoftware/Brave-Browser", false},
    Browser{"Brave Beta", "BraveSoftware/Brave-Browser-Beta", false},
    Browser{"Brave Nightly", "BraveSoftware/Brave-Browser-Nightly", false},
    Browser{"Microsoft Edge", "microsoft-edge", false},
    Browser{"Microsoft Edge Beta", "microsoft-edge-beta", false},
    Browser{"Microsoft Edge Dev", "microsoft-edge-dev", false},
    Browser{"Vivaldi", "vivaldi", false},
    Browser{"Vivaldi Snapshot", "vivaldi-snapshot", false},
};

// Folders a confined browser keeps under the home folder: its snap's, or its
// Flatpak application's.
constexpr std::array<std::string_view, 10> kConfinedFolders = {
    "snap/chromium",
    "snap/brave",
    ".var/app/com.google.Chrome",
    ".var/app/com.google.ChromeDev",
    ".var/app/org.chromium.Chromium",
    ".var/app/io.github.ungoogled_software.ungoogled_chromium",
    ".var/app/com.brave.Browser",
    ".var/app/com.microsoft.Edge",
    ".var/app/com.microsoft.EdgeDev",
    ".var/app/com.vivaldi.Vivaldi",
};

constexpr std::string_view kHostsFolder = "NativeMessagingHosts";

bool isFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(fs::status(path, ec));
}

bool holdsMoreThanHosts(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != kHostsFolder) return true;
  }
  return false;
}

}  // namespace

std::vector<fs::path> manifestTargets(const fs::path& configHome) {
  std::vector<fs::path> targets;
  for (const Browser& browser : kBrowsers) {
    const fs::path folder = configHome / browser.configFolder;
    if (browser.always || isFolder(folder)) {
      targets.push_back(folder / kHostsFolder / "net.tavrino.share_companion.json");
    }
  }
  return targets;
}

bool onlyConfinedBrowsers(const fs::path& home, const fs::path& configHome) {
  for (const Browser& browser : kBrowsers) {
    if (holdsMoreThanHosts(configHome / browser.configFolder)) return false;
  }
  for (const std::string_view folder : kConfinedFolders) {
    if (isFolder(home / folder)) return true;
  }
  return false;
}

}  // namespace tavrino::setup
