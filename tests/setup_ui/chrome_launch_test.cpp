#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>

#include "controlled_install.h"
#include "window/setup_view.h"

using namespace tavrino::setup;

namespace {

const QString kLink = "https://chromewebstore.google.com/detail/abcdefghijklmnopabcdefghijklmnop?hl=en&x=1";

// A data folder whose only application is a "google-chrome.desktop" running
// `script` with `extraKeys`.
class FakeDesktop {
 public:
  explicit FakeDesktop(const QString& script, const QString& extraKeys = {}) {
    QDir(dir_.path()).mkpath("applications");
    QString program = dir_.filePath("fake-chrome");
    writeFile(program, script);
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(dir_.filePath("applications/google-chrome.desktop"),
              "[Desktop Entry]\nType=Application\nName=Google Chrome\nExec=" + program + " %U\n" + extraKeys);
  }

  QString path(const QString& name) const { return dir_.filePath(name); }

  // Runs the probe against this folder and returns what it printed, by step.
  QMap<QString, QString> openLink(const QString& startedMarker = {}, bool glibLoop = true) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!glibLoop) env.insert("QT_NO_GLIB", "1");
    env.insert("XDG_DATA_HOME", dir_.path());
    env.insert("XDG_DATA_DIRS", dir_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QCoreApplication::applicationFilePath(), {"--probe", kLink, startedMarker});
    EXPECT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    QMap<QString, QString> steps;
    for (const QString& line : QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
      steps.insert(line.section('=', 0, 0), line.section('=', 1));
    return steps;
  }

 private:
  static void writeFile(const QString& name, const QString& text) {
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
  }

  QTemporaryDir dir_;
};

TEST(OpenChrome, HandsTheLinkToChromesDesktopEntry) {
  FakeDesktop chrome("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\"\nmv \"$0.args.tmp\" \"$0.args\"\n");
  QString record = chrome.path("fake-chrome.args");
  auto steps = chrome.openLink(record);
  EXPECT_EQ(steps["after-click"], "");
  EXPECT_EQ(steps["after-report"], "");
  QFile args(record);
  ASSERT_TRUE(args.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(args.readAll()), kLink + "\n");
}

// A missing Chrome is reported at once (the window test shows it); a failed
// launch once GIO has tried it, with or without the GLib event loop.
TEST(OpenChrome, ReportsAFailedLaunchOnceGioHasTriedIt) {
  // The entry is valid, but its working folder does not exist, so starting
  // the program fails and GIO reports it.
  FakeDesktop broken("#!/bin/sh\nexit 0\n", "Path=/nonexistent/tavrino-test-folder\n");
  for (const bool glibLoop : {true, false}) {
    auto steps = broken.openLink({}, glibLoop);
    EXPECT_EQ(steps["dispatcher"].contains("Glib"), glibLoop);
    EXPECT_EQ(steps["after-click"], "");
    EXPECT_EQ(steps["after-report"], "Could not open Chrome. Please try the link again.");
    EXPECT_EQ(steps["after-second-click"], "");
  }
}

// Opens the store link from the success screen the way a user would and
// prints what the window showed under the link at each step; `started` is a
// file that appears once Chrome has started, or empty.
int probe(const QUrl& url, const QString& started) {
  auto report = [](const char* step, const QString& text) { std::printf("%s=%s\n", step, qPrintable(text)); };
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--probe") == 0) {
    QApplication app(argc, argv);
    return probe(QUrl(QString::fromUtf8(argv[2])), QString::fromUtf8(argv[3]));
  }
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
