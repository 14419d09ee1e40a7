#include "platform/x11/seeded_content.h"

namespace tavrino::share::x11 {

SeedGuard::SeedGuard(const XcbConnection& x, bool active) : x_(x), active_(active) {
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(x.get(), &xcb_damage_id);
  if (damage == nullptr || !damage->present) return;
  Reply<xcb_damage_query_version_reply_t> version(
      xcb_damage_query_version_reply(x.get(), xcb_damage_query_version(x.get(), 1, 1), nullptr));
  if (version) damageEvent_ = damage->first_event;
}

Region SeedGuard::seedable(const WindowTree& tree, const ExclusionDecision& decision, Rect onRoot) const {
  if (!active_) return {};
  Region area = Exclusion::protectedArea(tree, decision);
  for (const WindowNode* n : tree.subtree(tree.root())) {
    if (!n->probed && n->mapped) area.add(tree.onRoot(*n));  // not known yet: may be protected
  }
  return area.intersected(onRoot).translated(-onRoot.x, -onRoot.y);
}

void SeedGuard::taint(xcb_window_t topLevel, Region area) {
  if (!active_ || area.empty()) return;
  tracked_[topLevel].pending.add(area);
  ++generation_;
}

void SeedGuard::taintAtStart(const WindowTree& tree, const ExclusionDecision& decision, bool wholeWindows) {
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr || decision.excludedTopLevels.count(id) != 0) continue;
    const Rect r = tree.onRoot(*top);
    taint(id, wholeWindows ? Region(top->outer().translated(-top->x, -top->y)) : seedable(tree, decision, r));
  }
}

void SeedGuard::taintLeftBehind(const WindowTree& tree, const WindowNode& moving, const ExclusionDecision& decision) {
  const xcb_window_t top = tree.topLevelOf(moving.id);
  const WindowNode* t = tree.find(top);
  if (t == nullptr || top == moving.id || !tree.viewable(moving)) return;
  const Rect origin = tree.onRoot(*t);
  Region left;
  for (const WindowNode* n : tree.subtree(moving)) {
    if (n->mapped && (!n->probed || decision.protectedWindows.count(n->id) != 0)) {
      left.add(tree.onRoot(*n).translated(-origin.x, -origin.y));
    }
  }
  taint(top, left.intersected(Rect{0, 0, origin.width, origin.height}));
}

void SeedGuard::leftBehind(const WindowTree& tree, const ExclusionDecision& decision, xcb_window_t parent,
                           xcb_window_t window) {
  const WindowNode* p = tree.find(parent);
  const WindowNode* w = tree.find(window);
  if (p == nullptr || parent == tree.root().id) return;
  if (w != nullptr && w->parent == parent) {
    taintLeftBehind(tree, *w, decision);
    return;
  }
  // The window was there without our knowing (its arrival was reported to a
  // window not watched yet): what it left may be anywhere in that parent.
  if (w != nullptr && w->probed && decision.protectedWindows.count(window) == 0) return;
  const WindowNode* top = tree.find(tree.topLevelOf(parent));
  if (top == nullptr) return;
  const Rect origin = tree.onRoot(*top);
  taint(top->id, Region(tree.onRoot(*p).translated(-origin.x, -origin.y)).intersected(
                     Rect{0, 0, origin.width, origin.height}));
}

void SeedGuard::beforeEvent(const xcb_generic_event_t* event, const WindowTree& tree,
                            const ExclusionDecision& decision) {
  if (!active_) return;
  const xcb_window_t root = tree.root().id;
  // Every event here was delivered to the window's parent, named in `event`,
  // which may differ from the parent the model knows.
  switch (event->response_type & 0x7f) {
    case XCB_MAP_NOTIFY: {
      const WindowNode* n = tree.find(reinterpret_cast<const xcb_map_notify_event_t*>(event)->window);
      if (n != nullptr && n->parent == root) taint(n->id, seedable(tree, decision, tree.onRoot(*n)));
      break;
    }
    case XCB_UNMAP_NOTIFY:
    case XCB_DESTROY_NOTIFY: {
      // Both events start with the parent and the window.
      auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
      leftBehind(tree, decision, e->event, e->window);
      break;
    }
    case XCB_REPARENT_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
      const WindowNode* n = tree.find(e->window);
      const WindowNode* home = tree.find(e->parent);
      if ((home == nullptr || !home->probed) && (n == nullptr || !n->probed || decision.protectedWindows.count(n->id))) {
        // Into a window not watched yet (a window manager's new frame is
        // known from its creation but watched only once read): whatever it
        // draws there may stay behind unreported; that window's area is
        // tainted once it is known.
        unknownHomes_.emplace(e->parent, 0);
      }
      if (e->event != e->parent) {
        leftBehind(tree, decision, e->event, e->window);  // reported to the old parent
      } else if (n != nullptr && n->parent != e->parent) {
        // Heard only from the new parent: the old one was not watched yet.
        leftBehind(tree, decision, n->parent, e->window);
      } else if (n != nullptr && n->parent == e->parent && (n->x != e->x || n->y != e->y)) {
        leftBehind(tree, decision, e->parent, e->window);  // moved within the same parent
      }
      if (n != nullptr && e->parent == root) {
        taint(n->id, seedable(tree, decision, Rect{e->x, e->y, n->outer().width, n->outer().height}));
      }
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
      const WindowNode* n = tree.find(e->window);
      const Rect now{e->x, e->y, e->width + 2 * e->border_width, e->height + 2 * e->border_width};
      if (e->event != root) {
        if (n == nullptr || n->parent != e->event || !(n->outer() == now)) leftBehind(tree, decision, e->event, e->window);
      } else if (n != nullptr && (now.width != n->outer().width || now.height != n->outer().height)) {
        // A new image, filled from the screen; older taints may have moved with the gravity.
        auto old = tracked_.find(n->id);
        if (old != tracked_.end() && !(old->second.armed.empty() && old->second.pending.empty())) {
          taint(n->id, Region(Rect{0, 0, now.width, now.height}));
        } else {
          taint(n->id, seedable(tree, decision, now));
        }
      }
      break;
    }
    default:
      break;
  }
}

bool SeedGuard::onDamage(const xcb_generic_event_t* event, const WindowTree& tree, Region& drawnOnRoot) {
  if (damageEvent_ == 0 || (event->response_type & 0x7f) != damageEvent_ + XCB_DAMAGE_NOTIFY) return false;
  auto* e = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
  auto it = tracked_.find(e->drawable);
  const WindowNode* n = tree.find(e->drawable);
  if (n == nullptr) return true;
  const Rect drawn{e->area.x + n->border, e->area.y + n->border, e->area.width, e->area.height};
  const Rect origin = tree.onRoot(*n);
  drawnOnRoot.addCoarsely(drawn.translated(origin.x, origin.y), kMostDrawnRects);
  if (it == tracked_.end()) return true;
  Tracked& t = it->second;
  if (static_cast<std::int32_t>(event->full_sequence - t.since) >= 0 && !t.armed.intersected(drawn).empty()) {
    t.armed.subtract(drawn);
    ++generation_;
  }
  return true;
}

void SeedGuard::sync(const WindowTree& tree) {
  if (damageEvent_ == 0) return;
  xcb_connection_t* c = x_.get();
  for (auto it = unknownHomes_.begin(); it != unknownHomes_.end();) {
    const WindowNode* home = tree.find(it->first);
    const WindowNode* top = home != nullptr ? tree.find(tree.topLevelOf(home->id)) : nullptr;
    if (top != nullptr) {
      const Rect origin = tree.onRoot(*top);
      taint(top->id, Region(tree.onRoot(*home).translated(-origin.x, -origin.y)));
    }
    // A home never seen was destroyed before anyone could list it.
    it = top != nullptr || ++it->second > kUnknownHomeSyncs ? unknownHomes_.erase(it) : std::next(it);
  }
  for (auto it = tracked_.begin(); it != tracked_.end();) {
    const WindowNode* n = tree.find(it->first);
    if (n == nullptr || n->parent != tree.root().id) {
      if (n != nullptr && it->second.damage != 0) xcb_damage_destroy(c, it->second.damage);
      it = tracked_.erase(it);
      ++generation_;
    } else {
      ++it;
    }
  }
  for (xcb_window_t id : tree.root().children) {
    Tracked& t = tracked_[id];
    if (t.damage == 0) {
      t.damage = xcb_generate_id(c);
      xcb_damage_create(c, t.damage, id, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    }
  }
  bool pending = false;
  for (const auto& [id, t] : tracked_) pending = pending || !t.pending.empty();
  if (!pending) return;
  const std::uint32_t since = xcb_no_operation(c).sequence;
  for (auto& [id, t] : tracked_) {
    if (t.pending.empty()) continue;
    t.armed.add(t.pending);
    t.pending = Region();
    t.since = since;
    const WindowNode* top = tree.find(id);
    if (top == nullptr || !tree.viewable(*top)) continue;
    // Expose the area in every window drawn there, so its client repaints it.
    const Rect origin = tree.onRoot(*top);
    for (const WindowNode* w : tree.subtree(*top)) {
      if (w->inputOnly || !tree.viewable(*w)) continue;
      const Rect inside = tree.onRoot(*w).translated(w->border - origin.x, w->border - origin.y);
      for (const Rect& r : t.armed.rects()) {
        const Rect local = r.intersected(Rect{inside.x, inside.y, w->width, w->height});
        if (local.empty()) continue;
        xcb_clear_area(c, 1, w->id, static_cast<std::int16_t>(local.x - inside.x),
                       static_cast<std::int16_t>(local.y - inside.y), static_cast<std::uint16_t>(local.width),
                       static_cast<std::uint16_t>(local.height));
      }
    }
  }
}

Region SeedGuard::tainted(xcb_window_t topLevel) const {
  Region area;
  if (auto it = tracked_.find(topLevel); it != tracked_.end()) {
    area = it->second.armed;
    area.add(it->second.pending);
  }
  return area;
}

}  // namespace tavrino::share::x11
