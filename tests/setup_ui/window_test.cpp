#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <string>

#include "controlled_install.h"
#include "flow/background_install.h"
#include "installer_fixture.h"
#include "support/child_process.h"
#include "window/selectable_text.h"
#include "window/setup_view.h"

namespace tavrino::setup {
namespace {

namespace fs = std::filesystem;

const QUrl kStore("https://chromewebstore.google.com/detail/abcdefghijklmnopabcdefghijklmnop");

// Keeps each rendered screen as a PNG beside the test binary.
QImage render(SetupView& view, const QString& name) {
  settle();
  QImage image = view.grab().toImage();
  QDir().mkpath(TAVRINO_SCREENS_DIR);
  image.save(QStringLiteral(TAVRINO_SCREENS_DIR "/%1.png").arg(name));
  return image;
}

bool shown(QWidget& view, const char* name) {
  auto* found = view.findChild<QWidget*>(name);
  return found && found->isVisible();
}

template <class T>
T& child(QWidget& view, const char* name) {
  T* found = view.findChild<T*>(name);
  if (!found) throw std::runtime_error(std::string("no child ") + name);
  return *found;
}

class SetupWindow : public ::testing::Test {
 protected:
  ControlledInstall install;
  std::shared_ptr<SharingSetupFlow> flow = SharingSetupFlow::make(install.operation());
  int closes = 0;

  std::unique_ptr<SetupView> makeView(std::optional<QUrl> store = kStore,
                                      SetupView::InfoReader info = [](const std::string&) { return std::nullopt; }) {
    return std::make_unique<SetupView>(flow, store, [this] { ++closes; }, info);
  }
  void finishWith(std::exception_ptr error, const QString& note = {}) {
    settle();
    if (error)
      install.fail(std::move(error));
    else
      install.succeed(note);
    spinUntil([&] { return !flow->phase().is(Phase::Case::installing); });
  }
};

// A user's way through the window: the progress screen once shown, failures
// shown in full with Return meaning "Try Again" and "Quit" closing, success
// with the store link, and Return to close.
TEST_F(SetupWindow, ProgressFailureRetryAndSuccess) {
  auto view = makeView();
  // Not yet shown: `ready` looks like `installing`.
  EXPECT_TRUE(child<QWidget>(*view, "progressScreen").isVisibleTo(view.get()));
  EXPECT_EQ(flow->phase(), Phase::ready());
  view->show();
  EXPECT_EQ(flow->phase(), Phase::installing());
  render(*view, "progress");
  // One installation at a time: no default action, and showing the window again starts nothing.
  QTest::keyClick(view.get(), Qt::Key_Return);
  view->hide();
  view->show();
  settle();
  EXPECT_EQ(install.runs.size(), 1u);

  finishWith(std::make_exception_ptr(SetupError("Another Tavrino installer is running. Please finish it first.")));
  render(*view, "failure");
  auto& message = child<SelectableText>(*view, "failureText");
  EXPECT_EQ(message.text(), "Another Tavrino installer is running. Please finish it first.");
  EXPECT_FALSE(shown(*view, "failureDetail"));
  // Return retries even while "Quit" or the selectable text has the focus.
  auto& quit = child<QPushButton>(*view, "quit");
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  quit.setFocus();
  QTest::keyClick(&quit, Qt::Key_Return);
  EXPECT_EQ(flow->phase(), Phase::installing());
  child<QPushButton>(*view, "tryAgain").click();  // a late second press starts nothing
  EXPECT_TRUE(shown(*view, "progressScreen"));

  finishWith(std::make_exception_ptr(SetupError("Cannot open the installer lock.")));
  EXPECT_EQ(closes, 0);
  QTest::mouseClick(&quit, Qt::LeftButton);
  EXPECT_EQ(closes, 1);
  message.setFocus();
  QTest::keyClick(&message, Qt::Key_Return);
  settle();
  EXPECT_EQ(install.runs.size(), 3u);

  finishWith(nullptr);
  const int height = render(*view, "success").height();
  EXPECT_TRUE(shown(*view, "storeLink"));
  EXPECT_FALSE(shown(*view, "preview"));
  EXPECT_FALSE(shown(*view, "successNote"));
  // Google Chrome is missing here: the message goes under the link, in room made for it.
  QTest::mouseClick(&child<QAbstractButton>(*view, "storeLink"), Qt::LeftButton);
  EXPECT_EQ(view->linkError(), "Install Google Chrome, then open the Chrome Web Store link.");
  EXPECT_GT(render(*view, "success-no-chrome").height(), height);
  QTest::keyClick(view.get(), Qt::Key_Return);
  EXPECT_EQ(closes, 2);
}

TEST_F(SetupWindow, StoreLinkFromTheBundleOrAPreviewBuild) {
  auto fromInfo = [](std::string value) {
    return [value](const std::string& key) -> std::optional<std::string> {
      return key == "TavrinoChromeStoreURL" ? std::optional(value) : std::nullopt;
    };
  };
  EXPECT_EQ(makeView(std::nullopt, fromInfo("https://elsewhere.example/x"))->storeURL(),
            QUrl("https://elsewhere.example/x"));
  EXPECT_FALSE(makeView(std::nullopt, fromInfo("not a url"))->storeURL());

  auto view = makeView(std::nullopt, fromInfo(""));
  EXPECT_FALSE(view->storeURL());
  view->show();
  const QString note = "Browsers installed as a snap or a Flatpak cannot start the share helper; use Google "
                       "Chrome, Chromium, Brave, Microsoft Edge or Vivaldi installed as a regular package.";
  finishWith(nullptr, note);
  render(*view, "success-preview");
  EXPECT_TRUE(shown(*view, "successNote"));
  EXPECT_EQ(child<QLabel>(*view, "successNote").text(), note);
  EXPECT_TRUE(shown(*view, "preview"));
  EXPECT_FALSE(shown(*view, "storeLink"));
}

// A home with a path of 4,000 characters, too long for what is installed
// into it, on a screen of 1024 by 768 pixels with the window placed as the
// program places it: the failure is told in our own sentence with the path in
// smaller print under it, the path wraps, and the window stays on the screen
// with both buttons in reach.
TEST(SetupWindowOnScreen, FailureInPlainWordsWithTheButtonsInReach) {
  testing::InstallScene scene(false);
  // Nested folders: a name has at most 255 bytes.
  std::string home = scene.root.path().string();
  while (home.size() < 4000) home += "/" + std::string(std::min<std::size_t>(199, 3999 - home.size()), 'h');
  fs::create_directories(home);
  auto flow = SharingSetupFlow::make(productionInstallOperation(
      {.resourceFolder = [&] { return std::optional(scene.root.path()); },
       .homeFolder = [&] { return fs::path(home); },
       .install = [&](const fs::path& payload, const fs::path& into) {
         testing::installerFor(payload, into).install();
         return QString();
       }}));
  SetupView view(flow, kStore, [] {}, {});
  view.adjustSize();
  QRect frame = view.frameGeometry();
  const QRect available = view.screen()->availableGeometry();
  frame.moveCenter(available.center());
  view.move(frame.topLeft());
  view.show();
  ASSERT_TRUE(spinUntil([&] { return flow->phase().is(Phase::Case::failed); }, 20000));
  render(view, "failure-long-home");

  auto& message = child<SelectableText>(view, "failureText");
  auto& detail = child<SelectableText>(view, "failureDetail");
  EXPECT_EQ(message.text(), "The path of your home folder is too long for the files Tavrino Sharing Setup puts in "
                            "it. Installing needs a home folder with a shorter path.");
  EXPECT_TRUE(detail.text().startsWith("The system says “File name too long” about " + QString::fromStdString(home)));
  EXPECT_LT(detail.font().pixelSize(), message.font().pixelSize());
  for (SelectableText* text : {&message, &detail}) {
    EXPECT_LE(text->document()->size().width(), text->viewport()->width());
  }
  EXPECT_TRUE(available.contains(view.frameGeometry())) << view.frameGeometry().height();
  for (const char* button : {"quit", "tryAgain"}) {
    auto& shownButton = child<QPushButton>(view, button);
    EXPECT_TRUE(shownButton.isVisible());
    EXPECT_TRUE(available.contains(QRect(shownButton.mapToGlobal(QPoint(0, 0)), shownButton.size()))) << button;
  }
}

}  // namespace
}  // namespace tavrino::setup

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The real window, on a private X display of the size of a small laptop's
  // screen; listing the tests needs none.
  std::optional<tavrino::share::testing::Xvfb> display;
  if (!GTEST_FLAG_GET(list_tests)) display.emplace("1024x768x24");
  qputenv("DISPLAY", display ? QByteArray::fromStdString(display->name()) : QByteArray());
  qputenv("QT_QPA_PLATFORM", display ? "xcb" : "offscreen");
  // No desktop entries at all: Google Chrome is missing here.
  QTemporaryDir noApplications;
  qputenv("XDG_DATA_HOME", noApplications.path().toUtf8());
  qputenv("XDG_DATA_DIRS", noApplications.path().toUtf8());
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
