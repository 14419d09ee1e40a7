#include "platform/x11/exclusion_rule.h"

#include <algorithm>

#include "platform/x11/application_windows.h"

namespace tavrino::share::x11 {

namespace {
template <class T>
bool has(const std::vector<T>& list, const T& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}
}  // namespace

Exclusion::Exclusion(ExclusionRule rule) : rule_(std::move(rule)) {
  for (std::int32_t pid : rule_.pids) {
    if (pid > 0) families_.emplace_back(pid);
  }
  refreshFamilies();
}

void Exclusion::refreshFamilies() {
  for (ProcessFamily& f : families_) f.refresh();
}

bool Exclusion::protectedByItself(const WindowNode& n) {
  if (has(rule_.excepted, n.id)) return false;
  if (!n.probed || has(rule_.windows, n.id)) return true;
  if (n.wmClass && has(rule_.classes, *n.wmClass)) return true;
  return std::any_of(families_.begin(), families_.end(),
                     [&](ProcessFamily& f) { return f.contains(n.pid) || f.contains(n.netWmPid); });
}

ExclusionDecision Exclusion::classify(const WindowTree& tree) {
  ExclusionDecision d;
  if (!active()) return d;
  std::vector<const WindowNode*> all = tree.subtree(tree.root());
  std::vector<const WindowNode*> others;
  for (const WindowNode* n : all) {
    if (n->id == tree.root().id) continue;
    if (protectedByItself(*n)) d.protectedWindows.insert(n->id);
    else others.push_back(n);
  }
  // Ties to protected windows, followed until nothing changes.
  for (bool grew = true; grew;) {
    grew = false;
    for (const WindowNode*& n : others) {
      if (n == nullptr || has(rule_.excepted, n->id)) continue;
      for (xcb_window_t tie : {n->transientFor, n->group, n->leader}) {
        if (tie != XCB_WINDOW_NONE && tie != n->id && d.protectedWindows.count(tie) != 0) {
          d.protectedWindows.insert(n->id);
          n = nullptr;
          grew = true;
          break;
        }
      }
    }
  }
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr) continue;
    bool excluded = d.protectedWindows.count(id) != 0;
    for (const WindowNode* client : clientWindows(tree, *top)) {
      excluded = excluded || d.protectedWindows.count(client->id) != 0;
    }
    if (excluded) d.excludedTopLevels.insert(id);
  }
  return d;
}

Region Exclusion::protectedArea(const WindowTree& tree, const ExclusionDecision& decision) {
  Region area;
  for (xcb_window_t id : decision.protectedWindows) {
    const WindowNode* n = tree.find(id);
    if (n == nullptr || !tree.viewable(*n)) continue;
    xcb_window_t top = tree.topLevelOf(id);
    const WindowNode* t = tree.find(decision.excludedTopLevels.count(top) != 0 ? top : id);
    if (t != nullptr) area.add(tree.onRoot(*t));
  }
  return area;
}

}  // namespace tavrino::share::x11
