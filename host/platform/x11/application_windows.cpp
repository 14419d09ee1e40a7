#include "platform/x11/application_windows.h"

#include <algorithm>
#include <unordered_set>

#include "platform/x11/process_family.h"

namespace tavrino::share::x11 {

std::vector<const WindowNode*> clientWindows(const WindowTree& tree, const WindowNode& topLevel) {
  const auto windows = tree.subtree(topLevel);  // parents before children
  std::vector<const WindowNode*> clients;
  // A window marked once and then embedded in a client window (a window
  // manager marks whatever it once managed on the root) is part of that
  // client's picture, not a client of the frame.
  std::unordered_set<xcb_window_t> inClients;
  for (const WindowNode* n : windows) {
    if (inClients.count(n->parent) != 0) {
      inClients.insert(n->id);
    } else if (n->hasWmState) {
      clients.push_back(n);
      inClients.insert(n->id);
    }
  }
  if (!clients.empty()) return clients;
  auto named = std::find_if(windows.begin(), windows.end(), [](const WindowNode* n) { return n->wmClass.has_value(); });
  return {named != windows.end() ? *named : &topLevel};
}

void listApplications(const WindowTree& tree, bool onScreenOnly, std::vector<RunningApplication>& applications,
                      std::vector<Window>& windows) {
  std::vector<RunningApplication> found;
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr || top->inputOnly || (onScreenOnly && !tree.viewable(*top))) continue;
    const auto clients = clientWindows(tree, *top);
    windows.push_back(Window{clients.front()->id});
    for (const WindowNode* client : clients) {
      if (client->pid == 0 || !client->wmClass) continue;
      if (std::none_of(found.begin(), found.end(), [&](const auto& a) { return a.processID == client->pid; })) {
        found.push_back(RunningApplication{client->wmClass, client->pid});
      }
    }
  }
  // Two processes may each count the other as family (a scope holds both):
  // the one listed first stands for the application.
  const std::size_t before = applications.size();
  for (const RunningApplication& app : found) {
    auto same = [&](const RunningApplication& other) { return other.bundleIdentifier == app.bundleIdentifier; };
    if (std::any_of(applications.begin() + before, applications.end(), [&](const RunningApplication& kept) {
          return same(kept) && ProcessFamily(kept.processID).contains(app.processID);
        })) {
      continue;
    }
    ProcessFamily family(app.processID);
    applications.erase(std::remove_if(applications.begin() + before, applications.end(),
                                      [&](const RunningApplication& kept) {
                                        return same(kept) && family.contains(kept.processID);
                                      }),
                       applications.end());
    applications.push_back(app);
  }
}

}  // namespace tavrino::share::x11
