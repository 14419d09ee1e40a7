#pragma once

#include <QString>

namespace tavrino::setup {

// Where the installation stands. Only `failed` carries texts: the message
// shown to the user and, when known, a detail for a smaller line under it;
// both are compared along with the case.
class Phase {
 public:
  enum class Case { ready, installing, installed, failed };

  static Phase ready() { return Phase(Case::ready, {}, {}); }
  static Phase installing() { return Phase(Case::installing, {}, {}); }
  static Phase installed() { return Phase(Case::installed, {}, {}); }
  static Phase failed(QString message, QString detail = {}) {
    return Phase(Case::failed, std::move(message), std::move(detail));
  }

  Case kind() const { return kind_; }
  bool is(Case kind) const { return kind_ == kind; }
  // Empty unless the phase is `failed`.
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
