#pragma once

// The helper's framing as the browser writes and reads it: a 32-bit
// little-endian length, then that many bytes of body.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/wire.h"

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

// The bodies of the complete frames at the start of bytes; *rest counts the
// bytes after them.
inline std::vector<std::string> frameBodies(const std::string& bytes, std::size_t* rest = nullptr) {
  std::vector<std::string> bodies;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    const auto* h = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    const std::size_t length = h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::size_t>(h[3]) << 24;
    if (at + 4 + length > bytes.size()) break;
    bodies.push_back(bytes.substr(at + 4, length));
    at += 4 + length;
  }
  if (rest) *rest = bytes.size() - at;
  return bodies;
}

// Serves bytes in reads of at most slice bytes, like a pipe fed slowly, from
// *position on, which counts what was read. The bytes must outlive the reader.
inline ByteReader memoryReader(std::string_view bytes, std::size_t* position, std::size_t slice = SIZE_MAX) {
  return [bytes, position, slice](std::uint8_t* buffer, std::size_t capacity) {
    const std::size_t n = std::min({capacity, slice, bytes.size() - *position});
    if (n > 0) std::memcpy(buffer, bytes.data() + *position, n);
    *position += n;
    return n;
  };
}

}  // namespace tavrino::share::testing
