#pragma once

#include <QString>

namespace tavrino::setup {

// Where the installation stands. Only `failed` carries a text: the message
// shown to the user, compared along with the case.
class Phase {
 public:
  enum class Case { ready, installing, installed, failed };

  static Phase ready() { return Phase(Case::ready, {}); }
  static Phase installing() { return Phase(Case::installing, {}); }
  static Phase installed() { return Phase(Case::installed, {}); }
  static Phase failed(QString message) { return Phase(Case::failed, std::move(message)); }

  Case kind() const { return kind_; }
  bool is(Case kind) const { return kind_ == kind; }
  // Empty unless the phase is `failed`.
  const QString& message() const { return message_; }

  bool operator==(const Phase&) const = default;

 private:
  Phase(Case kind, QString message) : kind_(kind), message_(std::move(message)) {}

  Case kind_;
  QString message_;
};

}  // namespace tavrino::setup
