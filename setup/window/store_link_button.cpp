#include "window/store_link_button.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include "window/style.h"
#include "window/symbols.h"

namespace tavrino::setup {

namespace {

constexpr int kVerticalPadding = 13;
constexpr int kGap = 8;
constexpr qreal kRadius = 12;
constexpr int kArrowSize = 9;

QFont labelFont() { return style::font(13, QFont::Medium); }

}  // namespace

StoreLinkButton::StoreLinkButton(QWidget* parent) : QAbstractButton(parent) {
  setText(QCoreApplication::translate("SetupView", "Next: Add the Chrome extension"));
  setFont(labelFont());
  setCursor(Qt::PointingHandCursor);
  // Like a link: reachable by Tab, but a click leaves no focus ring behind.
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize StoreLinkButton::sizeHint() const {
  QFontMetrics metrics(font());
  int width = metrics.horizontalAdvance(text()) + kGap + kArrowSize;
  return {width, 2 * kVerticalPadding + metrics.height()};
}

QPainterPath StoreLinkButton::shape() const {
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), kRadius, kRadius);
  return path;
}

bool StoreLinkButton::hitButton(const QPoint& pos) const { return shape().contains(pos); }

void StoreLinkButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF box(rect());
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgbF(1, 1, 1, isDown() ? 0.9f : 0.64f));
  painter.drawRoundedRect(box, kRadius, kRadius);
  // The 1-pixel border lies inside the edge.
  painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.9f), 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), kRadius - 0.5, kRadius - 0.5);

  QFontMetrics metrics(font());
  int textWidth = metrics.horizontalAdvance(text());
  int rowWidth = textWidth + kGap + kArrowSize;
  qreal left = (width() - rowWidth) / 2.0;
  painter.setPen(style::link());
  painter.setFont(font());
  painter.drawText(QRectF(left, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
  QRectF arrow(left + textWidth + kGap, (height() - kArrowSize) / 2.0, kArrowSize, kArrowSize);
  drawSymbol(painter, Symbol::arrowUpRight, arrow, style::link(), 1.6);
  if (hasFocus()) {
    painter.setPen(QPen(style::link(), 1.5));
    painter.drawRoundedRect(box.adjusted(1.5, 1.5, -1.5, -1.5), kRadius - 1.5, kRadius - 1.5);
  }
}

}  // namespace tavrino::setup
