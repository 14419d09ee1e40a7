#pragma once

#include <QString>

namespace tavrino::setup {

// Where the installation stands. `failed` carries the message shown to the
// user and, when known, a detail for a smaller line under it; `installed` may
// carry a note for the success screen in the message. The texts are compared
// along with the case.
class Phase {
 public:
  enum class Case { ready, installing, installed, failed };

  static Phase ready() { return Phase(Case::ready, {}, {}); }
  static Phase installing() { return Phase(Case::installing, {}, {}); }
  static Phase installed(QString note = {}) { return Phase(Case::installed, std::move(note), {}); }
  static Phase failed(QString message, QString detail = {}) {
    return Phase(Case::failed, std::move(message), std::move(detail));
  }

  Case kind() const { return kind_; }
  bool is(Case kind) const { return kind_ == kind; }
  // Empty unless the phase is `failed`, or `installed` with a note.
  const QString& message() const { return message_; }
  const QString& detail() const { return detail_; }

  bool operator==(const Phase&) const = default;

 private:
  Phase(Case kind, QString message, QString detail)
      : kind_(kind), message_(std::move(message)), detail_(std::move(detail)) {}

  Case kind_;
  QString message_;
  QString detail_;
};

}  // namespace tavrino::setup
