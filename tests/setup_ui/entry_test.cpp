#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "controlled_install.h"
#include "flow/background_install.h"
#include "installer/companion_installer.h"
#include "window/selectable_text.h"
#include "window/setup_view.h"
#include "xvfb_display.h"

namespace tavrino::setup {
namespace {

const QString kBuildLine = "Tavrino Sharing Setup arm64\n";
const QString kBusy = "Another Tavrino installer is running. Please finish it first.";

struct Finished {
  int status = -1;
  QString out;
};

Finished run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env) {
  QProcess process;
  process.setProcessEnvironment(env);
  process.start(program, arguments);
  if (!process.waitForFinished(30000)) process.kill();
  process.waitForFinished();
  bool normal = process.exitStatus() == QProcess::NormalExit;
  return {normal ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput())};
}

// Nothing to draw on: constructing the application would fail.
QProcessEnvironment noDisplay() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.insert("QT_QPA_PLATFORM", "xcb");
  return env;
}

TEST(SetupEntry, CheckBuildAnswersBeforeAnyDisplay) {
  for (const QStringList& arguments : {QStringList{"--check-build"}, QStringList{"-x", "--check-build", "more"},
                                       QStringList{"--check-build", "--check-build"}}) {
    Finished finished = run(TAVRINO_SETUP_PROGRAM, arguments, noDisplay());
    EXPECT_EQ(finished.status, 0) << arguments.join(' ').toStdString();
    EXPECT_EQ(finished.out, kBuildLine);
  }
  // Only the whole argument counts; this one goes on to need a display.
  for (const QStringList& arguments : {QStringList{"--check-build=yes"}, QStringList{"--CHECK-BUILD"}}) {
    Finished finished = run(TAVRINO_SETUP_PROGRAM, arguments, noDisplay());
    EXPECT_NE(finished.status, 0);
    EXPECT_FALSE(finished.out.contains("arm64"));
  }
}

#ifdef TAVRINO_SETUP_BUNDLE

const QString kBundle = TAVRINO_SETUP_BUNDLE;

QString installedHelper(const QString& home) {
  return home + "/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost";
}
QString manifest(const QString& home) {
  return home + "/Library/Application Support/Google/Chrome/NativeMessagingHosts/net.tavrino.share_companion.json";
}

// Holds the installer lock the way a second, running installer would.
class HeldLock {
 public:
  explicit HeldLock(const QString& home) {
    QString folder = home + "/Library/Application Support/Tavrino/ShareCompanion";
    QDir().mkpath(folder);
    fd_ = ::open(QFile::encodeName(folder + "/install.lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~HeldLock() { release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool held() const { return held_; }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// The production install operation on this build's bundle, run in-process:
// the real installer, signature check and lock.
TEST(SetupEntry, ASecondInstallerIsToldToWaitAndMayTryAgain) {
  QTemporaryDir home;
  HeldLock lock(home.path());
  ASSERT_TRUE(lock.held());
  std::filesystem::path bundle(QFile::encodeName(kBundle).toStdString());
  auto flow = SharingSetupFlow::make(productionInstallOperation({
      .resourceFolder = [bundle] { return bundle / "Contents/Resources"; },
      .homeFolder = [&home] { return std::filesystem::path(QFile::encodeName(home.path()).toStdString()); },
      .install =
          [bundle](const std::filesystem::path& payload, const std::filesystem::path& to) {
            CompanionInstaller installer(payload, to, std::nullopt);
            installer.signingTool = bundle / "Contents/MacOS/tavrino-codesign";
            installer.install();
          },
  }));
  SetupView view(flow, QUrl("https://chromewebstore.google.com/detail/x"), [] {}, {});
  view.show();
  ASSERT_TRUE(spinUntil([&] { return !flow->phase().is(Phase::Case::installing); }, 30000));
  EXPECT_EQ(flow->phase(), Phase::failed(kBusy));
  EXPECT_EQ(view.findChild<SelectableText*>("failureText")->text(), kBusy);
  EXPECT_TRUE(view.findChild<QWidget*>("tryAgain")->isVisible());
  EXPECT_FALSE(QFile::exists(manifest(home.path())));
  QDir().mkpath(TAVRINO_SCREENS_DIR);
  view.grab().save(TAVRINO_SCREENS_DIR "/bundle-locked.png");

  lock.release();
  flow->retry();
  ASSERT_TRUE(spinUntil([&] { return !flow->phase().is(Phase::Case::installing); }, 30000));
  EXPECT_EQ(flow->phase(), Phase::installed());
  EXPECT_TRUE(QFile::exists(installedHelper(home.path())));
}

// The setup program as a user starts it: from its bundle, on an X display.
class SetupOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xdotool", "import", "xprop"})
      if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    ASSERT_TRUE(display_.ready());
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("DISPLAY", display_.name());
    env_.insert("HOME", home_.path());
    env_.insert("QT_QPA_PLATFORM", "xcb");
    env_.insert("XDG_DATA_HOME", home_.path() + "/share");
    env_.insert("XDG_DATA_DIRS", home_.path() + "/share");
    env_.remove("DBUS_SESSION_BUS_ADDRESS");
    env_.remove("WAYLAND_DISPLAY");
    // Under LeakSanitizer the program would fail on leaks of system libraries.
    QString lsan = env_.value("LSAN_OPTIONS");
    env_.insert("LSAN_OPTIONS", (lsan.isEmpty() ? "" : lsan + ":") + "suppressions=" TAVRINO_LSAN_SUPPRESSIONS);
  }
  void TearDown() override {
    if (program_.state() != QProcess::NotRunning) {
      program_.terminate();
      if (!program_.waitForFinished(5000)) program_.kill();
      program_.waitForFinished();
    }
  }

  void startSetup() {
    program_.setProcessEnvironment(env_);
    program_.start(kBundle + "/Contents/MacOS/TavrinoSharingSetup", {});
    ASSERT_TRUE(program_.waitForStarted());
  }

  QString tool(const QString& program, const QStringList& arguments) {
    return run(program, arguments, env_).out.trimmed();
  }

  QString window() {
    QString found;
    QDeadlineTimer deadline(20000);
    while ((found = tool("xdotool", {"search", "--name", "^Tavrino Sharing Setup$"})).isEmpty() &&
           !deadline.hasExpired())
      QThread::msleep(100);
    return found.section('\n', 0, 0);
  }

  // The whole screen, kept under `name`.
  QImage screenshot(const QString& name) {
    QDir().mkpath(TAVRINO_SCREENS_DIR);
    QString file = QStringLiteral(TAVRINO_SCREENS_DIR "/%1.png").arg(name);
    run("import", {"-window", "root", file}, env_);
    return QImage(file);
  }

  // The success screen is the only one with the filled "OK" button.
  static bool showsOkButton(const QImage& screen) {
    int tinted = 0;
    for (int y = 0; y < screen.height(); ++y)
      for (int x = 0; x < screen.width(); ++x) {
        QColor c = screen.pixelColor(x, y);
        if (std::abs(c.red() - 36) <= 2 && std::abs(c.green() - 94) <= 2 && std::abs(c.blue() - 156) <= 2) ++tinted;
      }
    return tinted > 112 * 30 / 2;
  }

  bool waitForSuccess(const QString& name) {
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
      if (QFile::exists(manifest(home_.path())) && showsOkButton(screenshot(name))) return true;
      QThread::msleep(200);
    }
    return false;
  }

  void press(const QString& window, const QString& key) {
    tool("xdotool", {"windowfocus", "--sync", window});
    tool("xdotool", {"key", "--clearmodifiers", key});
  }

  XvfbDisplay display_;
  QTemporaryDir home_;
  QProcessEnvironment env_;
  QProcess program_;
};

TEST_F(SetupOnXvfb, InstallsTheHelperAndShowsTheSuccessScreen) {
  startSetup();
  QString id = window();
  ASSERT_FALSE(id.isEmpty());
  ASSERT_TRUE(waitForSuccess("xvfb-success"));

  // One fixed-size window, 352 wide.
  QString hints = tool("xprop", {"-id", id, "WM_NORMAL_HINTS"});
  QString geometry = tool("xdotool", {"getwindowgeometry", id});
  EXPECT_TRUE(geometry.contains("Geometry: 352x")) << geometry.toStdString();
  // Centred across the 1,024-pixel screen.
  EXPECT_TRUE(geometry.contains("Position: 336,")) << geometry.toStdString();
  QString size = geometry.section("Geometry: ", 1).trimmed();
  EXPECT_TRUE(hints.contains("minimum size: " + size.replace('x', " by "))) << hints.toStdString();
  EXPECT_TRUE(hints.contains("maximum size: " + size)) << hints.toStdString();

  Finished helper = run(installedHelper(home_.path()), {"--check-build"}, env_);
  EXPECT_EQ(helper.status, 0);
  EXPECT_FALSE(helper.out.trimmed().isEmpty());

  // Return is "OK", which ends the program.
  press(id, "Return");
  ASSERT_TRUE(program_.waitForFinished(10000));
  EXPECT_EQ(program_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program_.exitCode(), 0);
}

TEST_F(SetupOnXvfb, WaitsForAnotherInstallerAndRetriesOnReturn) {
  HeldLock lock(home_.path());
  ASSERT_TRUE(lock.held());
  startSetup();
  QString id = window();
  ASSERT_FALSE(id.isEmpty());
  // Laid out off screen with the same fonts, the failure screen with this
  // text has a height of its own; the window takes it once it fails.
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  SetupView reference(flow, QUrl("https://chromewebstore.google.com/detail/x"), [] {}, {});
  reference.show();
  int progressHeight = reference.height();
  settle();
  install.fail(std::make_exception_ptr(std::runtime_error(kBusy.toStdString())));
  ASSERT_TRUE(spinUntil([&] { return flow->phase().is(Phase::Case::failed); }));
  settle();
  ASSERT_NE(reference.height(), progressHeight);
  QString failureGeometry = QStringLiteral("Geometry: 352x%1").arg(reference.height());
  QDeadlineTimer deadline(20000);
  while (!tool("xdotool", {"getwindowgeometry", id}).contains(failureGeometry) && !deadline.hasExpired())
    QThread::msleep(100);
  EXPECT_TRUE(tool("xdotool", {"getwindowgeometry", id}).contains(failureGeometry));
  QThread::msleep(300);
  QImage locked = screenshot("xvfb-locked");
  EXPECT_FALSE(showsOkButton(locked));
  EXPECT_FALSE(QFile::exists(manifest(home_.path())));

  lock.release();
  press(id, "Return");
  EXPECT_TRUE(waitForSuccess("xvfb-after-retry"));
}

#endif  // TAVRINO_SETUP_BUNDLE

}  // namespace
}  // namespace tavrino::setup

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
