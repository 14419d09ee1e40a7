#pragma once

#include <string_view>

namespace tavrino::setup {

// Whether the command line of any running process, its arguments joined by
// spaces as a process listing shows them, begins with `prefix`. Compared byte
// for byte as the kernel keeps it (/proc/<pid>/cmdline), so no locale or
// line break in a path can hide a match. Throws filesystem_error when the
// processes cannot be listed.
bool anyCommandLineStartsWith(std::string_view prefix);

}  // namespace tavrino::setup
