#pragma once

#include "installer/setup_error.h"

#include <filesystem>
#include <system_error>

namespace tavrino::setup {

inline constexpr const char* kDownloadDamaged =
    "Installation could not be completed. Check that the download is intact and try again.";

// A failure the system reported, in the words the window shows: what went
// wrong and what to do, with the item concerned and the system's reason on
// the detail line. A library's own text never reaches the user. Files that
// cannot be read inside `payload` mean the download is damaged.
SetupError inPlainWords(const std::filesystem::filesystem_error& error, const std::filesystem::path& payload = {});
SetupError inPlainWords(const std::system_error& error);
// A failure that says nothing a person could act on.
SetupError unexpectedFailure();

}  // namespace tavrino::setup
