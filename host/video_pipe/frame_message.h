#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tavrino::share {

// Writes the compact JSON text of a "frame" message into body (replacing its
// contents, reusing its storage), with the Base64 of bytes written straight
// into it: no JSON tree is built and the large text is never scanned for
// escapes (Base64 needs none). False when request cannot be written as JSON.
bool writeFrameMessageBody(std::string& body, const std::string& request, std::int64_t id,
                           bool key, std::int64_t timestamp, std::span<const std::uint8_t> bytes);

}  // namespace tavrino::share
