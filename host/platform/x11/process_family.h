#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tavrino::share::x11 {

// An application's processes: its main process and every descendant, plus
// the processes that left the tree (a helper started with a double fork is
// handed to init) but kept a tie to it that another program does not share:
//  - a process group led by a member. The group of a login shell or of
//    whatever started the application is not one: its leader is no member.
//  - the application scope the desktop made for the application (a systemd
//    cgroup "app-*.scope") when the main process is the first in it (its
//    parent runs outside it). Not a session scope, a service shared by many
//    programs, or a terminal's scope the application was started from.
// A session alone never ties: a terminal's session holds every program
// started from it. A process once seen in the family stays in it.
class ProcessFamily {
 public:
  explicit ProcessFamily(std::int32_t root);

  std::int32_t root() const { return root_; }
  // Processes found outside the family are remembered until the next
  // refresh, which keeps the per-frame classification off /proc.
  bool contains(std::int32_t pid);
  // Adds every running process tied to a member and forgets the outsiders
  // (their ids may have been given to new processes of the family).
  void refresh();

 private:
  bool tiedByItself(std::int32_t pid, std::int32_t group);

  std::int32_t root_;
  std::optional<std::string> scope_;
  std::unordered_set<std::int32_t> members_;
  std::unordered_set<std::int32_t> outsiders_;
};

struct ProcessStatus {
  std::int32_t parent = 0;
  std::int32_t group = 0;
};
// The parent and process group of a running process; none when it is gone.
std::optional<ProcessStatus> processStatus(std::int32_t pid);
// The parent of a running process; 0 when it has none or is gone.
std::int32_t parentProcess(std::int32_t pid);
// The systemd cgroup path in the text of a /proc/<pid>/cgroup file (the
// systemd hierarchy's, else the unified one's), when its last part names a
// scope of its own that a desktop made for one launched application.
std::optional<std::string> applicationScope(std::string_view cgroupFile);

}  // namespace tavrino::share::x11
