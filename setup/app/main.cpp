#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <cstring>

#include "flow/background_install.h"
#include "window/setup_view.h"

int main(int argc, char** argv) {
  // Answered before anything touches the display.
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check-build") == 0) {
      std::fputs("Tavrino Sharing Setup arm64\n", stdout);
      return 0;
    }
  }

  QApplication app(argc, argv);
  tavrino::setup::SetupView window;
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
  return status;
}
