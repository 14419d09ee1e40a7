#include "window/symbols.h"

#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>

#include <memory>

#include "window/style.h"

namespace tavrino::setup {

namespace {

constexpr int kSpinnerTicks = 8;

QPainterPath symbolPath(Symbol symbol, const QRectF& b) {
  QPainterPath path;
  auto at = [&b](qreal x, qreal y) { return QPointF(b.left() + x * b.width(), b.top() + y * b.height()); };
  switch (symbol) {
    case Symbol::checkmark:
      path.moveTo(at(0.08, 0.55));
      path.lineTo(at(0.38, 0.86));
      path.lineTo(at(0.92, 0.12));
      break;
    case Symbol::warningTriangle:
      path.moveTo(at(0.5, 0.06));
      path.lineTo(at(0.96, 0.92));
      path.lineTo(at(0.04, 0.92));
      path.closeSubpath();
      path.moveTo(at(0.5, 0.36));
      path.lineTo(at(0.5, 0.62));
      break;
    case Symbol::arrowUpRight:
      path.moveTo(at(0.12, 0.88));
      path.lineTo(at(0.88, 0.12));
      path.moveTo(at(0.3, 0.12));
      path.lineTo(at(0.88, 0.12));
      path.lineTo(at(0.88, 0.7));
      break;
  }
  return path;
}

}  // namespace

void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color, qreal stroke) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF inner = box.adjusted(stroke / 2, stroke / 2, -stroke / 2, -stroke / 2);
  painter.setPen(QPen(color, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(symbolPath(symbol, inner));
  if (symbol == Symbol::warningTriangle) {
    // The exclamation mark's dot.
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QPointF(inner.center().x(), inner.top() + 0.76 * inner.height()), stroke * 0.65, stroke * 0.65);
  }
  painter.restore();
}

SymbolView::SymbolView(Symbol symbol, QSize size, QColor color, qreal stroke, QWidget* parent)
    : QWidget(parent), symbol_(symbol), color_(color), stroke_(stroke) {
  setFixedSize(size);
}

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawSymbol(painter, symbol_, rect(), color_, stroke_);
}

Badge::Badge(QWidget* parent) : QWidget(parent) {
  setFixedSize(48, 48);
  // The widget takes ownership of its effect.
  auto shadow = std::make_unique<QGraphicsDropShadowEffect>();
  shadow->setColor(style::badgeShadow());
  shadow->setBlurRadius(8);
  shadow->setOffset(0, 3);
  setGraphicsEffect(shadow.release());
}

void Badge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF disc(0, 0, 48, 48);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.85f));
  painter.drawEllipse(disc);
  QColor rim = style::green();
  rim.setAlphaF(0.2f);
  // A 1-pixel rim inside the disc's edge.
  painter.setPen(QPen(rim, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
  // About the size of a 23-point semibold glyph.
  drawSymbol(painter, Symbol::checkmark, QRectF(14, 15.5, 20, 17), style::checkmark(), 2.6);
}

ActivitySpinner::ActivitySpinner(QWidget* parent) : QWidget(parent) {
  setFixedSize(16, 16);
  timer_.setInterval(80);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % kSpinnerTicks;
    update();
  });
}

void ActivitySpinner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(rect().center() + QPointF(0.5, 0.5));
  for (int i = 0; i < kSpinnerTicks; ++i) {
    // The leading tick is darkest; the ones behind it fade out.
    int age = (step_ - i + kSpinnerTicks) % kSpinnerTicks;
    QColor tick(0, 0, 0);
    tick.setAlphaF(0.75f - 0.08f * age);
    painter.setPen(QPen(tick, 1.8, Qt::SolidLine, Qt::RoundCap));
    painter.save();
    painter.rotate(360.0 * i / kSpinnerTicks);
    painter.drawLine(QPointF(0, -3.5), QPointF(0, -7));
    painter.restore();
  }
}

void ActivitySpinner::showEvent(QShowEvent*) { timer_.start(); }
void ActivitySpinner::hideEvent(QHideEvent*) { timer_.stop(); }

}  // namespace tavrino::setup
