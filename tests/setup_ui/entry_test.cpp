#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

using tavrino::share::testing::Child;
using Environment = std::vector<std::string>;

struct Finished {
  int status = -1;  // the exit status; -1 when the program did not exit by itself
  std::string out;
};

Finished run(std::vector<std::string> argv, const Environment& env) {
  Child child(std::move(argv), true, env);
  child.closeInput();
  Finished finished{-1, child.readAll()};
  const int status = child.wait();
  if (WIFEXITED(status)) finished.status = WEXITSTATUS(status);
  return finished;
}

bool poll(const std::function<bool()>& done, int milliseconds = 20000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) QThread::msleep(100);
  return done();
}

// Under LeakSanitizer the program would fail on leaks of system libraries.
std::string leakSuppressions() {
  const char* lsan = std::getenv("LSAN_OPTIONS");
  return "LSAN_OPTIONS=" + (lsan && *lsan ? std::string(lsan) + ":" : "") + "suppressions=" TAVRINO_LSAN_SUPPRESSIONS;
}

bool toolsMissing() {
  for (const char* tool : {"Xvfb", "xdotool"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) return true;
  return false;
}

// The ids of the visible windows titled as the setup's, one a line.
std::string visibleSetupWindows(const Environment& env) {
  return run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^Tavrino Sharing Setup$"}, env).out;
}

// Asks `window` to close, as a window manager's close button does.
void requestClose(const std::string& display, const std::string& window) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
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
  message.window = static_cast<xcb_window_t>(std::stoul(window));
  message.type = atom("WM_PROTOCOLS");
  message.data.data32[0] = atom("WM_DELETE_WINDOW");
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
  xcb_flush(connection);
  xcb_disconnect(connection);
}

// Closes the setup's window once it shows, asking again while it stays: a
// request that comes too early can be lost.
bool closeSetupWindow(const Environment& env, const std::string& display) {
  std::string id;
  if (!poll([&] { return !(id = visibleSetupWindows(env)).empty(); })) return false;
  return poll([&] {
    requestClose(display, id.substr(0, id.find('\n')));
    return visibleSetupWindows(env).empty();
  });
}

TEST(SetupEntry, CheckBuildAnswersBeforeAnyDisplay) {
  // Nothing to draw on: constructing the application would fail.
  const Environment noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"};
  // Only the whole argument counts; the others go on to need a display.
  struct Case { std::vector<std::string> arguments; bool answers; };
  for (const auto& [arguments, answers] : {Case{{"--check-build"}, true}, Case{{"-x", "--check-build", "more"}, true},
                                           Case{{"--check-build=yes"}, false}, Case{{"--CHECK-BUILD"}, false}}) {
    std::vector<std::string> argv{TAVRINO_SETUP_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Finished finished = run(argv, noDisplay);
    EXPECT_EQ(finished.status == 0, answers) << arguments.at(0);
    EXPECT_EQ(finished.out == "Tavrino Sharing Setup arm64\n", answers);
  }
}

// Started with administrator rights for a user's home, as "sudo -E" does: the
// reason goes to standard error, and to the window when there is a display
// ("Try Again" meets it again); the home stays as it was.
TEST(SetupEntry, AdministratorRightsAreRefusedBeforeAnythingIsWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs administrator rights";
  if (toolsMissing()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
  const tavrino::share::testing::Xvfb display("1024x768x24");
  for (const bool shown : {false, true}) {
    QTemporaryDir home;
    tavrino::share::testing::giveToOrdinaryUser(home.path().toStdString());
    const Environment env{"HOME=" + home.path().toStdString(), shown ? "DISPLAY=" + display.name() : "DISPLAY",
                          "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                          "XDG_CACHE_HOME", "DBUS_SESSION_BUS_ADDRESS", leakSuppressions()};
    Child setup({TAVRINO_SETUP_PROGRAM}, true, env);
    if (shown) {
      EXPECT_TRUE(closeSetupWindow(env, display.name()));
    }
    const int status = setup.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "shown: " << shown;
    const std::string errors = setup.errors();
    EXPECT_EQ(errors.substr(0, errors.find('\n')),
              "Tavrino Sharing Setup installs for the user who runs it; start it without administrator rights.");
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        << "shown: " << shown;
  }
}

#ifdef TAVRINO_SETUP_BUNDLE

// The setup program as a user starts it from its bundle, as an ordinary user,
// on a private X display (Xvfb picks a free number itself), with a temporary
// home whose manifests go to the default ~/.config. Success and Return
// through the real bundle are tested end to end with a browser; here, the
// window closed while the installation surely runs, because the bundle's
// signature check waits for a gate file.
TEST(SetupOnXvfb, ClosingTheWindowWhileInstallingLetsTheInstallationFinish) {
  if (toolsMissing()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
  QTemporaryDir home;
  const std::string homePath = home.path().toStdString();
  const tavrino::share::testing::Xvfb display("1024x768x24");
  const Environment env{"DISPLAY=" + display.name(), "HOME=" + homePath, "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME",
                        "XDG_DATA_HOME=" + homePath + "/share", "XDG_DATA_DIRS=" + homePath + "/share",
                        "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", leakSuppressions()};

  const std::filesystem::path bundle = homePath + "/Tavrino Sharing Setup.app";
  const std::filesystem::path gatedTool = bundle / "Contents/MacOS/tavrino-codesign";
  std::filesystem::copy(TAVRINO_SETUP_BUNDLE, bundle,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  std::filesystem::rename(gatedTool, gatedTool.string() + ".real");
  QFile gated(QString::fromStdString(gatedTool.string()));
  ASSERT_TRUE(gated.open(QIODevice::WriteOnly));
  // It stops waiting once the gate appears or the test's folder has gone.
  gated.write("#!/bin/sh\nwhile [ ! -e \"$0.gate\" ] && [ -e \"$0\" ]; do sleep 0.05; done\n"
              "exec \"$0.real\" \"$@\"\n");
  gated.close();
  gated.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  tavrino::share::testing::giveToOrdinaryUser(homePath);

  Child program(tavrino::share::testing::asOrdinaryUser({(bundle / "Contents/MacOS/TavrinoSharingSetup").string()}),
                false, env);
  EXPECT_TRUE(closeSetupWindow(env, display.name()));
  EXPECT_EQ(::waitpid(program.pid(), nullptr, WNOHANG), 0) << "the program ended before its installation";

  QFile(gated.fileName() + ".gate").open(QIODevice::WriteOnly);
  const int status = program.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const char* browser : {"google-chrome", "chromium"}) {
    EXPECT_TRUE(std::filesystem::exists(homePath + "/.config/" + browser +
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
