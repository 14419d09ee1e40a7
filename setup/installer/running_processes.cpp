#include "installer/running_processes.h"

#include "installer/unique_fd.h"
#include "installer/utf8_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

// Empty when the process has gone or has no command line (a kernel thread).
std::string commandLineOf(const fs::path& process) {
  const UniqueFd fd(::open((process / "cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (!fd) return bytes;
  // A process that went while being read leaves what was read.
  readPieces(fd.get(), [&](std::string_view piece) { bytes.append(piece); });
  if (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');
  return bytes;
}

}  // namespace

bool anyCommandLineStartsWith(std::string_view prefix) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    if (trimSpacesAndTabs(commandLineOf(entry.path())).starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace tavrino::setup
