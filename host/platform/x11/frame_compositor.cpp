#include "platform/x11/frame_compositor.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <libyuv/planar_functions.h>
#include <xcb/composite.h>

namespace tavrino::share::x11 {

namespace {
constexpr std::uint32_t kEmptyDesktop = 0xFF202020;  // opaque dark grey
constexpr std::uint32_t kNeutralFill = 0xFF505050;   // where nothing may be shown
// Images are read through a buffer of about this size: the capture repaints
// only what changed, so a screen-sized one would lie idle between the rare
// full repaints, which take a few more round trips this way.
constexpr std::size_t kStripTarget = std::size_t{1} << 20;

bool present(const XcbConnection& x, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.get(), extension);
  return data != nullptr && data->present;
}
}  // namespace

std::unique_ptr<SharedImageSegment> SharedImageSegment::create(const XcbConnection& x, std::size_t size) {
  if (!present(x, &xcb_shm_id)) return nullptr;
  int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmid < 0) return nullptr;
  void* address = shmat(shmid, nullptr, SHM_RDONLY);
  xcb_shm_seg_t segment = xcb_generate_id(x.get());
  // The server writes the images into the segment, so it attaches read-write.
  auto cookie = xcb_shm_attach_checked(x.get(), segment, static_cast<std::uint32_t>(shmid), 0);
  Reply<xcb_generic_error_t> error(xcb_request_check(x.get(), cookie));
  shmctl(shmid, IPC_RMID, nullptr);  // freed once the server and we detach
  if (address == reinterpret_cast<void*>(-1)) return nullptr;
  if (error) {
    shmdt(address);
    return nullptr;
  }
  return std::make_unique<SharedImageSegment>(SharedImageSegment::Private{}, x.get(), segment,
                                              static_cast<std::uint8_t*>(address), size);
}

SharedImageSegment::~SharedImageSegment() {
  xcb_shm_detach(connection_, segment_);
  xcb_flush(connection_);
  shmdt(data_);
}

std::unique_ptr<FrameCompositor> FrameCompositor::create(const XcbConnection& x,
                                                         const MonitorInfo& monitor,
                                                         ErrorValue& error) {
  if (auto refusal = PixelFormats(x).refusal()) {
    error = *refusal;
    return nullptr;
  }
  if (!present(x, &xcb_composite_id)) {
    error = x11Error(2, "Protected sharing needs the X Composite extension, which this display lacks.");
    return nullptr;
  }
  Reply<xcb_composite_query_version_reply_t> version(
      xcb_composite_query_version_reply(x.get(), xcb_composite_query_version(x.get(), 0, 4), nullptr));
  if (!version || (version->major_version == 0 && version->minor_version < 2)) {
    error = x11Error(2, "Protected sharing needs X Composite 0.2 or newer.");
    return nullptr;
  }
  auto redirect = xcb_composite_redirect_subwindows_checked(x.get(), x.root(),
                                                            XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  if (Reply<xcb_generic_error_t> failed(xcb_request_check(x.get(), redirect)); failed) {
    error = x11Error(failed->error_code, "The windows of this display cannot be captured one by one.");
    return nullptr;
  }
  auto compositor = std::make_unique<FrameCompositor>(Private{}, x, monitor);
  const auto row = static_cast<std::size_t>(monitor.width) * 4;
  compositor->stripBytes_ = std::max<std::size_t>(1, kStripTarget / row) * row;
  compositor->shm_ = SharedImageSegment::create(x, compositor->stripBytes_);
  compositor->rootPixmapAtom_ = x.atom("_XROOTPMAP_ID", true);
  return compositor;
}

Layers FrameCompositor::layers(const WindowTree& tree, const ExclusionDecision& decision,
                               const SeedGuard& seeds) const {
  Layers out;
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr || !top->mapped || top->inputOnly || decision.excludedTopLevels.count(id) != 0) continue;
    Layer layer;
    layer.id = id;
    layer.outer = tree.onRoot(*top);
    layer.depth = top->depth;
    layer.layout = formats_.forVisual(top->visual);
    const Rect& outer = layer.outer;
    layer.shown = (top->shape ? *top->shape : Region(Rect{0, 0, outer.width, outer.height}))
                      .translated(outer.x, outer.y)
                      .intersected(screen());
    // A frame drawn wider than its extents keeps the rest invisible (room to
    // grab for resizing); the desktop's compositor shows what lies behind there.
    const std::vector<const WindowNode*> family = tree.subtree(*top);
    for (const WindowNode* n : family) {
      if (top->hasWmState) break;  // a client of its own, not a frame
      if (n == top || !n->hasWmState || !n->frameExtents) continue;
      const auto [left, right, upper, lower] = *n->frameExtents;
      const Rect client = tree.onRoot(*n);
      layer.shown = layer.shown.intersected(
          Rect{client.x - left, client.y - upper, client.width + left + right, client.height + upper + lower});
      break;
    }
    if (layer.shown.empty()) continue;
    // Nested protected windows leave a hole (there is nothing behind a child
    // window to show), as do parts the server may have seeded from the screen.
    Region hidden = seeds.tainted(id).translated(outer.x, outer.y);
    for (const WindowNode* n : family) {
      if (n != top && n->mapped && decision.protectedWindows.count(n->id) != 0) hidden.add(tree.onRoot(*n));
    }
    // Pixels that are no colours are not guessed at.
    if (layer.layout == nullptr) hidden = layer.shown;
    layer.hidden = hidden.intersected(layer.shown);
    layer.shown.subtract(layer.hidden);
    out.push_back(std::move(layer));
  }
  return out;
}

Region changedBetween(const Layers& before, const Layers& after) {
  Region changed;
  auto areaOf = [&](const Layer& l) {
    changed.add(l.shown);
    changed.add(l.hidden);
  };
  std::unordered_map<xcb_window_t, std::size_t> placeAfter;
  placeAfter.reserve(after.size());
  for (std::size_t i = 0; i < after.size(); ++i) placeAfter.emplace(after[i].id, i);
  // Where each kept layer went, in the old order; the layers that went or
  // changed count whole, old area and new.
  std::vector<std::size_t> went;
  std::vector<bool> kept(after.size());
  for (const Layer& l : before) {
    auto now = placeAfter.find(l.id);
    if (now == placeAfter.end()) {
      areaOf(l);
      continue;
    }
    kept[now->second] = true;
    if (l == after[now->second]) {
      went.push_back(now->second);
    } else {
      areaOf(l);
      areaOf(after[now->second]);
    }
  }
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (!kept[i]) areaOf(after[i]);
  }
  // Two layers that swapped places change the picture only where both lie,
  // so marking one of them is enough: the layers that keep their order are
  // the longest increasing run of places (in patience order, n log n), and
  // every other one counts whole. A window raised to the top marks itself,
  // not every window it passed.
  std::vector<std::size_t> tails, tailAt, previous(went.size());
  for (std::size_t i = 0; i < went.size(); ++i) {
    auto at = std::lower_bound(tails.begin(), tails.end(), went[i]);
    const auto k = static_cast<std::size_t>(at - tails.begin());
    previous[i] = k > 0 ? tailAt[k - 1] : went.size();
    if (at == tails.end()) {
      tails.push_back(went[i]);
      tailAt.push_back(i);
    } else {
      *at = went[i];
      tailAt[k] = i;
    }
  }
  std::vector<bool> inOrder(went.size());
  for (std::size_t i = tailAt.empty() ? went.size() : tailAt.back(); i < went.size(); i = previous[i]) inOrder[i] = true;
  for (std::size_t i = 0; i < went.size(); ++i) {
    if (!inOrder[i]) areaOf(after[went[i]]);
  }
  return changed;
}

void FrameCompositor::compose(const Layers& layers, const Region& area, const Surface& surface) {
  Unread unread{false, std::vector<bool>(layers.size())};
  paint(layers, layers.size(), area.intersected(screen()).intersected(surface.box), unread, surface);
}

// Paints `area` from the background and the bottom `count` layers, reading
// only what shows: top down, each layer takes what is left of the area
// after the opaque layers above it (their shown parts, and every hidden part,
// which is filled) took theirs; a translucent layer is drawn over what lies
// below it, so it takes nothing away. A layer whose image stops reading
// part-way through is left out as if it could not be read at all: its part
// is painted again from what lies below it.
void FrameCompositor::paint(const Layers& layers, std::size_t count, const Region& area, Unread& unread,
                            const Surface& surface) {
  struct Part {
    Region hidden, shown;
  };
  std::vector<Part> parts(count);
  Region open = area;
  const Rect box = area.bounds();
  for (std::size_t i = count; i-- > 0 && !open.empty();) {
    const Layer& layer = layers[i];
    if (layer.outer.intersected(box).empty()) continue;
    Part& part = parts[i];
    part.hidden = layer.hidden.intersected(open);
    open.subtract(part.hidden);
    if (unread.layers[i]) continue;  // shows what lies below it
    part.shown = layer.shown.intersected(open);
    if (!part.shown.empty() && !layer.layout->translucent()) open.subtract(part.shown);
  }
  if (!open.empty()) unread.wallpaper = !drawBackground(open, !unread.wallpaper, surface);
  for (std::size_t i = 0; i < count; ++i) {
    for (const Rect& r : parts[i].hidden.rects()) {
      libyuv::ARGBRect(surface.at(r.x, r.y), surface.stride, 0, 0, r.width, r.height, kNeutralFill);
    }
    if (parts[i].shown.empty() || drawLayer(layers[i], parts[i].shown, surface)) continue;
    unread.layers[i] = true;
    paint(layers, i, parts[i].shown, unread, surface);
  }
}

// False when the layer's image was not read whole: what was drawn from it
// is then painted over again by the caller.
bool FrameCompositor::drawLayer(const Layer& layer, const Region& shown, const Surface& surface) {
  xcb_pixmap_t pixmap = xcb_generate_id(x_.get());
  xcb_composite_name_window_pixmap(x_.get(), layer.id, pixmap);
  const bool whole = read(pixmap, layer.outer.x, layer.outer.y, shown, layer.layout, [&](const Strip& s) {
    // 32-bit windows carry premultiplied alpha: their clear parts show what lies behind.
    copy(s, layer.layout->translucent(), surface);
    return true;
  });
  xcb_free_pixmap(x_.get(), pixmap);
  return whole;
}

// False when it filled `area` instead of drawing the wallpaper.
bool FrameCompositor::drawBackground(const Region& area, bool readWallpaper, const Surface& surface) {
  auto fill = [&] {
    for (const Rect& r : area.rects()) {
      libyuv::ARGBRect(surface.at(r.x, r.y), surface.stride, 0, 0, r.width, r.height, kEmptyDesktop);
    }
    return false;
  };
  if (!readWallpaper || rootPixmapAtom_ == XCB_ATOM_NONE) return fill();
  auto cookie = xcb_get_property(x_.get(), 0, x_.root(), rootPixmapAtom_, XCB_ATOM_PIXMAP, 0, 1);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(x_.get(), cookie, nullptr));
  if (!reply || xcb_get_property_value_length(reply.get()) != 4) return fill();
  xcb_pixmap_t wallpaper = *static_cast<xcb_pixmap_t*>(xcb_get_property_value(reply.get()));
  const bool whole = read(wallpaper, 0, 0, area, nullptr, [&](const Strip& s) {
    copy(s, false, surface);
    return true;
  });
  return whole || fill();  // over the strips already copied too
}

void FrameCompositor::copy(const Strip& s, bool blend, const Surface& surface) const {
  const int stride = surface.stride;
  for (const Rect& r : s.part.rects()) {
    const std::uint8_t* from = s.pixels + (static_cast<std::size_t>(r.y - s.box.y) * s.box.width + (r.x - s.box.x)) * 4;
    std::uint8_t* to = surface.at(r.x, r.y);
    if (blend) {
      libyuv::ARGBBlend(from, s.box.width * 4, to, stride, to, stride, r.width, r.height);
    } else {
      libyuv::ARGBCopy(from, s.box.width * 4, to, stride, r.width, r.height);
    }
  }
}

bool FrameCompositor::read(xcb_drawable_t drawable, int left, int top, const Region& area, const PixelLayout* layout,
                           const StripTaker& take) {
  const Rect box = area.bounds();
  const int rows = static_cast<int>(std::max<std::size_t>(1, stripBytes_ / (static_cast<std::size_t>(box.width) * 4)));
  for (int band = box.y; band < box.bottom(); band += rows) {
    Strip s{nullptr, {}, area.intersected(Rect{box.x, band, box.width, std::min(rows, box.bottom() - band)}), 0};
    if (s.part.empty()) continue;
    s.box = s.part.bounds();
    const Rect from = s.box.translated(-left, -top);
    const auto x = static_cast<std::int16_t>(from.x), y = static_cast<std::int16_t>(from.y);
    const auto w = static_cast<std::uint16_t>(from.width), h = static_cast<std::uint16_t>(from.height);
    Reply<xcb_get_image_reply_t> plain;
    std::size_t length = 0;
    const std::uint8_t* data = nullptr;
    ++imagesRead_;
    if (shm_) {
      auto cookie = xcb_shm_get_image(x_.get(), drawable, x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->id(), 0);
      Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(x_.get(), cookie, nullptr));
      if (!reply) return false;
      s.depth = reply->depth;
      length = reply->size;
      data = shm_->data();
    } else {
      auto cookie = xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, w, h, ~0u);
      plain.reset(xcb_get_image_reply(x_.get(), cookie, nullptr));
      if (!plain) return false;
      s.depth = plain->depth;
      length = static_cast<std::size_t>(xcb_get_image_data_length(plain.get()));
      data = xcb_get_image_data(plain.get());
    }
    const PixelLayout* l = layout != nullptr ? layout : formats_.forDepth(s.depth);
    if (l == nullptr || l->depth != s.depth) return false;
    const std::size_t rowBytes = l->rowBytes(from.width);
    if (length < rowBytes * static_cast<std::size_t>(from.height)) return false;
    if (l->kind == PixelLayout::Kind::bgra) {
      s.pixels = data;
    } else {
      converted_.resize(static_cast<std::size_t>(from.width) * from.height * 4);
      convertPixels(*l, data, rowBytes, converted_.data(), static_cast<std::size_t>(from.width) * 4, from.width,
                    from.height);
      s.pixels = converted_.data();
    }
    if (!take(s)) return false;
  }
  return true;
}

}  // namespace tavrino::share::x11
