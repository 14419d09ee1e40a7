#pragma once

#include <QTextEdit>

namespace tavrino::setup {

// Plain text the user can select and copy. It wraps at word boundaries, or
// anywhere inside a word too long for the line (error texts carry long
// paths), and is always as tall as its text for the width it gets.
class SelectableText : public QTextEdit {
 public:
  explicit SelectableText(QWidget* parent = nullptr);

  void setText(const QString& text);
  QString text() const { return toPlainText(); }

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void resizeEvent(QResizeEvent* event) override;
};

}  // namespace tavrino::setup
