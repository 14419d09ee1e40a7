#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavrino::share {

// Unicode equality: canonically equivalent texts are equal. Texts that are not
// valid UTF-8 are equal only byte for byte.
bool canonicallyEqual(std::string_view a, std::string_view b);

// Number of extended grapheme clusters, or none for text that is not UTF-8.
std::optional<std::size_t> graphemeClusterCount(std::string_view text);

// The member as a string; absent or of another type counts as empty.
std::string stringMember(const nlohmann::json& object, const char* key);

// The value as an exact integer of the width. Requests are parsed so that
// every number written as a whole number within 64 bits (3, 3.0, 1e2) is an
// integer value (Wire::parseRequest); a floating-point value never qualifies.
std::optional<std::int64_t> exactInt64(const nlohmann::json& value);
std::optional<std::uint32_t> exactUInt32(const nlohmann::json& value);

}  // namespace tavrino::share
