#include <QApplication>
#include <QMessageBox>
#include <QString>

#include "app/authorize_alert.h"

namespace tavrino::share {

int runAuthorizeAlert(int argc, char** argv, bool allowed) {
  QApplication application(argc, argv);
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

}  // namespace tavrino::share
