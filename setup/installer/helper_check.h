#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace tavrino::setup {

// Runs the helper's executable with --check-build, as the browser would start
// it on this computer, and returns when it printed its build line and ended
// with status 0 within `limit`. Otherwise throws SetupError "The share helper
// cannot run on this computer.", with a detail that names what the system's
// program loader could not find when it said so.
void checkHelperRuns(const std::filesystem::path& executable, std::chrono::milliseconds limit);

// A sentence naming the library (or the library version) that the loader's
// error output says is missing; empty when it says nothing of the kind.
std::string missingLibrary(std::string_view loaderOutput);

}  // namespace tavrino::setup
