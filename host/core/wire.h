#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/error_value.h"

namespace tavrino::share {

// Reads up to capacity bytes into buffer; returns the count, 0 at end of input.
// Any read error counts as end of input.
using ByteReader = std::function<std::size_t(std::uint8_t* buffer, std::size_t capacity)>;

// A reader over a file descriptor (retries interrupted reads).
ByteReader fileDescriptorReader(int fd);

// The helper's own error value.
ErrorValue failure(std::string text);

// Native-messaging framing: 4-byte little-endian length, then one JSON object.
namespace Wire {

inline constexpr std::size_t kMaxOutgoingBody = 1'048'575;
inline constexpr std::uint32_t kMaxIncomingBody = 16'384;

// The compact JSON body of message, or none when it cannot be encoded or
// would exceed kMaxOutgoingBody.
std::optional<std::string> encode(const nlohmann::json& message);

// Writes one frame (header, then body) to fd while holding the writer lock.
// Returns false on a failed write; the frame may then be partial.
bool writeFrame(int fd, const std::string& body);

// Sends one message on standard output. Unencodable and oversized messages
// are dropped; a failed write ends the process at once with status 0.
void send(const nlohmann::json& message);

// Sends one already encoded compact JSON body the same way; bodies over
// kMaxOutgoingBody are dropped.
void sendBody(const std::string& body);

// Ends the process at once with status, between two frames: no frame is
// left cut off.
[[noreturn]] void exitBetweenFrames(int status);

// Exactly count bytes, or none when the input ends first. Empty for count <= 0.
std::optional<std::vector<std::uint8_t>> readExactly(const ByteReader& input, std::int64_t count);
std::optional<std::vector<std::uint8_t>> readExactly(std::int64_t count);  // standard input

// A request body as a JSON object, or none when it is not JSON or not an
// object. Exactness is decided on the number as written: every number whose
// text denotes a whole number within 64 bits (3, 3.0, 1e2, -0.0) becomes an
// integer value; only numbers that are not whole, or lie beyond 64 bits,
// stay floating-point, so that no rounding can carry them into range.
std::optional<nlohmann::json> parseRequest(std::string_view body);

// The next request object, or none when reading has to end: end of input, a
// length outside 1..kMaxIncomingBody, a body that is not JSON or not an object.
std::optional<nlohmann::json> decodeFrame(const ByteReader& input);

}  // namespace Wire
}  // namespace tavrino::share
