#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tavrino::share {

// Length of the standard Base64 text (with padding) for size bytes.
constexpr std::size_t base64Length(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes the standard Base64 text (RFC 4648 alphabet, "=" padding, no line
// breaks) of bytes to out, which must hold base64Length(bytes.size()) chars.
void base64Encode(std::span<const std::uint8_t> bytes, char* out);

std::string base64Encode(std::span<const std::uint8_t> bytes);

namespace detail {
// The portable encoder (OpenSSL) that the vector path falls back to; the
// yardstick for testing that path.
void base64EncodePortable(std::span<const std::uint8_t> bytes, char* out);
}  // namespace detail

}  // namespace tavrino::share
