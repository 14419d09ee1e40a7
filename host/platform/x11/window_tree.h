#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <xcb/xcb.h>

#include "platform/x11/region.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// One window of the display as the capture knows it.
struct WindowNode {
  xcb_window_t id = XCB_WINDOW_NONE;
  xcb_window_t parent = XCB_WINDOW_NONE;
  std::vector<xcb_window_t> children;  // bottom to top
  int x = 0;  // outer corner of the border, relative to the parent's inside origin
  int y = 0;
  int width = 0;  // inside size
  int height = 0;
  int border = 0;
  std::uint8_t depth = 0;
  xcb_visualid_t visual = 0;
  bool mapped = false;
  bool overrideRedirect = false;
  bool inputOnly = false;
  bool probed = false;  // attributes, owner and properties read at least once
  // Sequence numbers of the last reads of the attributes and the geometry:
  // events generated before them carry lower numbers and say less.
  std::uint32_t attributesReadAt = 0;
  std::uint32_t geometryReadAt = 0;

  // Who the window belongs to: the X-Resource process of its connection and
  // what its client says about itself (any client may set these, so they
  // only ever add to what is kept out of the picture).
  std::int32_t pid = 0;  // 0 = unknown (a TCP connection, or not read yet)
  // The resource base of the connection that made the window; 0 is the X
  // server's own (the composite overlay, which shows the screen itself).
  std::uint32_t client = 0;
  // No client owns it: the server's own, or left behind by a client that
  // has gone (a retained close-down mode). Nothing can tell whose it is.
  bool ownerless = false;
  bool hasWmState = false;  // an ICCCM client window: a window manager manages it
  std::optional<std::string> wmClass;  // class part of WM_CLASS
  xcb_window_t transientFor = XCB_WINDOW_NONE;
  xcb_window_t group = XCB_WINDOW_NONE;
  xcb_window_t leader = XCB_WINDOW_NONE;
  std::int32_t netWmPid = 0;
  std::optional<Region> shape;  // bounding shape in outer coordinates; none = the whole rectangle
  // What the window manager says its frame adds around this client window
  // (left, right, top, bottom); a frame may reach beyond, invisibly.
  std::optional<std::array<int, 4>> frameExtents;

  Rect outer() const { return {x, y, width + 2 * border, height + 2 * border}; }
};

// The window tree of one screen, read once in full and then kept current by
// the X events it selects (creation, destruction, reparenting, geometry,
// stacking, mapping, ownership properties, shapes) instead of being listed
// again for every frame. Windows it learns of from events are read
// ("probed") in batches by probePending(); until then they count as unknown.
class WindowTree {
 public:
  // With watch, selects the events that keep the tree current; the owner of
  // the connection then passes every event it reads to apply().
  WindowTree(const XcbConnection& x, bool watch);

  // What an event did to the tree.
  enum class Change {
    none,      // not a tree event, or nothing the picture depends on
    position,  // a top-level moved or was restacked: its own pixels are unchanged
    structure  // anything else: windows, their contents' places or their owners changed
  };
  Change apply(const xcb_generic_event_t* event);
  void probePending();
  bool hasPending() const { return !pending_.empty(); }
  // Grows with every change of the tree, so that what is made from it is
  // made again only when it may differ.
  std::uint64_t generation() const { return generation_; }

  const WindowNode& root() const { return nodes_.at(x_.root()); }
  const WindowNode* find(xcb_window_t id) const;
  bool viewable(const WindowNode& n) const;
  // The outer rectangle of a window in root coordinates.
  Rect onRoot(const WindowNode& n) const;
  // The child of the root that holds the window, or none.
  xcb_window_t topLevelOf(xcb_window_t id) const;
  // The window and its descendants, parents before children.
  std::vector<const WindowNode*> subtree(const WindowNode& n) const;
  std::uint8_t shapeEvent() const { return shapeEvent_; }

 private:
  Change follow(const xcb_generic_event_t* event);
  WindowNode& add(xcb_window_t id, xcb_window_t parent, bool onTop);
  void remove(xcb_window_t id);
  void unlink(WindowNode& n);
  void restack(WindowNode& n, xcb_window_t above);

  const XcbConnection& x_;
  bool watch_;
  std::uint8_t shapeEvent_ = 0;  // first event of the Shape extension; 0 = absent
  std::uint64_t generation_ = 0;
  xcb_atom_t wmState_, wmClientLeader_, netWmPid_, frameExtents_;
  std::unordered_map<xcb_window_t, WindowNode> nodes_;
  std::unordered_set<xcb_window_t> pending_;  // to be probed
  std::unordered_set<xcb_window_t> unlisted_;  // children not yet listed (new windows)
  // Windows reparented into a window not known yet: they stay where they
  // were (their pixels may still be there as far as anyone can tell) until
  // a probe finds their new parent.
  std::unordered_set<xcb_window_t> strays_;
};

}  // namespace tavrino::share::x11
