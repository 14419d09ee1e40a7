#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace tavrino::setup {

// The setup program's one error type: a complete English sentence for the
// user. Platform failures are not wrapped in it; they travel as their own
// exception types (std::filesystem::filesystem_error, std::system_error) and
// are shown with their own text.
class SetupError : public std::runtime_error {
 public:
  explicit SetupError(const std::string& sentence, std::string detail = {})
      : std::runtime_error(sentence), detail_(std::move(detail)) {}
  std::string errorDescription() const { return what(); }
  // What exactly went wrong, when this computer told us (a missing library,
  // say), as a sentence of its own shown in smaller print under the first;
  // empty otherwise.
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

}  // namespace tavrino::setup
