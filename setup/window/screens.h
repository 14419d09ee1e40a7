#pragma once

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QWidget>

#include "window/selectable_text.h"
#include "window/store_link_button.h"
#include "window/symbols.h"

// The three screens of the setup window. Each is a column of items 14 pixels
// apart; the view shows one of them and wires up the actions.
namespace tavrino::setup {

class ProgressScreen : public QWidget {
 public:
  explicit ProgressScreen(QWidget* parent = nullptr);

 private:
  QVBoxLayout layout_;
  ActivitySpinner spinner_;
  QLabel title_;
  QLabel detail_;
};

class FailureScreen : public QWidget {
 public:
  explicit FailureScreen(QWidget* parent = nullptr);

  // The detail, when not empty, is a smaller second line under the message.
  void setMessage(const QString& message, const QString& detail);
  // Keeps the screen within `height`: texts too long for it scroll, so the
  // buttons stay in reach.
  void fitInto(int height);

  QPushButton& quit() { return quit_; }
  QPushButton& tryAgain() { return tryAgain_; }
  QShortcut& returnKey() { return returnKey_; }

 private:
  QVBoxLayout layout_;
  QWidget titleRow_;
  QHBoxLayout titleLayout_;
  SymbolView icon_;
  QLabel title_;
  SelectableText message_;
  SelectableText detail_;
  QWidget buttonRow_;
  QHBoxLayout buttonLayout_;
  QPushButton quit_;
  QPushButton tryAgain_;
  QShortcut returnKey_;
};

class SuccessScreen : public QWidget {
 public:
  explicit SuccessScreen(bool hasStoreLink, QWidget* parent = nullptr);

  void setLinkError(const QString& text);
  // A sentence under the header; hidden when empty.
  void setNote(const QString& text);

  StoreLinkButton& storeLink() { return storeLink_; }
  QPushButton& ok() { return ok_; }
  QShortcut& returnKey() { return returnKey_; }

 private:
  QVBoxLayout layout_;
  QWidget header_;
  QVBoxLayout headerLayout_;
  Badge badge_;
  QLabel congratulations_;
  QLabel sentence_;
  QLabel note_;
  StoreLinkButton storeLink_;
  QLabel preview_;
  QLabel linkError_;
  QWidget bottomRow_;
  QHBoxLayout bottomLayout_;
  QPushButton ok_;
  QShortcut returnKey_;
};

}  // namespace tavrino::setup
