#include <QCoreApplication>

#include "flow/background_install.h"
#include "flow/sharing_setup_flow.h"
#include "installer/browsers.h"
#include "installer/companion_installer.h"
#include "platform/bundle_info.h"
#include "platform/user_folders.h"

namespace tavrino::setup {

InstallEnvironment productionEnvironment() {
  return {
      .resourceFolder = [] { return mainBundleResourceFolder(); },
      // $HOME first, so a user (or a test) running with another home gets it.
      .homeFolder = [] { return userHomeFolder(); },
      // A fresh installer per run re-reads the team key and the folders.
      .install =
          [](const std::filesystem::path& payload, const std::filesystem::path& home) {
            const CompanionInstaller installer(payload, home);
            installer.install();
            if (!onlyConfinedBrowsers(home, installer.configHome)) return QString();
            return QCoreApplication::translate(
                "SharingSetupFlow",
                "Browsers installed as a snap or a Flatpak cannot start the share helper; use Google Chrome, "
                "Chromium, Brave, Microsoft Edge or Vivaldi installed as a regular package.");
          },
  };
}

std::shared_ptr<SharingSetupFlow> SharingSetupFlow::production() {
  return make(productionInstallOperation(productionEnvironment()));
}

}  // namespace tavrino::setup
