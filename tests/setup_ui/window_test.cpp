#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>

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

QStringList shownTexts(QWidget& view) {
  QStringList texts;
  for (QLabel* label : view.findChildren<QLabel*>())
    if (label->isVisibleTo(&view)) texts << QTextDocumentFragment::fromHtml(label->text()).toPlainText();
  for (QAbstractButton* button : view.findChildren<QAbstractButton*>())
    if (button->isVisibleTo(&view)) texts << button->text();
  return texts;
}

template <class T>
T& child(QWidget& view, const char* name) {
  T* found = view.findChild<T*>(name);
  if (!found) throw std::runtime_error(std::string("no child ") + name);
  return *found;
}

void expectColour(const QImage& image, QPoint at, QColor want) {
  QColor got = image.pixelColor(at);
  EXPECT_NEAR(got.red(), want.red(), 2) << at.x() << "," << at.y();
  EXPECT_NEAR(got.green(), want.green(), 2) << at.x() << "," << at.y();
  EXPECT_NEAR(got.blue(), want.blue(), 2) << at.x() << "," << at.y();
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
  void finishWith(std::exception_ptr error) {
    settle();
    if (error)
      install.fail(std::move(error));
    else
      install.succeed();
    spinUntil([&] { return !flow->phase().is(Phase::Case::installing); });
  }
};

TEST_F(SetupWindow, ProgressScreenStartsTheFlowWhenShown) {
  auto view = makeView();
  // Not yet shown: `ready` looks like `installing`.
  EXPECT_TRUE(child<QWidget>(*view, "progressScreen").isVisibleTo(view.get()));
  EXPECT_EQ(flow->phase(), Phase::ready());
  view->show();
  EXPECT_EQ(flow->phase(), Phase::installing());
  QImage image = render(*view, "progress");
  EXPECT_EQ(install.runs.size(), 1u);

  EXPECT_EQ(image.width(), 352);
  expectColour(image, {0, 0}, QColor(240, 250, 255));
  expectColour(image, {image.width() - 1, image.height() - 1}, QColor(232, 243, 252));
  QStringList texts = shownTexts(*view);
  EXPECT_TRUE(texts.contains("Installing sharing helper…"));
  EXPECT_TRUE(texts.contains("Please wait."));
  // No default action while installing.
  QTest::keyClick(view.get(), Qt::Key_Return);
  EXPECT_EQ(flow->phase(), Phase::installing());
  EXPECT_EQ(closes, 0);
}

TEST_F(SetupWindow, FailureScreenShowsTheTextWrappedAndReturnRetries) {
  auto view = makeView();
  view->show();
  const std::string busy = "Another Tavrino installer is running. Please finish it first.";
  finishWith(std::make_exception_ptr(SetupError(busy)));
  EXPECT_EQ(render(*view, "failure").width(), 352);
  auto& message = child<SelectableText>(*view, "failureText");
  EXPECT_EQ(message.text().toStdString(), busy);
  EXPECT_TRUE(message.textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_TRUE(shownTexts(*view).contains("Installation couldn’t be completed"));
  auto& quit = child<QPushButton>(*view, "quit");
  auto& tryAgain = child<QPushButton>(*view, "tryAgain");
  EXPECT_LT(quit.mapTo(view.get(), QPoint()).x(), tryAgain.mapTo(view.get(), QPoint()).x());
  EXPECT_EQ(tryAgain.mapTo(view.get(), QPoint()).x() + tryAgain.width(), 352 - 24);

  // Return means "Try Again" even while "Quit" or the selectable text has the focus.
  view->activateWindow();
  quit.setFocus();
  QTest::keyClick(&quit, Qt::Key_Return);
  EXPECT_EQ(flow->phase(), Phase::installing());
  settle();
  EXPECT_EQ(install.runs.size(), 2u);
  EXPECT_TRUE(child<QWidget>(*view, "progressScreen").isVisible());
  finishWith(std::make_exception_ptr(SetupError("Cannot open the installer lock.")));
  int shortHeight = render(*view, "failure-short").height();
  message.setFocus();
  QTest::keyClick(&message, Qt::Key_Return);
  EXPECT_EQ(flow->phase(), Phase::installing());
  settle();
  EXPECT_EQ(install.runs.size(), 3u);
  EXPECT_EQ(closes, 0);

  std::string path = "/home/someone/.config/google-chrome/NativeMessagingHosts/"
                     ".tavrino-install-3F2504E0-4F89-11D3-9A0C-0305E82C3301/payload/with/a/very/long/"
                     "unbroken/path/that/cannot/possibly/fit/on/one/line/of/three/hundred/pixels";
  finishWith(std::make_exception_ptr(std::runtime_error("filesystem error: cannot copy: Permission denied [" +
                                                        path + "] [" + path + "]")));
  QImage image = render(*view, "failure-long");
  EXPECT_EQ(image.width(), 352);
  EXPECT_GT(image.height(), shortHeight + 60);
  EXPECT_EQ(message.width(), 304);
  // Nothing is cut off: the text gets all the height it needs.
  EXPECT_GE(message.height(), message.heightForWidth(304));
  EXPECT_EQ(message.document()->size().width(), 304);

  QTest::mouseClick(&quit, Qt::LeftButton);
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupWindow, SuccessScreenOffersTheStoreLinkAndReturnCloses) {
  auto view = makeView();
  view->show();
  finishWith(nullptr);
  QImage image = render(*view, "success");
  EXPECT_EQ(image.width(), 352);

  QStringList texts = shownTexts(*view);
  for (const char* text : {"Congratulations!", "Tavrino Share Helper was successfully installed.",
                           "Next: Add the Chrome extension", "OK"})
    EXPECT_TRUE(texts.contains(text)) << text << " in " << texts.join(" | ").toStdString();
  EXPECT_FALSE(texts.contains("Preview build — Chrome extension link is unavailable."));

  auto& link = child<QAbstractButton>(*view, "storeLink");
  auto& ok = child<QPushButton>(*view, "ok");
  EXPECT_EQ(link.width(), 304);
  EXPECT_EQ(ok.size(), QSize(112, 30));
  EXPECT_LT(link.mapTo(view.get(), QPoint()).y(), ok.mapTo(view.get(), QPoint()).y());
  EXPECT_EQ(ok.mapTo(view.get(), QPoint()).x() + 112, 352 - 24);
  // The white badge sits in the middle of the header, above the title.
  EXPECT_GT(qGray(image.pixel(176, 24 + 6)), 245);

  // Google Chrome is missing here: the message goes under the link.
  QTest::mouseClick(&link, Qt::LeftButton);
  EXPECT_EQ(view->linkError(), "Install Google Chrome, then open the Chrome Web Store link.");
  EXPECT_GT(render(*view, "success-no-chrome").height(), image.height());
  EXPECT_TRUE(child<QLabel>(*view, "linkError").isVisible());

  QTest::keyClick(view.get(), Qt::Key_Return);
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupWindow, StoreLinkComesFromTheConstructorOrTheBundle) {
  auto fromInfo = [](std::string value) {
    return [value](const std::string& key) -> std::optional<std::string> {
      return key == "TavrinoChromeStoreURL" ? std::optional(value) : std::nullopt;
    };
  };
  EXPECT_EQ(makeView(kStore, fromInfo("https://elsewhere.example/"))->storeURL(), kStore);
  EXPECT_EQ(makeView(std::nullopt, fromInfo("https://elsewhere.example/x"))->storeURL(),
            QUrl("https://elsewhere.example/x"));
  EXPECT_FALSE(makeView(std::nullopt, fromInfo("not a url"))->storeURL());
  EXPECT_FALSE(storeLinkFromInfo(std::nullopt));

  auto view = makeView(std::nullopt, fromInfo(""));
  EXPECT_FALSE(view->storeURL());
  view->show();
  finishWith(nullptr);
  render(*view, "success-preview");
  QStringList texts = shownTexts(*view);
  EXPECT_TRUE(texts.contains("Preview build — Chrome extension link is unavailable."));
  EXPECT_FALSE(texts.contains("Next: Add the Chrome extension"));
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
