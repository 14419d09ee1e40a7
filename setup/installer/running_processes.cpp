#include "installer/running_processes.h"

#include "installer/unique_fd.h"
#include "installer/utf8_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

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

// Empty when the process has gone or is not ours to inspect. The kernel adds
// " (deleted)" once the file has been removed or replaced; the process still
// runs what was there.
std::string executableOf(const fs::path& process) {
  std::error_code ec;
  std::string target = fs::read_symlink(process / "exe", ec).string();
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
  return target;
}

}  // namespace

bool anyProcessRuns(const fs::path& executable) {
  const std::string prefix = executable.string();
  // The kernel names a process's file by its resolved path.
  std::error_code ec;
  const std::string resolved = fs::weakly_canonical(executable, ec).string();
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    if (trimSpacesAndTabs(commandLineOf(entry.path())).starts_with(prefix)) return true;
    const std::string running = executableOf(entry.path());
    if (!running.empty() && (running == prefix || running == resolved)) return true;
  }
  return false;
}

}  // namespace tavrino::setup
