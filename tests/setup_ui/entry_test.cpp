#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "controlled_install.h"
#include "installer/install_lock.h"
#include "installer/setup_error.h"
#include "window/setup_view.h"

namespace tavrino::setup {
namespace {

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

TEST(SetupEntry, CheckBuildAnswersBeforeAnyDisplay) {
  // Nothing to draw on: constructing the application would fail.
  QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
  noDisplay.remove("DISPLAY");
  noDisplay.remove("WAYLAND_DISPLAY");
  noDisplay.insert("QT_QPA_PLATFORM", "xcb");
  // Only the whole argument counts; the others go on to need a display.
  struct Case { QStringList arguments; bool answers; };
  for (const auto& [arguments, answers] : {Case{{"--check-build"}, true}, Case{{"-x", "--check-build", "more"}, true},
                                           Case{{"--check-build", "--check-build"}, true},
                                           Case{{"--check-build=yes"}, false}, Case{{"--CHECK-BUILD"}, false}}) {
    Finished finished = run(TAVRINO_SETUP_PROGRAM, arguments, noDisplay);
    EXPECT_EQ(finished.status == 0, answers) << arguments.join(' ').toStdString();
    EXPECT_EQ(finished.out == "Tavrino Sharing Setup arm64\n", answers);
  }
}

#ifdef TAVRINO_SETUP_BUNDLE

const QString kBundle = TAVRINO_SETUP_BUNDLE;

bool poll(const std::function<bool()>& done, int milliseconds = 20000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) QThread::msleep(100);
  return done();
}

// The setup program as a user starts it: from its bundle, on a private X
// display (Xvfb picks a free number itself), with a temporary home.
class SetupOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xdotool"})
      if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb_.waitForStarted(5000));
    ASSERT_TRUE(poll([&] { return xvfb_.canReadLine() || (xvfb_.waitForReadyRead(100) && xvfb_.canReadLine()); }));
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("DISPLAY", ":" + QString::fromUtf8(xvfb_.readLine()).trimmed());
    env_.insert("HOME", home_.path());
    env_.insert("QT_QPA_PLATFORM", "xcb");
    // The manifests go to the default ~/.config, the lock under XDG_DATA_HOME.
    env_.remove("XDG_CONFIG_HOME");
    env_.insert("XDG_DATA_HOME", home_.path() + "/share");
    env_.insert("XDG_DATA_DIRS", home_.path() + "/share");
    env_.remove("DBUS_SESSION_BUS_ADDRESS");
    env_.remove("WAYLAND_DISPLAY");
    // Under LeakSanitizer the program would fail on leaks of system libraries.
    QString lsan = env_.value("LSAN_OPTIONS");
    env_.insert("LSAN_OPTIONS", (lsan.isEmpty() ? "" : lsan + ":") + "suppressions=" TAVRINO_LSAN_SUPPRESSIONS);
  }
  void TearDown() override {
    for (QProcess* process : {&program_, &xvfb_}) {
      if (process->state() == QProcess::NotRunning) continue;
      process->terminate();
      if (!process->waitForFinished(5000)) process->kill();
      process->waitForFinished();
    }
  }

  // Starts the program and returns its window's id once the window is shown.
  QString startSetup(const QString& bundle = kBundle) {
    program_.setProcessEnvironment(env_);
    program_.start(bundle + "/Contents/MacOS/TavrinoSharingSetup", {});
    QString found;
    if (program_.waitForStarted())
      poll([&] { return !(found = visibleWindow()).isEmpty(); });
    return found.section('\n', 0, 0);
  }

  QString visibleWindow() { return tool("xdotool", {"search", "--onlyvisible", "--name", "^Tavrino Sharing Setup$"}); }

  QString tool(const QString& program, const QStringList& arguments) {
    return run(program, arguments, env_).out.trimmed();
  }
  std::filesystem::path home() const { return QFile::encodeName(home_.path()).toStdString(); }
  bool installed() const {
    for (const char* browser : {"google-chrome", "chromium"})
      if (!QFile::exists(home_.path() + "/.config/" + browser + "/NativeMessagingHosts/net.tavrino.share_companion.json"))
        return false;
    return true;
  }

  void press(const QString& window, const QString& key) {
    tool("xdotool", {"windowfocus", "--sync", window});
    tool("xdotool", {"key", "--clearmodifiers", key});
  }

  // Asks the window to close, as a window manager's close button does.
  void requestClose(const QString& window) {
    xcb_connection_t* connection = xcb_connect(env_.value("DISPLAY").toUtf8().constData(), nullptr);
    auto atom = [&](const char* name) {
      xcb_intern_atom_reply_t* reply =
          xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
      xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
      std::free(reply);
      return found;
    };
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window.toUInt();
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(connection);
    xcb_disconnect(connection);
  }

  // Return is "OK" only on the success screen, which ends the program; before
  // that screen shows, the key does nothing.
  bool returnEndsTheProgram(const QString& window) {
    return poll([&] { return installed(); }, 30000) && poll([&] {
             if (program_.state() != QProcess::NotRunning) press(window, "Return");
             return program_.waitForFinished(300) || program_.state() == QProcess::NotRunning;
           }, 30000) && program_.exitStatus() == QProcess::NormalExit && program_.exitCode() == 0;
  }

  QProcess xvfb_;
  QTemporaryDir home_;
  QProcessEnvironment env_;
  QProcess program_;
};

TEST_F(SetupOnXvfb, ClosingTheWindowWhileInstallingLetsTheInstallationFinish) {
  // A copy of the bundle whose signature check waits for a gate file, so the
  // window closes while the installation surely runs.
  QTemporaryDir copy;
  const QString bundle = copy.path() + "/Tavrino Sharing Setup.app";
  const std::filesystem::path gatedTool = QFile::encodeName(bundle + "/Contents/MacOS/tavrino-codesign").toStdString();
  std::filesystem::copy(QFile::encodeName(kBundle).toStdString(), QFile::encodeName(bundle).toStdString(),
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  std::filesystem::rename(gatedTool, gatedTool.string() + ".real");
  {
    QFile gated(QString::fromStdString(gatedTool.string()));
    ASSERT_TRUE(gated.open(QIODevice::WriteOnly));
    gated.write("#!/bin/sh\nwhile [ ! -e \"$0.gate\" ]; do sleep 0.05; done\nexec \"$0.real\" \"$@\"\n");
    gated.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  QString id = startSetup(bundle);
  ASSERT_FALSE(id.isEmpty());
  // Asked again while it stays: a request that comes too early can be lost.
  EXPECT_TRUE(poll([&] {
    requestClose(id);
    return visibleWindow().isEmpty();
  }));
  EXPECT_EQ(program_.state(), QProcess::Running);

  QFile(QString::fromStdString(gatedTool.string()) + ".gate").open(QIODevice::WriteOnly);
  ASSERT_TRUE(program_.waitForFinished(30000));
  EXPECT_EQ(program_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program_.exitCode(), 0);
  EXPECT_TRUE(installed());
  EXPECT_TRUE(QDir(home_.path() + "/Applications").entryList({".tavrino-install-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
}

// The path a user takes when another installer holds the lock: the failure
// in full, Return to retry, the success screen, Return to end.
TEST_F(SetupOnXvfb, ASecondInstallerIsToldToWaitThenRetriesAndInstallsOnReturn) {
  // Held the way a second, running installer holds it.
  std::filesystem::path lockFolder = home() / "share/Tavrino/ShareCompanion";
  std::filesystem::create_directories(lockFolder);
  std::optional<InstallLock> lock(std::in_place, lockFolder / "install.lock");
  lock->lock();
  QString id = startSetup();
  ASSERT_FALSE(id.isEmpty());

  // The same failure shown off screen, with the same fonts, gives the height
  // the program's window must take on to show the text in full.
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  SetupView view(flow, QUrl("https://chromewebstore.google.com/detail/x"), [] {}, {});
  view.show();
  settle();
  install.fail(std::make_exception_ptr(SetupError("Another Tavrino installer is running. Please finish it first.")));
  ASSERT_TRUE(spinUntil([&] { return flow->phase().is(Phase::Case::failed); }));
  settle();
  const QString failureGeometry = QStringLiteral("Geometry: 352x%1").arg(view.height());
  EXPECT_TRUE(poll([&] { return tool("xdotool", {"getwindowgeometry", id}).contains(failureGeometry); }));
  QThread::msleep(300);
  EXPECT_FALSE(installed());

  lock.reset();
  press(id, "Return");
  ASSERT_TRUE(returnEndsTheProgram(id));

  // The manifests name the extension fixed by the public key committed in the reference extension.
  QFile manifest(home_.path() + "/.config/chromium/NativeMessagingHosts/net.tavrino.share_companion.json");
  ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
  EXPECT_TRUE(manifest.readAll().contains("chrome-extension://clkifonbpdmnopmifbcgjaifkhiclkpk/"));
  const QString helper = home_.path() + "/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost";
  EXPECT_EQ(run(helper, {"--check-build"}, env_).status, 0);
  EXPECT_FALSE(QFile::exists(home_.path() + "/Library"));
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
