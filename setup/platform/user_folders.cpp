#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tavrino::setup {
namespace fs = std::filesystem;

fs::path userHomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return fs::path(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return fs::path(found->pw_dir);
}

fs::path xdgFolder(const char* variable, const fs::path& fallback) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return fallback;
  return fs::path(value);
}

}  // namespace tavrino::setup
