#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

#include "controlled_install.h"
#include "window/setup_view.h"

using namespace tavrino::setup;

namespace {

const QString kLink = "https://chromewebstore.google.com/detail/abcdefghijklmnopabcdefghijklmnop?hl=en&x=1";

void writeFile(const QString& name, const QString& text) {
  QFile file(name);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.toUtf8());
}

// Each case runs the probe with a data folder whose only application is a
// "google-chrome.desktop" that records its arguments. Google Chrome missing
// altogether is reported at once (the window test shows it).
TEST(OpenChrome, HandsTheLinkToChromesDesktopEntryOrReportsAFailedLaunch) {
  const QString failed = "Could not open Chrome. Please try the link again.";
  struct Case { QString extraKeys; bool glibLoop; QString reported; };
  for (const auto& [extraKeys, glibLoop, reported] : {
           Case{"", true, ""},
           // A valid entry whose working folder does not exist: starting it fails once GIO
           // tries, with or without the GLib event loop.
           Case{"Path=/nonexistent/tavrino-test-folder\n", true, failed},
           Case{"Path=/nonexistent/tavrino-test-folder\n", false, failed}}) {
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("applications");
    const QString program = dir.filePath("fake-chrome");
    writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\"\nmv \"$0.args.tmp\" \"$0.args\"\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(dir.filePath("applications/google-chrome.desktop"),
              "[Desktop Entry]\nType=Application\nName=Google Chrome\nExec=" + program + " %U\n" + extraKeys);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!glibLoop) env.insert("QT_NO_GLIB", "1");
    env.insert("XDG_DATA_HOME", dir.path());
    env.insert("XDG_DATA_DIRS", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QCoreApplication::applicationFilePath(), {"--probe", kLink, program + ".args"});
    EXPECT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    QMap<QString, QString> steps;
    for (const QString& line : QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
      steps.insert(line.section('=', 0, 0), line.section('=', 1));
    EXPECT_EQ(steps["dispatcher"].contains("Glib"), glibLoop);
    EXPECT_EQ(steps["after-click"], "");
    EXPECT_EQ(steps["after-report"], reported);
    EXPECT_EQ(steps["after-second-click"], "");
    QFile args(program + ".args");
    EXPECT_EQ(args.open(QIODevice::ReadOnly) ? QString::fromUtf8(args.readAll()) : "",
              reported.isEmpty() ? kLink + "\n" : "");
  }
}

// Opens `url` from the setup window as its store link does and prints what
// the window showed under the link at each step; `started` is the file that
// appears once Chrome has started.
int probe(const QUrl& url, const QString& started) {
  auto report = [](const char* step, const QString& text) { std::printf("%s=%s\n", step, qPrintable(text)); };
  SetupView view(SharingSetupFlow::make([] { return QFuture<QString>(); }), url, [] {}, {});
  report("dispatcher", QAbstractEventDispatcher::instance()->metaObject()->className());
  view.openChrome(url);
  report("after-click", view.linkError());
  // Either the launch reports an error, or Chrome starts and reports nothing.
  spinUntil([&] { return !view.linkError().isEmpty() || QFile::exists(started); }, 10000);
  spinUntil([] { return false; }, 300);
  report("after-report", view.linkError());
  view.openChrome(url);
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
