#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

class QPainter;

// The three symbols of the screens, drawn as paths so they look the same
// whatever fonts the machine has.
namespace tavrino::setup {

enum class Symbol { checkmark, warningTriangle, arrowUpRight };

// Draws `symbol` centred in `box`; `stroke` is the line width.
void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color, qreal stroke);

class SymbolView : public QWidget {
 public:
  SymbolView(Symbol symbol, QSize size, QColor color, qreal stroke, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Symbol symbol_;
  QColor color_;
  qreal stroke_;
};

// The success badge: a checkmark on a white disc with a faint green rim.
class Badge : public QWidget {
 public:
  explicit Badge(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent*) override;
};

// An indeterminate activity indicator, small size; it turns only while shown.
class ActivitySpinner : public QWidget {
 public:
  explicit ActivitySpinner(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent*) override;
  void showEvent(QShowEvent*) override;
  void hideEvent(QHideEvent*) override;

 private:
  QTimer timer_;
  int step_ = 0;
};

}  // namespace tavrino::setup
