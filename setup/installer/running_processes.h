#pragma once

#include <filesystem>

namespace tavrino::setup {

// Whether any running process is `executable`: its command line, arguments
// joined by spaces as a process listing shows them, begins with the path, or
// the file it runs is that file, whatever path started it (a relative one,
// a search through PATH, a linked folder). Command lines are compared byte for
// byte as the kernel keeps them (/proc/<pid>/cmdline), so no locale or line
// break in a path can hide a match. Throws filesystem_error when the
// processes cannot be listed.
bool anyProcessRuns(const std::filesystem::path& executable);

}  // namespace tavrino::setup
