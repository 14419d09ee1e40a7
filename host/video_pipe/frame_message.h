#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavrino::share {

// The compact JSON text of a "frame" message, with the Base64 of bytes written
// straight into it: no JSON tree is built and the large text is never scanned
// for escapes (Base64 needs none). None when request cannot be written as JSON.
std::optional<std::string> frameMessageBody(const std::string& request, std::int64_t id, bool key,
                                            std::int64_t timestamp,
                                            std::span<const std::uint8_t> bytes);

}  // namespace tavrino::share
