#pragma once

#include <stdexcept>
#include <string>

namespace tavrino::setup {

// The setup program's one error type: a complete English sentence for the
// user. Platform failures are not wrapped in it; they travel as their own
// exception types (std::filesystem::filesystem_error, std::system_error) and
// are shown with their own text.
class SetupError : public std::runtime_error {
 public:
  explicit SetupError(const std::string& sentence) : std::runtime_error(sentence) {}
  std::string errorDescription() const { return what(); }
};

}  // namespace tavrino::setup
