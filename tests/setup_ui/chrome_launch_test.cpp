#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString kLink = "https://chromewebstore.google.com/detail/abcdefghijklmnopabcdefghijklmnop?hl=en&x=1";

// A data folder whose only application is a "google-chrome.desktop" running
// `script` (or no entry at all when the script is empty); `extraKeys` go into
// the entry as they stand.
class FakeDesktop {
 public:
  explicit FakeDesktop(const QString& script = {}, const QString& extraKeys = {}) {
    if (script.isEmpty()) return;
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
    probe.start(TAVRINO_CHROME_OPEN_PROBE, startedMarker.isEmpty() ? QStringList{kLink}
                                                                    : QStringList{kLink, startedMarker});
    EXPECT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    QMap<QString, QString> steps;
    for (const QString& line : QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
      steps.insert(line.section('=', 0, 0), line.section('=', 1));
    }
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
  // The launch goes through GLib's main loop, not a blocking call.
  EXPECT_TRUE(steps["dispatcher"].contains("Glib")) << steps["dispatcher"].toStdString();
  EXPECT_EQ(steps["after-click"], "");
  EXPECT_EQ(steps["after-report"], "");
  QFile args(record);
  ASSERT_TRUE(args.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(args.readAll()), kLink + "\n");
}

TEST(OpenChrome, AFailedLaunchIsShownOnceReportedAndClearedByTheNextClick) {
  // The entry is valid, but its working folder does not exist, so starting
  // the program fails and GIO reports it.
  FakeDesktop broken("#!/bin/sh\nexit 0\n", "Path=/nonexistent/tavrino-test-folder\n");
  auto steps = broken.openLink();
  EXPECT_EQ(steps["after-click"], "");
  EXPECT_EQ(steps["after-report"], "Could not open Chrome. Please try the link again.");
  EXPECT_EQ(steps["after-second-click"], "");
}

TEST(OpenChrome, WithoutGlibsMainLoopAFailedLaunchIsStillReportedLater) {
  FakeDesktop broken("#!/bin/sh\nexit 0\n", "Path=/nonexistent/tavrino-test-folder\n");
  auto steps = broken.openLink({}, false);
  EXPECT_FALSE(steps["dispatcher"].contains("Glib"));
  EXPECT_EQ(steps["after-click"], "");
  EXPECT_EQ(steps["after-report"], "Could not open Chrome. Please try the link again.");
}

TEST(OpenChrome, WithoutChromeAsksForItToBeInstalled) {
  FakeDesktop none;
  auto steps = none.openLink();
  const QString install = "Install Google Chrome, then open the Chrome Web Store link.";
  EXPECT_EQ(steps["after-click"], install);
  EXPECT_EQ(steps["after-report"], install);
  EXPECT_EQ(steps["after-second-click"], install);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
