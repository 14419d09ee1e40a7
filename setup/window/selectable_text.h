#pragma once

#include <QTextEdit>

namespace tavrino::setup {

// Plain text the user can select and copy. It wraps at word boundaries, or
// anywhere inside a word too long for the line (error texts carry long
// paths), and is as tall as its text for the width it gets, up to a limit
// beyond which it scrolls.
class SelectableText : public QTextEdit {
 public:
  explicit SelectableText(QWidget* parent = nullptr);

  void setText(const QString& text);
  QString text() const { return toPlainText(); }

  // The height the whole text takes at `width`.
  int naturalHeight(int width) const;
  void setHeightLimit(int pixels);

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int heightLimit_ = QWIDGETSIZE_MAX;
};

}  // namespace tavrino::setup
