#include "core/request_text.h"

#include <cstdlib>
#include <limits>
#include <memory>

#include <utf8proc.h>

namespace tavrino::share {
namespace {

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

std::optional<std::string> nfc(std::string_view text) {
  utf8proc_uint8_t* raw = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &raw,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(raw);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(length));
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const auto left = nfc(a);
  const auto right = nfc(b);
  return left && right && *left == *right;
}

std::optional<std::size_t> graphemeClusterCount(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t position = 0;
  std::size_t count = 0;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  while (position < text.size()) {
    utf8proc_int32_t codepoint = 0;
    const auto n = utf8proc_iterate(bytes + position,
                                    static_cast<utf8proc_ssize_t>(text.size() - position), &codepoint);
    if (n <= 0) return std::nullopt;
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) ++count;
    previous = codepoint;
    position += static_cast<std::size_t>(n);
  }
  return count;
}

std::string stringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::optional<std::int64_t> exactInt64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::uint32_t> exactUInt32(const nlohmann::json& value) {
  const auto wide = exactInt64(value);
  if (!wide || *wide < 0 || *wide > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*wide);
}

}  // namespace tavrino::share
