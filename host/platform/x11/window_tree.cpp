#include "platform/x11/window_tree.h"

#include <algorithm>

#include <xcb/res.h>
#include <xcb/shape.h>

namespace tavrino::share::x11 {

namespace {

constexpr std::uint32_t kWatchedEvents =
    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
constexpr std::uint32_t kWindowGroupHint = 1u << 6;

// Whether the event was generated before the window's state was read. Events
// in windows not yet watched are never heard, so an older event that did
// arrive (an unmap reported to the old parent) may say the opposite of what
// the read found (a map reported only to the new parent): the read wins.
bool readBefore(const WindowNode& n, std::uint32_t readAt, const xcb_generic_event_t& event) {
  return n.probed && static_cast<std::int32_t>(event.full_sequence - readAt) < 0;
}

std::optional<std::string> classOf(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 8) return std::nullopt;
  auto* r = const_cast<xcb_get_property_reply_t*>(reply);
  const char* value = static_cast<const char*>(xcb_get_property_value(r));
  const char* end = value + xcb_get_property_value_length(r);
  // "instance\0class\0": the class names the application.
  const char* instanceEnd = std::find(value, end, '\0');
  if (instanceEnd == end) return std::nullopt;
  return std::string(instanceEnd + 1, std::find(instanceEnd + 1, end, '\0'));
}

// The n-th 32-bit item of a property, 0 when it has none.
std::uint32_t item(const xcb_get_property_reply_t* reply, int n) {
  if (reply == nullptr || reply->format != 32) return 0;
  auto* r = const_cast<xcb_get_property_reply_t*>(reply);
  if (xcb_get_property_value_length(r) < (n + 1) * 4) return 0;
  return static_cast<const std::uint32_t*>(xcb_get_property_value(r))[n];
}

// The first read of a property asks for a length every ownership property
// of an honest client fits in; a longer one (a WM_CLASS of any length may
// name the protected application after a long instance name) is read again
// in full, since parsing a cut value could miss what the cut part says.
void readRest(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom, Reply<xcb_get_property_reply_t>& reply) {
  for (int attempt = 0; attempt < 3 && reply && reply->bytes_after > 0; ++attempt) {
    const std::uint32_t length = (static_cast<std::uint32_t>(xcb_get_property_value_length(reply.get())) +
                                  reply->bytes_after + 3) / 4;
    reply.reset(xcb_get_property_reply(c, xcb_get_property(c, 0, window, atom, XCB_ATOM_ANY, 0, length), nullptr));
  }
}

// The process and the resource base of the window's connection; a window
// without a connection reports no base at all.
void readOwner(xcb_res_query_client_ids_reply_t* reply, WindowNode& n) {
  n.pid = 0;
  n.client = 0;
  n.ownerless = true;
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem > 0; xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
        xcb_res_client_id_value_value_length(it.data) >= 1) {
      n.pid = static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
    }
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_CLIENT_XID) != 0) {
      n.client = it.data->spec.client;
      n.ownerless = n.client == 0;
    }
  }
}

// Creation and configuration events carry the same geometry.
template <class Event>
void place(WindowNode& n, const Event& e) {
  n.x = e.x;
  n.y = e.y;
  n.width = e.width;
  n.height = e.height;
  n.border = e.border_width;
  n.overrideRedirect = e.override_redirect;
}

}  // namespace

WindowTree::WindowTree(const XcbConnection& x, bool watch) : x_(x), watch_(watch) {
  const xcb_query_extension_reply_t* shape = xcb_get_extension_data(x.get(), &xcb_shape_id);
  if (shape != nullptr && shape->present) shapeEvent_ = shape->first_event;
  // Made if missing: a window manager that starts later sets them, and a
  // property change is only recognised by its atom.
  wmState_ = x.atom("WM_STATE", true);
  wmClientLeader_ = x.atom("WM_CLIENT_LEADER", true);
  netWmPid_ = x.atom("_NET_WM_PID", true);
  frameExtents_ = x.atom("_NET_FRAME_EXTENTS", true);
  WindowNode& root = add(x.root(), XCB_WINDOW_NONE, true);
  root.mapped = true;
  probePending();
}

const WindowNode* WindowTree::find(xcb_window_t id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : &it->second;
}

bool WindowTree::viewable(const WindowNode& n) const {
  for (const WindowNode* p = &n; p != nullptr; p = find(p->parent)) {
    if (!p->mapped) return false;
  }
  return true;
}

Rect WindowTree::onRoot(const WindowNode& n) const {
  Rect r = n.outer();
  for (const WindowNode* p = find(n.parent); p != nullptr && p->id != x_.root(); p = find(p->parent)) {
    r = r.translated(p->x + p->border, p->y + p->border);
  }
  return r;
}

xcb_window_t WindowTree::topLevelOf(xcb_window_t id) const {
  for (const WindowNode* n = find(id); n != nullptr; n = find(n->parent)) {
    if (n->parent == x_.root()) return n->id;
  }
  return XCB_WINDOW_NONE;
}

std::vector<const WindowNode*> WindowTree::subtree(const WindowNode& n) const {
  std::vector<const WindowNode*> out{&n};
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (xcb_window_t c : out[i]->children) {
      if (const WindowNode* child = find(c)) out.push_back(child);
    }
  }
  return out;
}

WindowNode& WindowTree::add(xcb_window_t id, xcb_window_t parent, bool onTop) {
  WindowNode& n = nodes_[id];
  n.id = id;
  n.parent = parent;
  if (auto p = nodes_.find(parent); p != nodes_.end()) {
    auto& siblings = p->second.children;
    if (onTop) siblings.push_back(id); else siblings.insert(siblings.begin(), id);
  }
  pending_.insert(id);
  unlisted_.insert(id);
  return n;
}

void WindowTree::unlink(WindowNode& n) {
  if (auto p = nodes_.find(n.parent); p != nodes_.end()) {
    auto& siblings = p->second.children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), n.id), siblings.end());
  }
}

void WindowTree::remove(xcb_window_t id) {
  auto it = nodes_.find(id);
  if (it == nodes_.end() || id == x_.root()) return;
  unlink(it->second);
  std::vector<xcb_window_t> doomed{id};
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    auto n = nodes_.find(doomed[i]);
    if (n == nodes_.end()) continue;
    doomed.insert(doomed.end(), n->second.children.begin(), n->second.children.end());
    pending_.erase(doomed[i]);
    unlisted_.erase(doomed[i]);
    strays_.erase(doomed[i]);
    nodes_.erase(n);
  }
}

void WindowTree::restack(WindowNode& n, xcb_window_t above) {
  auto p = nodes_.find(n.parent);
  if (p == nodes_.end()) return;
  auto& siblings = p->second.children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), n.id), siblings.end());
  auto sibling = std::find(siblings.begin(), siblings.end(), above);
  siblings.insert(sibling == siblings.end() ? siblings.begin() : sibling + 1, n.id);
}

WindowTree::Change WindowTree::apply(const xcb_generic_event_t* event) {
  const Change change = follow(event);
  if (change != Change::none) ++generation_;
  return change;
}

WindowTree::Change WindowTree::follow(const xcb_generic_event_t* event) {
  const std::uint8_t type = event->response_type & 0x7f;
  switch (type) {
    case XCB_CREATE_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
      if (find(e->window) || !find(e->parent)) return Change::none;
      place(add(e->window, e->parent, true), *e);
      return Change::structure;
    }
    case XCB_DESTROY_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
      if (!find(e->window)) return Change::none;
      remove(e->window);
      return Change::structure;
    }
    case XCB_REPARENT_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
      auto it = nodes_.find(e->window);
      if (!find(e->parent)) {
        if (it != nodes_.end()) strays_.insert(e->window);
        return Change::structure;
      }
      strays_.erase(e->window);
      if (it == nodes_.end()) {
        add(e->window, e->parent, true);
        it = nodes_.find(e->window);
      } else {
        // On top of its new siblings, even when the parent stays the same.
        unlink(it->second);
        it->second.parent = e->parent;
        nodes_.at(e->parent).children.push_back(e->window);
      }
      it->second.x = e->x;
      it->second.y = e->y;
      it->second.overrideRedirect = e->override_redirect;
      return Change::structure;
    }
    case XCB_CONFIGURE_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
      auto it = nodes_.find(e->window);
      if (it == nodes_.end() || e->window == x_.root()) return Change::none;
      WindowNode& n = it->second;
      if (readBefore(n, n.geometryReadAt, *event)) {
        restack(n, e->above_sibling);  // the read says nothing of the stacking order
        return Change::structure;
      }
      const bool resized = n.width != e->width || n.height != e->height || n.border != e->border_width;
      const bool moved = n.x != e->x || n.y != e->y;
      place(n, *e);
      restack(n, e->above_sibling);
      if (!resized && (!moved || n.parent == x_.root())) return Change::position;
      return Change::structure;
    }
    case XCB_GRAVITY_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_gravity_notify_event_t*>(event);
      auto it = nodes_.find(e->window);
      if (it == nodes_.end()) return Change::none;
      it->second.x = e->x;
      it->second.y = e->y;
      return it->second.parent == x_.root() ? Change::position : Change::structure;
    }
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY: {
      xcb_window_t w = type == XCB_MAP_NOTIFY ? reinterpret_cast<const xcb_map_notify_event_t*>(event)->window
                                              : reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window;
      auto it = nodes_.find(w);
      if (it == nodes_.end()) return Change::none;
      if (readBefore(it->second, it->second.attributesReadAt, *event)) return Change::structure;
      it->second.mapped = type == XCB_MAP_NOTIFY;
      return Change::structure;
    }
    case XCB_CIRCULATE_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
      auto it = nodes_.find(e->window);
      if (it == nodes_.end()) return Change::none;
      auto& siblings = nodes_.at(it->second.parent).children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), e->window), siblings.end());
      if (e->place == XCB_PLACE_ON_TOP) siblings.push_back(e->window);
      else siblings.insert(siblings.begin(), e->window);
      return it->second.parent == x_.root() ? Change::position : Change::structure;
    }
    case XCB_PROPERTY_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
      const bool owned = e->atom == wmState_ || e->atom == XCB_ATOM_WM_CLASS ||
                         e->atom == XCB_ATOM_WM_TRANSIENT_FOR || e->atom == XCB_ATOM_WM_HINTS ||
                         e->atom == wmClientLeader_ || e->atom == netWmPid_ || e->atom == frameExtents_;
      if (!owned || !find(e->window)) return Change::none;
      pending_.insert(e->window);
      return Change::structure;
    }
    default:
      if (shapeEvent_ != 0 && type == shapeEvent_ + XCB_SHAPE_NOTIFY) {
        auto* e = reinterpret_cast<const xcb_shape_notify_event_t*>(event);
        if (e->shape_kind != XCB_SHAPE_SK_BOUNDING || !find(e->affected_window)) return Change::none;
        pending_.insert(e->affected_window);
        return Change::structure;
      }
      return Change::none;
  }
}

void WindowTree::probePending() {
  xcb_connection_t* c = x_.get();
  const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
  const bool resources = res != nullptr && res->present;
  const xcb_atom_t atoms[] = {wmState_, XCB_ATOM_WM_CLASS, XCB_ATOM_WM_TRANSIENT_FOR,
                              XCB_ATOM_WM_HINTS, wmClientLeader_, netWmPid_, frameExtents_};
  constexpr std::size_t kAtoms = std::size(atoms);
  struct Cookies {
    xcb_window_t id;
    bool list;
    bool stray;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_query_tree_cookie_t tree;
    xcb_get_property_cookie_t properties[kAtoms];
    xcb_res_query_client_ids_cookie_t pid;
    xcb_shape_query_extents_cookie_t extents;
    xcb_shape_get_rectangles_cookie_t rectangles;
  };
  pending_.insert(strays_.begin(), strays_.end());
  if (!pending_.empty()) ++generation_;
  while (!pending_.empty()) {
    std::vector<Cookies> batch;
    for (xcb_window_t id : pending_) {
      Cookies k{};
      k.id = id;
      k.list = unlisted_.count(id) != 0;
      k.stray = strays_.count(id) != 0;
      // Select first, then read: whatever changes after the read is reported.
      if (watch_ && k.list) {
        xcb_change_window_attributes(c, id, XCB_CW_EVENT_MASK, &kWatchedEvents);
        if (shapeEvent_ != 0) xcb_shape_select_input(c, id, 1);
      }
      k.attributes = xcb_get_window_attributes(c, id);
      k.geometry = xcb_get_geometry(c, id);
      if (k.list || k.stray) k.tree = xcb_query_tree(c, id);
      for (std::size_t a = 0; a < kAtoms; ++a) k.properties[a] = xcb_get_property(c, 0, id, atoms[a], XCB_ATOM_ANY, 0, 64);
      if (resources) {
        xcb_res_client_id_spec_t spec{id, XCB_RES_CLIENT_ID_MASK_CLIENT_XID | XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        k.pid = xcb_res_query_client_ids(c, 1, &spec);
      }
      if (shapeEvent_ != 0) {
        k.extents = xcb_shape_query_extents(c, id);
        k.rectangles = xcb_shape_get_rectangles(c, id, XCB_SHAPE_SK_BOUNDING);
      }
      batch.push_back(k);
    }
    pending_.clear();
    for (const Cookies& k : batch) {
      Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, k.attributes, nullptr));
      Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, k.geometry, nullptr));
      Reply<xcb_query_tree_reply_t> tree(k.list || k.stray ? xcb_query_tree_reply(c, k.tree, nullptr) : nullptr);
      Reply<xcb_get_property_reply_t> properties[kAtoms];
      for (std::size_t a = 0; a < kAtoms; ++a) {
        properties[a].reset(xcb_get_property_reply(c, k.properties[a], nullptr));
        readRest(c, k.id, atoms[a], properties[a]);
      }
      Reply<xcb_res_query_client_ids_reply_t> pid(resources ? xcb_res_query_client_ids_reply(c, k.pid, nullptr) : nullptr);
      Reply<xcb_shape_query_extents_reply_t> extents(
          shapeEvent_ != 0 ? xcb_shape_query_extents_reply(c, k.extents, nullptr) : nullptr);
      Reply<xcb_shape_get_rectangles_reply_t> rectangles(
          shapeEvent_ != 0 ? xcb_shape_get_rectangles_reply(c, k.rectangles, nullptr) : nullptr);

      auto it = nodes_.find(k.id);
      if (it == nodes_.end()) continue;  // destroyed meanwhile
      WindowNode& n = it->second;
      if (!attributes || !geometry || ((k.list || k.stray) && !tree)) {
        remove(k.id);  // gone: its destruction is reported to its parent as well
        continue;
      }
      unlisted_.erase(k.id);
      const int stayX = n.x, stayY = n.y;
      n.probed = true;
      n.attributesReadAt = k.attributes.sequence;
      n.geometryReadAt = k.geometry.sequence;
      n.mapped = attributes->map_state != XCB_MAP_STATE_UNMAPPED || k.id == x_.root();
      n.overrideRedirect = attributes->override_redirect;
      n.inputOnly = attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
      n.depth = geometry->depth;
      n.visual = attributes->visual;
      if (k.id != x_.root()) {
        n.x = geometry->x;
        n.y = geometry->y;
      }
      n.width = geometry->width;
      n.height = geometry->height;
      n.border = geometry->border_width;
      n.hasWmState = properties[0] && properties[0]->type != XCB_ATOM_NONE;
      n.wmClass = classOf(properties[1].get());
      n.transientFor = item(properties[2].get(), 0);
      n.group = (item(properties[3].get(), 0) & kWindowGroupHint) != 0 ? item(properties[3].get(), 8) : 0;
      n.leader = item(properties[4].get(), 0);
      n.netWmPid = static_cast<std::int32_t>(item(properties[5].get(), 0));
      n.frameExtents.reset();
      if (const auto* e = properties[6].get(); e != nullptr && e->format == 32 && e->value_len == 4) {
        auto side = [&](int i) { return static_cast<int>(std::min<std::uint32_t>(item(e, i), 0xFFFF)); };
        n.frameExtents = {side(0), side(1), side(2), side(3)};
      }
      if (pid) readOwner(pid.get(), n);
      n.shape.reset();
      if (extents && extents->bounding_shaped && rectangles) {
        Region shape;
        const xcb_rectangle_t* r = xcb_shape_get_rectangles_rectangles(rectangles.get());
        for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(rectangles.get()); ++i) {
          shape.add(Rect{r[i].x + n.border, r[i].y + n.border, r[i].width, r[i].height});
        }
        n.shape = std::move(shape);
      }
      if (k.stray) {
        if (auto parent = nodes_.find(tree->parent); parent != nodes_.end()) {
          unlink(n);
          n.parent = tree->parent;
          parent->second.children.push_back(k.id);
          strays_.erase(k.id);
        } else {
          n.x = stayX;  // its place in its new parent means nothing here
          n.y = stayY;
        }
      }
      if (tree && k.list) {
        // Until now nothing reported this window's children, so the listing
        // replaces what events about them in other windows suggested.
        const xcb_window_t* first = xcb_query_tree_children(tree.get());
        const std::vector<xcb_window_t> listed(first, first + xcb_query_tree_children_length(tree.get()));
        for (xcb_window_t child : std::vector<xcb_window_t>(n.children)) {
          if (std::find(listed.begin(), listed.end(), child) == listed.end()) remove(child);
        }
        for (xcb_window_t child : listed) {
          auto known = nodes_.find(child);
          if (known == nodes_.end()) {
            add(child, k.id, true);
          } else {
            // Its mapping and geometry were reported here, unheard: read them.
            pending_.insert(child);
            strays_.erase(child);
            if (known->second.parent != k.id) {
              unlink(known->second);
              known->second.parent = k.id;
            }
          }
        }
        n.children = listed;
      }
    }
  }
}

}  // namespace tavrino::share::x11
