#pragma once

#include <vector>

#include "platform/capture_service.h"
#include "platform/x11/window_tree.h"

namespace tavrino::share::x11 {

// The ICCCM client windows of a top-level: the windows in its tree that a
// window manager marked with WM_STATE, at any depth but not inside another
// such window (under a reparenting window manager the top-level is the
// manager's frame). Without a window
// manager there are none; then the shallowest window with a WM_CLASS
// stands for the client, or the top-level itself.
std::vector<const WindowNode*> clientWindows(const WindowTree& tree, const WindowNode& topLevel);

// The running applications and the client windows of the (viewable, when
// asked) top-levels. An application is the process behind a client window
// with a WM_CLASS; a process whose ancestor is listed with the same class
// (a helper process of a multi-process application) is that application,
// not another instance of it.
void listApplications(const WindowTree& tree, bool onScreenOnly, std::vector<RunningApplication>& applications,
                      std::vector<Window>& windows);

}  // namespace tavrino::share::x11
