#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "administrator_refusal.h"
#include "flow/background_install.h"
#include "installer/user_ownership.h"
#include "window/setup_view.h"

int main(int argc, char** argv) {
  // Answered before anything touches the display.
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check-build") == 0) {
      std::fputs("Tavrino Sharing Setup arm64\n", stdout);
      return 0;
    }
  }

  // With administrator rights, everything written would belong to the
  // administrator and lock the user out of later runs: nothing is installed.
  // The terminal it was started from (sudo) hears why as well as the window.
  const std::optional<tavrino::setup::SetupError> refusal =
      tavrino::setup::administratorRefusal(tavrino::setup::currentEffectiveUser());
  if (refusal) {
    std::fprintf(stderr, "%s\n", refusal->what());
    if (!tavrino::setup::displayNamed()) return 1;
    // With no session bus named, the toolkit would start one for the window
    // and record it in the home folder.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 0);
  }

  QApplication app(argc, argv);
  tavrino::setup::SetupView window(refusal ? tavrino::setup::refusingFlow(*refusal) : nullptr);
  window.setWindowTitle(QCoreApplication::translate("TavrinoSharingSetup", "Tavrino Sharing Setup"));
  window.adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
  }
  window.show();
  const int status = app.exec();
  // A window closed while installing lets the installation finish first.
  tavrino::setup::waitForInstallations();
  return refusal ? 1 : status;
}
