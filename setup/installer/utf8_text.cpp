#include "installer/utf8_text.h"

#include "installer/unique_fd.h"

#include <utf8proc.h>

#include <cerrno>
#include <fcntl.h>

#include <system_error>
#include <vector>

namespace tavrino::setup {
namespace {

struct Decoded {
  utf8proc_int32_t codepoint;
  std::size_t offset;
  std::size_t length;
};

// Returns false on the first invalid sequence.
bool decode(std::string_view bytes, std::vector<Decoded>* out) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    utf8proc_int32_t codepoint = 0;
    const auto* start = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data() + offset);
    const utf8proc_ssize_t length =
        utf8proc_iterate(start, static_cast<utf8proc_ssize_t>(bytes.size() - offset), &codepoint);
    if (length <= 0) return false;
    if (out != nullptr) out->push_back({codepoint, offset, static_cast<std::size_t>(length)});
    offset += static_cast<std::size_t>(length);
  }
  return true;
}

bool isWhitespaceOrNewline(utf8proc_int32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const utf8proc_category_t category = utf8proc_category(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) { return decode(bytes, nullptr); }

std::string trimWhitespaceAndNewlines(std::string_view text) {
  std::vector<Decoded> characters;
  if (!decode(text, &characters)) return std::string(text);
  std::size_t first = 0;
  std::size_t last = characters.size();
  while (first < last && isWhitespaceOrNewline(characters[first].codepoint)) ++first;
  while (last > first && isWhitespaceOrNewline(characters[last - 1].codepoint)) --last;
  if (first == last) return {};
  const std::size_t begin = characters[first].offset;
  const std::size_t end = characters[last - 1].offset + characters[last - 1].length;
  return std::string(text.substr(begin, end - begin));
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string readUtf8File(const std::filesystem::path& file) {
  const auto fail = [&](const char* what, int error) {
    throw std::filesystem::filesystem_error(what, file, std::error_code(error, std::generic_category()));
  };
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) fail("Cannot read the file", errno);
  std::string bytes;
  if (!readPieces(fd.get(), [&](std::string_view piece) { bytes.append(piece); })) fail("Cannot read the file", errno);
  if (!isValidUtf8(bytes)) fail("Cannot read the file as UTF-8 text", EILSEQ);
  return bytes;
}

}  // namespace tavrino::setup
