#pragma once

#include <cstdint>
#include <unordered_set>

namespace tavrino::share::x11 {

// A process and all its descendants, as the process tree under /proc shows
// them. A process once seen in the family stays in it, so a child that
// outlives its parent (and is handed to init) is still recognised.
class ProcessFamily {
 public:
  explicit ProcessFamily(std::int32_t root) : root_(root) { members_.insert(root); }

  std::int32_t root() const { return root_; }
  // Processes found outside the family are remembered until the next
  // refresh, which keeps the per-frame classification off /proc.
  bool contains(std::int32_t pid);
  // Adds every running descendant of a member and forgets the outsiders
  // (their ids may have been given to new processes of the family).
  void refresh();

 private:
  std::int32_t root_;
  std::unordered_set<std::int32_t> members_;
  std::unordered_set<std::int32_t> outsiders_;
};

// The parent of a running process; 0 when it has none or is gone.
std::int32_t parentProcess(std::int32_t pid);

}  // namespace tavrino::share::x11
