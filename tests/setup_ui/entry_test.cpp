#include <gtest/gtest.h>

#include <QCoreApplication>
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

#include "support/child_process.h"

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
                                           Case{{"--check-build=yes"}, false}, Case{{"--CHECK-BUILD"}, false}}) {
    Finished finished = run(TAVRINO_SETUP_PROGRAM, arguments, noDisplay);
    EXPECT_EQ(finished.status == 0, answers) << arguments.join(' ').toStdString();
    EXPECT_EQ(finished.out == "Tavrino Sharing Setup arm64\n", answers);
  }
}

#ifdef TAVRINO_SETUP_BUNDLE

bool poll(const std::function<bool()>& done, int milliseconds = 20000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) QThread::msleep(100);
  return done();
}

// Asks `window` to close, as a window manager's close button does.
void requestClose(const QString& display, const QString& window) {
  xcb_connection_t* connection = xcb_connect(display.toUtf8().constData(), nullptr);
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

// The setup program as a user starts it from its bundle, on a private X
// display (Xvfb picks a free number itself), with a temporary home whose
// manifests go to the default ~/.config. Success and Return through the real
// bundle are tested end to end with a browser; here, the window closed while
// the installation surely runs, because the bundle's signature check waits
// for a gate file.
TEST(SetupOnXvfb, ClosingTheWindowWhileInstallingLetsTheInstallationFinish) {
  for (const char* tool : {"Xvfb", "xdotool"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
  QTemporaryDir home;
  const tavrino::share::testing::Xvfb display("1024x768x24");
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", QString::fromStdString(display.name()));
  env.insert("HOME", home.path());
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.remove("XDG_CONFIG_HOME");
  env.insert("XDG_DATA_HOME", home.path() + "/share");
  env.insert("XDG_DATA_DIRS", home.path() + "/share");
  env.remove("DBUS_SESSION_BUS_ADDRESS");
  env.remove("WAYLAND_DISPLAY");
  // Under LeakSanitizer the program would fail on leaks of system libraries.
  QString lsan = env.value("LSAN_OPTIONS");
  env.insert("LSAN_OPTIONS", (lsan.isEmpty() ? "" : lsan + ":") + "suppressions=" TAVRINO_LSAN_SUPPRESSIONS);

  const QString bundle = home.path() + "/Tavrino Sharing Setup.app";
  const std::filesystem::path gatedTool = QFile::encodeName(bundle + "/Contents/MacOS/tavrino-codesign").toStdString();
  std::filesystem::copy(TAVRINO_SETUP_BUNDLE, QFile::encodeName(bundle).toStdString(),
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  std::filesystem::rename(gatedTool, gatedTool.string() + ".real");
  QFile gated(QString::fromStdString(gatedTool.string()));
  ASSERT_TRUE(gated.open(QIODevice::WriteOnly));
  // It stops waiting once the gate appears or the test's folder has gone.
  gated.write("#!/bin/sh\nwhile [ ! -e \"$0.gate\" ] && [ -e \"$0\" ]; do sleep 0.05; done\n"
              "exec \"$0.real\" \"$@\"\n");
  gated.close();
  gated.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  program.setProcessEnvironment(env);
  program.start(bundle + "/Contents/MacOS/TavrinoSharingSetup", {});
  const auto visibleWindow = [&] {
    return run("xdotool", {"search", "--onlyvisible", "--name", "^Tavrino Sharing Setup$"}, env).out.trimmed();
  };
  QString id;
  ASSERT_TRUE(program.waitForStarted() && poll([&] { return !(id = visibleWindow()).isEmpty(); }));
  // Asked again while it stays: a request that comes too early can be lost.
  EXPECT_TRUE(poll([&] {
    requestClose(env.value("DISPLAY"), id.section('\n', 0, 0));
    return visibleWindow().isEmpty();
  }));
  EXPECT_EQ(program.state(), QProcess::Running);

  QFile(gated.fileName() + ".gate").open(QIODevice::WriteOnly);
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  for (const char* browser : {"google-chrome", "chromium"}) {
    EXPECT_TRUE(QFile::exists(home.path() + "/.config/" + browser +
                              "/NativeMessagingHosts/net.tavrino.share_companion.json"));
  }
  const QDir applications(home.path() + "/Applications");
  EXPECT_TRUE(applications.entryList({".tavrino-install-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
}

#endif  // TAVRINO_SETUP_BUNDLE

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
