#include "window/screens.h"

#include <QCoreApplication>

#include <algorithm>

#include "window/style.h"

namespace tavrino::setup {

namespace {

QString text(const char* english) { return QCoreApplication::translate("SetupView", english); }

void styleLabel(QLabel& label, const QFont& font, const QColor& color, bool wrap = true) {
  label.setFont(font);
  QPalette p = label.palette();
  p.setColor(QPalette::WindowText, color);
  label.setPalette(p);
  label.setWordWrap(wrap);
}

void column(QVBoxLayout& layout, QWidget& owner) {
  owner.setLayout(&layout);
  layout.setContentsMargins(0, 0, 0, 0);
  layout.setSpacing(style::kSpacing);
}

void returnKeys(QShortcut& shortcut) {
  shortcut.setKeys({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  shortcut.setContext(Qt::WindowShortcut);
}

}  // namespace

ProgressScreen::ProgressScreen(QWidget* parent) : QWidget(parent) {
  setObjectName("progressScreen");
  column(layout_, *this);
  styleLabel(title_, style::headline(), style::primaryText());
  title_.setText(text("Installing sharing helper…"));
  styleLabel(detail_, style::body(), style::secondaryText());
  detail_.setText(text("Please wait."));
  layout_.addWidget(&spinner_, 0, Qt::AlignLeft);
  layout_.addWidget(&title_);
  layout_.addWidget(&detail_);
}

FailureScreen::FailureScreen(QWidget* parent)
    : QWidget(parent),
      icon_(Symbol::warningTriangle, QSize(16, 14), style::primaryText(), 1.4),
      returnKey_(this) {
  setObjectName("failureScreen");
  column(layout_, *this);

  titleRow_.setLayout(&titleLayout_);
  titleLayout_.setContentsMargins(0, 0, 0, 0);
  titleLayout_.setSpacing(6);
  styleLabel(title_, style::headline(), style::primaryText());
  title_.setText(text("Installation couldn’t be completed"));
  titleLayout_.addWidget(&icon_, 0, Qt::AlignVCenter);
  titleLayout_.addWidget(&title_, 1);

  message_.setObjectName("failureText");
  message_.setFont(style::callout());
  detail_.setObjectName("failureDetail");
  detail_.setFont(style::caption());
  QPalette dimmed = detail_.palette();
  dimmed.setColor(QPalette::Text, style::secondaryText());
  detail_.setPalette(dimmed);

  buttonRow_.setLayout(&buttonLayout_);
  buttonLayout_.setContentsMargins(0, 0, 0, 0);
  quit_.setObjectName("quit");
  quit_.setText(text("Quit"));
  tryAgain_.setObjectName("tryAgain");
  tryAgain_.setText(text("Try Again"));
  tryAgain_.setDefault(true);
  buttonLayout_.addWidget(&quit_, 0, Qt::AlignVCenter);
  buttonLayout_.addStretch(1);
  buttonLayout_.addWidget(&tryAgain_, 0, Qt::AlignVCenter);

  returnKeys(returnKey_);
  connect(&returnKey_, &QShortcut::activated, &tryAgain_, &QPushButton::click);

  layout_.addWidget(&titleRow_);
  layout_.addWidget(&message_);
  layout_.addWidget(&detail_);
  layout_.addWidget(&buttonRow_);
}

void FailureScreen::setMessage(const QString& message, const QString& detail) {
  message_.setText(message);
  detail_.setText(detail);
  detail_.setVisible(!detail.isEmpty());
}

void FailureScreen::fitInto(int height) {
  const bool hasDetail = !detail_.text().isEmpty();
  const int room = height - titleRow_.sizeHint().height() - buttonRow_.sizeHint().height() -
                   style::kSpacing * (hasDetail ? 3 : 2);
  const int message = message_.naturalHeight(style::kColumnWidth);
  const int detail = hasDetail ? detail_.naturalHeight(style::kColumnWidth) : 0;
  int messageRoom = message;
  int detailRoom = detail;
  if (message + detail > room) {
    // The sentence comes first; a long detail keeps a third of the room.
    detailRoom = std::min(detail, std::max(room / 3, room - message));
    messageRoom = room - detailRoom;
  }
  // A line of each stays, however small the screen.
  message_.setHeightLimit(std::max(messageRoom, message_.fontMetrics().lineSpacing()));
  detail_.setHeightLimit(std::max(detailRoom, detail_.fontMetrics().lineSpacing()));
}

SuccessScreen::SuccessScreen(bool hasStoreLink, QWidget* parent) : QWidget(parent), returnKey_(this) {
  setObjectName("successScreen");
  column(layout_, *this);

  header_.setLayout(&headerLayout_);
  headerLayout_.setContentsMargins(0, 0, 0, 0);
  headerLayout_.setSpacing(10);
  styleLabel(congratulations_, style::font(23, QFont::Bold), style::congratulations());
  congratulations_.setText(text("Congratulations!"));
  congratulations_.setAlignment(Qt::AlignHCenter);
  styleLabel(sentence_, style::font(13), style::successSentence());
  // Three pixels of extra space between the lines of the sentence.
  sentence_.setTextFormat(Qt::RichText);
  sentence_.setText(QStringLiteral("<div align=\"center\" style=\"-qt-line-height-type: line-distance; "
                                   "line-height: 3px;\">%1</div>")
                        .arg(text("Tavrino Share Helper was successfully installed.").toHtmlEscaped()));
  sentence_.setAlignment(Qt::AlignHCenter);
  headerLayout_.addWidget(&badge_, 0, Qt::AlignHCenter);
  headerLayout_.addWidget(&congratulations_);
  headerLayout_.addWidget(&sentence_);
  layout_.addWidget(&header_);

  note_.setObjectName("successNote");
  styleLabel(note_, style::callout(), style::primaryText());
  note_.setTextFormat(Qt::PlainText);
  note_.hide();
  layout_.addWidget(&note_);

  storeLink_.setObjectName("storeLink");
  preview_.setObjectName("preview");
  styleLabel(preview_, style::caption(), style::secondaryText());
  preview_.setText(text("Preview build — Chrome extension link is unavailable."));
  layout_.addWidget(hasStoreLink ? static_cast<QWidget*>(&storeLink_) : &preview_);
  (hasStoreLink ? static_cast<QWidget&>(preview_) : storeLink_).hide();

  linkError_.setObjectName("linkError");
  styleLabel(linkError_, style::caption(), style::red());
  linkError_.setTextFormat(Qt::PlainText);
  linkError_.hide();
  layout_.addWidget(&linkError_);

  bottomRow_.setLayout(&bottomLayout_);
  // Six pixels more above the row than between the other items.
  bottomLayout_.setContentsMargins(0, 6, 0, 0);
  ok_.setObjectName("ok");
  ok_.setText(text("OK"));
  ok_.setFixedSize(112, 30);
  ok_.setFont(style::font(15, QFont::DemiBold));
  QColor tint = style::link();
  ok_.setStyleSheet(QStringLiteral("QPushButton { color: white; background-color: %1; border: 1px solid %2;"
                                   " border-radius: 7px; }"
                                   "QPushButton:pressed { background-color: %2; }")
                        .arg(tint.name(), tint.darker(125).name()));
  bottomLayout_.addStretch(1);
  bottomLayout_.addWidget(&ok_, 0, Qt::AlignVCenter);
  layout_.addWidget(&bottomRow_);

  returnKeys(returnKey_);
  connect(&returnKey_, &QShortcut::activated, &ok_, &QPushButton::click);
}

void SuccessScreen::setNote(const QString& text) {
  note_.setText(text);
  note_.setVisible(!text.isEmpty());
}

void SuccessScreen::setLinkError(const QString& text) {
  linkError_.setText(text);
  linkError_.setVisible(!text.isEmpty());
}

}  // namespace tavrino::setup
