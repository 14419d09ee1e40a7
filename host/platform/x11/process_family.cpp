#include "platform/x11/process_family.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrino::share::x11 {

std::int32_t parentProcess(std::int32_t pid) {
  // Plain reads: a process that ends while it is read fails the read (ESRCH),
  // which the standard streams would turn into an exception.
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return 0;
  const std::string_view stat(buffer, static_cast<std::size_t>(n));
  // "pid (command) state ppid ...": the command may hold spaces and parentheses.
  const auto end = stat.rfind(')');
  if (end == std::string_view::npos || end + 4 >= stat.size()) return 0;
  const char* first = stat.data() + end + 4;  // past ") S "
  std::int32_t parent = 0;
  std::from_chars(first, stat.data() + stat.size(), parent);
  return parent;
}

bool ProcessFamily::contains(std::int32_t pid) {
  if (pid <= 0) return false;
  if (members_.count(pid) != 0) return true;
  if (outsiders_.count(pid) != 0) return false;
  std::vector<std::int32_t> chain{pid};
  for (std::int32_t p = parentProcess(pid); p > 1 && chain.size() < 256; p = parentProcess(p)) {
    if (members_.count(p) != 0) {
      members_.insert(chain.begin(), chain.end());
      return true;
    }
    chain.push_back(p);
  }
  outsiders_.insert(pid);
  return false;
}

void ProcessFamily::refresh() {
  outsiders_.clear();
  std::unordered_multimap<std::int32_t, std::int32_t> children;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), last; !error && it != last; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::int32_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size()) continue;
    if (std::int32_t parent = parentProcess(pid); parent > 0) children.emplace(parent, pid);
  }
  std::vector<std::int32_t> todo(members_.begin(), members_.end());
  while (!todo.empty()) {
    std::int32_t p = todo.back();
    todo.pop_back();
    auto [first, last] = children.equal_range(p);
    for (auto it = first; it != last; ++it) {
      if (members_.insert(it->second).second) todo.push_back(it->second);
    }
  }
}

}  // namespace tavrino::share::x11
