#pragma once

#include <filesystem>

// The per-user folders the installation is made under, found the way Linux
// programs and browsers find them.
namespace tavrino::setup {

// $HOME byte for byte (no re-encoding: a home that is not valid UTF-8 stays
// the same folder), or the password database's entry when HOME is unset or
// empty. Empty when neither is known.
std::filesystem::path userHomeFolder();

// $<variable> when it holds an absolute path, as the XDG base-directory rules
// demand; otherwise `fallback`.
std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& fallback);

}  // namespace tavrino::setup
