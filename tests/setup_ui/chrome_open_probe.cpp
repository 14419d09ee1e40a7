// Opens a store link from the success screen the way a user would, and
// prints what the window showed under the link at each step:
//   chrome_open_probe <url> [file that appears once Chrome has started]
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QFile>
#include <QTest>

#include <cstdio>

#include "controlled_install.h"
#include "window/setup_view.h"

using namespace tavrino::setup;

namespace {

void report(const char* step, const QString& text) { std::printf("%s=%s\n", step, qPrintable(text)); }

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  QUrl url(QString::fromUtf8(argv[1]));
  QString started = argc > 2 ? QString::fromUtf8(argv[2]) : QString();

  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  SetupView view(flow, url, [] {}, {});
  view.show();
  settle();
  install.succeed();
  if (!spinUntil([&] { return flow->phase().is(Phase::Case::installed); })) return 3;
  report("dispatcher", QAbstractEventDispatcher::instance()->metaObject()->className());

  auto* link = view.findChild<QAbstractButton*>("storeLink");
  QTest::mouseClick(link, Qt::LeftButton);
  report("after-click", view.linkError());
  // Either the launch reports an error, or Chrome starts and reports nothing.
  spinUntil([&] { return !view.linkError().isEmpty() || (!started.isEmpty() && QFile::exists(started)); }, 10000);
  spinUntil([] { return false; }, 300);
  report("after-report", view.linkError());
  QTest::mouseClick(link, Qt::LeftButton);
  report("after-second-click", view.linkError());
  spinUntil([] { return false; }, 500);
  return 0;
}
