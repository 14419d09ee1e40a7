#pragma once

#include <cstdint>
#include <string>

namespace tavrino::share {

// A failure travelling inside the helper. The helper's own failures use the
// domain "TavrinoShare" and code 1; platform failures keep their own domain and
// code. Only the description ever reaches the extension.
struct ErrorValue {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  friend bool operator==(const ErrorValue&, const ErrorValue&) = default;
};

}  // namespace tavrino::share
