#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tavrino::setup {

bool isValidUtf8(std::string_view bytes);

// Removes Unicode white space and line ends (categories Zs, Zl, Zp, U+0009 to
// U+000D and U+0085) from both ends of valid UTF-8 text.
std::string trimWhitespaceAndNewlines(std::string_view text);

// Removes spaces and tabs only from both ends.
std::string_view trimSpacesAndTabs(std::string_view text);

// The whole file as UTF-8 text; throws std::filesystem::filesystem_error when
// it cannot be read or is not UTF-8 (EILSEQ).
std::string readUtf8File(const std::filesystem::path& file);

}  // namespace tavrino::setup
