#include "window/setup_view.h"

#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>

#include <algorithm>

#include "platform/bundle_info.h"
#include "window/google_chrome.h"
#include "window/style.h"

namespace tavrino::setup {

namespace {

QString text(const char* english) { return QCoreApplication::translate("SetupView", english); }

std::optional<QUrl> resolveStoreLink(std::optional<QUrl> passed, const SetupView::InfoReader& readInfo) {
  if (passed) return passed;
  const std::string key = "TavrinoChromeStoreURL";
  return storeLinkFromInfo(readInfo ? readInfo(key) : mainBundleInfoString(key));
}

}  // namespace

std::optional<QUrl> storeLinkFromInfo(const std::optional<std::string>& value) {
  if (!value || value->empty()) return std::nullopt;
  QUrl url(QString::fromStdString(*value), QUrl::StrictMode);
  if (!url.isValid()) return std::nullopt;
  return url;
}

SetupView::SetupView(std::shared_ptr<SharingSetupFlow> flow, std::optional<QUrl> storeURL, Close close,
                     InfoReader readInfo)
    : flow_(flow ? std::move(flow) : SharingSetupFlow::production()),
      storeURL_(resolveStoreLink(std::move(storeURL), readInfo)),
      close_(close ? std::move(close) : Close([] { QCoreApplication::quit(); })),
      success_(storeURL_.has_value()) {
  setLayout(&layout_);
  layout_.setContentsMargins(style::kPadding, style::kPadding, style::kPadding, style::kPadding);
  layout_.setSpacing(0);
  // The window takes the content's size: fixed width, natural height.
  layout_.setSizeConstraint(QLayout::SetFixedSize);
  for (QWidget* screen : {static_cast<QWidget*>(&progress_), static_cast<QWidget*>(&failure_),
                          static_cast<QWidget*>(&success_)}) {
    screen->setFixedWidth(style::kColumnWidth);
    layout_.addWidget(screen, 0, Qt::AlignTop);
  }

  connect(&failure_.quit(), &QPushButton::clicked, this, [this] { close_(); });
  connect(&failure_.tryAgain(), &QPushButton::clicked, this, [this] { flow_->retry(); });
  connect(&success_.ok(), &QPushButton::clicked, this, [this] { close_(); });
  connect(&success_.storeLink(), &QAbstractButton::clicked, this, [this] {
    if (storeURL_) openChrome(*storeURL_);
  });
  connect(flow_.get(), &SharingSetupFlow::phaseChanged, this, &SetupView::showPhase);
  showPhase(flow_->phase());
}

void SetupView::showPhase(const Phase& phase) {
  bool failed = phase.is(Phase::Case::failed);
  bool installed = phase.is(Phase::Case::installed);
  if (failed) {
    failure_.setMessage(phase.message(), phase.detail());
    fitToScreen();
  }
  if (installed) success_.setNote(phase.message());
  progress_.setVisible(!failed && !installed);
  failure_.setVisible(failed);
  success_.setVisible(installed);
  // Return belongs to the screen on show; the progress screen has none.
  failure_.returnKey().setEnabled(failed);
  success_.returnKey().setEnabled(installed);
}

void SetupView::setLinkError(QString message) {
  linkError_ = std::move(message);
  success_.setLinkError(linkError_);
  emit linkErrorChanged(linkError_);
}

void SetupView::openChrome(const QUrl& url) {
  std::optional<GoogleChrome> chrome = GoogleChrome::find();
  if (!chrome) {
    setLinkError(text("Install Google Chrome, then open the Chrome Web Store link."));
    return;
  }
  setLinkError({});
  chrome->open(url, this, [this](bool failed) {
    if (failed) setLinkError(text("Could not open Chrome. Please try the link again."));
  });
}

void SetupView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The window manager's frame is known once shown.
  fitToScreen();
  flow_->start();
}

void SetupView::fitToScreen() {
  const QScreen* shownOn = screen();
  if (!shownOn) return;
  const int frame = isWindow() && isVisible() ? frameGeometry().height() - height() : 0;
  failure_.fitInto(shownOn->availableGeometry().height() - frame - 2 * style::kPadding);
}

// The window grows downwards with its content; it moves up as far as needed
// to stay on the screen.
void SetupView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const QScreen* shownOn = screen();
  if (!isWindow() || !isVisible() || !shownOn) return;
  const QRect available = shownOn->availableGeometry();
  const QRect frame = frameGeometry();
  QPoint corner = frame.topLeft();
  corner.setX(std::max(available.left(), std::min(corner.x(), available.right() + 1 - frame.width())));
  corner.setY(std::max(available.top(), std::min(corner.y(), available.bottom() + 1 - frame.height())));
  if (corner != frame.topLeft()) move(corner);
}

void SetupView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
  gradient.setColorAt(0, style::gradientStart());
  gradient.setColorAt(1, style::gradientEnd());
  painter.fillRect(rect(), gradient);
}

}  // namespace tavrino::setup
