#pragma once

#include <QProcess>
#include <QString>

namespace tavrino::setup {

// A private X server on the first free display number, stopped on destruction.
class XvfbDisplay {
 public:
  XvfbDisplay() {
    // Xvfb picks a free number itself and writes it to the given descriptor.
    server_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (!server_.waitForStarted(5000)) return;
    for (int waited = 0; waited < 100 && !server_.canReadLine(); ++waited) server_.waitForReadyRead(100);
    QString number = QString::fromUtf8(server_.readLine()).trimmed();
    if (!number.isEmpty()) name_ = ":" + number;
  }
  ~XvfbDisplay() {
    server_.terminate();
    if (!server_.waitForFinished(5000)) server_.kill();
    server_.waitForFinished(1000);
  }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  bool ready() const { return !name_.isEmpty(); }
  const QString& name() const { return name_; }

 private:
  QProcess server_;
  QString name_;
};

}  // namespace tavrino::setup
