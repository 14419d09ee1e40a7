#pragma once

#include <QAbstractButton>
#include <QPainterPath>

namespace tavrino::setup {

// "Next: Add the Chrome extension" with an arrow, on a translucent white
// rounded rectangle that is all of the click area.
class StoreLinkButton : public QAbstractButton {
 public:
  explicit StoreLinkButton(QWidget* parent = nullptr);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  QPainterPath shape() const;
};

}  // namespace tavrino::setup
