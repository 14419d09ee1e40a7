#pragma once

#include <filesystem>
#include <string_view>

namespace tavrino::setup {

// Creates a file with mode 0600 that must not exist yet and writes `bytes`
// to it. Throws filesystem_error with the cause of the failure.
void writeNewFile(const std::filesystem::path& file, std::string_view bytes);

// Copies a folder tree to `destination`, which must not exist yet: folders,
// regular files and symbolic links (never followed), each with exactly its
// permission bits whatever the umask, so that the copy lists as the original
// does. Throws filesystem_error with the real cause, such as "No space left
// on device" for a copy cut short.
void copyTree(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace tavrino::setup
