#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#include "app/authorize_alert.h"

namespace tavrino::share {

namespace {

// Qt ends the process with abort() when no display can be opened, after
// messages about its plugins. The alert mode ends instead with one clear line
// and a failure status; Qt's own messages say nothing the user can act on.
void failWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtFatalMsg) return;
  std::fputs("The permission alert cannot be shown: no desktop display is available.\n", stderr);
  std::_Exit(1);
}

}  // namespace

}  // namespace tavrino::share

extern "C" int tavrino_authorize_alert(int argc, char** argv, bool allowed) {
  using namespace tavrino::share;
  const QtMessageHandler previous = qInstallMessageHandler(failWithoutDisplay);
  QApplication application(argc, argv);
  qInstallMessageHandler(previous);
  const QString title = allowed ? QStringLiteral("Tavrino sharing is ready")
                                : QStringLiteral("Enable Screen Recording");
  const QString body =
      allowed ? QStringLiteral("You can return to Chrome and choose Share Desktop.")
              : QString::fromUtf8(
                    "In System Settings \u2192 Privacy & Security \u2192 Screen Recording, enable "
                    "Tavrino Share Helper. Then try Share Desktop again.");
  QMessageBox alert;
  alert.setIcon(allowed ? QMessageBox::Information : QMessageBox::Warning);
  alert.setWindowTitle(title);
  alert.setText(title);
  alert.setInformativeText(body);
  alert.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  alert.raise();
  alert.activateWindow();
  alert.exec();
  return 0;
}
