#include "window/selectable_text.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <memory>

namespace tavrino::setup {

SelectableText::SelectableText(QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setAcceptRichText(false);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setLineWrapMode(QTextEdit::WidgetWidth);
  document()->setDocumentMargin(0);
  viewport()->setAutoFillBackground(false);
  setAutoFillBackground(false);
  QPalette p = palette();
  p.setColor(QPalette::Base, Qt::transparent);
  setPalette(p);
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

void SelectableText::setText(const QString& text) {
  setPlainText(text);
  updateGeometry();
}

int SelectableText::naturalHeight(int width) const {
  // Measure a copy so the shown document keeps its own layout width.
  std::unique_ptr<QTextDocument> measure(document()->clone());
  measure->setDefaultFont(font());
  measure->setTextWidth(width - 2 * frameWidth());
  return static_cast<int>(std::ceil(measure->size().height())) + 2 * frameWidth();
}

void SelectableText::setHeightLimit(int pixels) {
  if (pixels == heightLimit_) return;
  heightLimit_ = pixels;
  updateGeometry();
}

int SelectableText::heightForWidth(int width) const { return std::min(naturalHeight(width), heightLimit_); }

QSize SelectableText::sizeHint() const {
  int width = QTextEdit::sizeHint().width();
  return {width, heightForWidth(width)};
}

void SelectableText::resizeEvent(QResizeEvent* event) {
  QTextEdit::resizeEvent(event);
  // Wrapping may have changed, and with it the height the layout must give.
  if (heightForWidth(width()) != height()) updateGeometry();
}

}  // namespace tavrino::setup
