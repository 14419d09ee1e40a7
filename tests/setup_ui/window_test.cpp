#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <string>

#include "controlled_install.h"
#include "installer/setup_error.h"
#include "window/selectable_text.h"
#include "window/setup_view.h"

namespace tavrino::setup {
namespace {

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

  finishWith(std::make_exception_ptr(
      SetupError("The share helper cannot run on this computer.", "The library libfoo.so.1 is missing.")));
  render(*view, "failure-detail");
  auto& message = child<SelectableText>(*view, "failureText");
  auto& detail = child<SelectableText>(*view, "failureDetail");
  EXPECT_EQ(message.text(), "The share helper cannot run on this computer.");
  EXPECT_EQ(detail.text(), "The library libfoo.so.1 is missing.");
  EXPECT_TRUE(detail.isVisible());
  EXPECT_LT(detail.font().pixelSize(), message.font().pixelSize());
  child<QPushButton>(*view, "tryAgain").click();
  finishWith(std::make_exception_ptr(SetupError("Another Tavrino installer is running. Please finish it first.")));
  const int shortHeight = render(*view, "failure").height();
  EXPECT_EQ(message.text(), "Another Tavrino installer is running. Please finish it first.");
  EXPECT_FALSE(detail.isVisible());
  // Return retries even while "Quit" or the selectable text has the focus.
  auto& quit = child<QPushButton>(*view, "quit");
  view->activateWindow();
  quit.setFocus();
  QTest::keyClick(&quit, Qt::Key_Return);
  EXPECT_EQ(flow->phase(), Phase::installing());
  child<QPushButton>(*view, "tryAgain").click();  // a late second press starts nothing
  EXPECT_TRUE(shown(*view, "progressScreen"));

  std::string path = "/home/someone/.config/google-chrome/NativeMessagingHosts/"
                     ".tavrino-install-3F2504E0-4F89-11D3-9A0C-0305E82C3301/payload/with/a/very/long/"
                     "unbroken/path/that/cannot/possibly/fit/on/one/line/of/three/hundred/pixels";
  finishWith(std::make_exception_ptr(std::runtime_error("filesystem error: cannot copy: Permission denied [" +
                                                        path + "] [" + path + "]")));
  // Nothing is cut off: the window grows and the text gets all the height it needs.
  EXPECT_GT(render(*view, "failure-long").height(), shortHeight + 60);
  EXPECT_GE(message.height(), message.heightForWidth(message.width()));
  EXPECT_LE(message.document()->size().width(), message.width());
  EXPECT_EQ(closes, 0);
  QTest::mouseClick(&quit, Qt::LeftButton);
  EXPECT_EQ(closes, 1);
  message.setFocus();
  QTest::keyClick(&message, Qt::Key_Return);
  settle();
  EXPECT_EQ(install.runs.size(), 4u);

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

}  // namespace
}  // namespace tavrino::setup

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // No desktop entries at all: Google Chrome is missing here.
  QTemporaryDir noApplications;
  qputenv("XDG_DATA_HOME", noApplications.path().toUtf8());
  qputenv("XDG_DATA_DIRS", noApplications.path().toUtf8());
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
