#pragma once

// The helper's framing as the browser writes and reads it: a 32-bit
// little-endian length, then that many bytes of body.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace tavrino::share::testing {

inline std::string frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)} +
         body;
}

// A stop request body of exactly `size` bytes.
inline std::string stopOfSize(std::size_t size) {
  const std::string prefix = R"({"command":"stop","pad":")";
  return prefix + std::string(size - prefix.size() - 2, 'p') + "\"}";
}

// The body of the first complete frame in bytes, removed from them.
inline std::optional<std::string> takeFrame(std::string& bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const auto* h = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t length = h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::size_t>(h[3]) << 24;
  if (bytes.size() - 4 < length) return std::nullopt;
  std::string body = bytes.substr(4, length);
  bytes.erase(0, 4 + length);
  return body;
}

// Serves bytes in reads of at most slice bytes, like a pipe fed slowly, from
// *position on, which counts what was read. The bytes must outlive the reader.
inline auto memoryReader(std::string_view bytes, std::size_t* position, std::size_t slice = SIZE_MAX) {
  return [bytes, position, slice](std::uint8_t* buffer, std::size_t capacity) {
    const std::size_t n = std::min({capacity, slice, bytes.size() - *position});
    if (n > 0) std::memcpy(buffer, bytes.data() + *position, n);
    *position += n;
    return n;
  };
}

}  // namespace tavrino::share::testing
