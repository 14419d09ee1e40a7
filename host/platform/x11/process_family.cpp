#include "platform/x11/process_family.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <string>
#include <vector>

namespace tavrino::share::x11 {

namespace {

// Plain reads: a process that ends while it is read fails the read (ESRCH),
// which the standard streams would turn into an exception.
std::string readProcFile(std::int32_t pid, const char* name) {
  std::string text;
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// The systemd path of a cgroup file's text; empty when it names none. A
// layout with both hierarchies may leave the unified one unused ("0::/").
std::string_view cgroupPath(std::string_view file) {
  std::string_view unified;
  while (!file.empty()) {
    const auto end = file.find('\n');
    const std::string_view line = file.substr(0, end);
    file = end == std::string_view::npos ? std::string_view{} : file.substr(end + 1);
    // "hierarchy:controllers:path"; the path may itself hold colons.
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    if (controllers == "name=systemd") return line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) unified = line.substr(second + 1);
  }
  return unified;
}

std::string cgroupOf(std::int32_t pid) { return std::string(cgroupPath(readProcFile(pid, "cgroup"))); }

}  // namespace

std::optional<ProcessStatus> processStatus(std::int32_t pid) {
  const std::string stat = readProcFile(pid, "stat");
  // "pid (command) state ppid pgrp ...": the command may hold spaces and parentheses.
  const auto end = stat.rfind(')');
  if (end == std::string::npos || end + 4 >= stat.size()) return std::nullopt;
  const char* last = stat.data() + stat.size();
  ProcessStatus status;
  auto parsed = std::from_chars(stat.data() + end + 4, last, status.parent);  // past ") S "
  if (parsed.ec != std::errc() || parsed.ptr == last) return std::nullopt;
  if (std::from_chars(parsed.ptr + 1, last, status.group).ec != std::errc()) return std::nullopt;
  return status;
}

std::int32_t parentProcess(std::int32_t pid) {
  const auto status = processStatus(pid);
  return status ? status->parent : 0;
}

std::optional<std::string> applicationScope(std::string_view cgroupFile) {
  const std::string_view path = cgroupPath(cgroupFile);
  const std::string_view leaf = path.substr(path.rfind('/') + 1);
  // Desktops name the scope of one launch "app-<launcher>-<application>-<id>.scope";
  // sessions ("session-2.scope"), services and terminal tabs ("vte-spawn-*.scope")
  // hold many programs.
  constexpr std::string_view prefix = "app-", suffix = ".scope";
  if (path.find('/') == std::string_view::npos || leaf.size() <= prefix.size() + suffix.size() ||
      leaf.substr(0, prefix.size()) != prefix || leaf.substr(leaf.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  return std::string(path);
}

ProcessFamily::ProcessFamily(std::int32_t root) : root_(root) {
  members_.insert(root);
  // A scope whose first process started the application (a terminal made
  // its own scope when it was launched) holds that program's other children.
  scope_ = applicationScope(readProcFile(root, "cgroup"));
  if (scope_ && cgroupOf(parentProcess(root)) == *scope_) scope_.reset();
}

bool ProcessFamily::tiedByItself(std::int32_t pid, std::int32_t group) {
  // A group's id is the id of the process that made it, its leader.
  return members_.count(pid) != 0 || members_.count(group) != 0 || (scope_ && cgroupOf(pid) == *scope_);
}

bool ProcessFamily::contains(std::int32_t pid) {
  if (pid <= 0) return false;
  if (members_.count(pid) != 0) return true;
  if (outsiders_.count(pid) != 0) return false;
  std::vector<std::int32_t> chain;
  for (std::int32_t p = pid; p > 1 && chain.size() < 256;) {
    const auto status = processStatus(p);
    if (!status) break;
    if (tiedByItself(p, status->group)) {
      members_.insert(chain.begin(), chain.end());
      members_.insert(p);
      return true;
    }
    chain.push_back(p);
    p = status->parent;
  }
  outsiders_.insert(pid);
  return false;
}

void ProcessFamily::refresh() {
  outsiders_.clear();
  struct Entry {
    std::int32_t pid;
    ProcessStatus status;
    bool member;
  };
  std::vector<Entry> running;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), last; !error && it != last; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::int32_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size()) continue;
    if (const auto status = processStatus(pid)) {
      const bool inScope = scope_ && members_.count(pid) == 0 && cgroupOf(pid) == *scope_;
      running.push_back(Entry{pid, *status, inScope});
    }
  }
  // Until nothing changes: a new member may be the parent of others or lead their group.
  for (bool grew = true; grew;) {
    grew = false;
    for (Entry& e : running) {
      e.member = e.member || members_.count(e.pid) != 0 || members_.count(e.status.parent) != 0 ||
                 members_.count(e.status.group) != 0;
      if (e.member) grew = members_.insert(e.pid).second || grew;
    }
  }
}

}  // namespace tavrino::share::x11
