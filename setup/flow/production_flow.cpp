#include <QDir>
#include <QFile>

#include "flow/background_install.h"
#include "flow/sharing_setup_flow.h"
#include "installer/companion_installer.h"
#include "platform/bundle_info.h"

namespace tavrino::setup {

std::shared_ptr<SharingSetupFlow> SharingSetupFlow::production() {
  return make(productionInstallOperation({
      .resourceFolder = [] { return mainBundleResourceFolder(); },
      // $HOME first, so a user (or a test) running with another home gets it.
      .homeFolder = [] { return std::filesystem::path(QFile::encodeName(QDir::homePath()).toStdString()); },
      // A fresh installer per run re-reads the team key and the folders.
      .install =
          [](const std::filesystem::path& payload, const std::filesystem::path& home) {
            CompanionInstaller(payload, home).install();
          },
  }));
}

}  // namespace tavrino::setup
