#include "platform/x11/frame_compositor.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include <xcb/composite.h>
#include <xcb/xfixes.h>

namespace tavrino::share::x11 {

namespace {
constexpr std::uint32_t kEmptyDesktop = 0xFF202020;  // opaque dark grey
constexpr std::uint32_t kNeutralFill = 0xFF505050;   // where nothing may be shown

// A premultiplied ARGB pixel over an opaque one.
std::uint32_t over(std::uint32_t src, std::uint32_t dst) {
  const std::uint32_t alpha = src >> 24;
  std::uint32_t out = 0xFF000000u;
  for (int shift = 0; shift <= 16; shift += 8) {
    const std::uint32_t s = (src >> shift) & 0xFF, d = (dst >> shift) & 0xFF;
    out |= std::min<std::uint32_t>(255, s + d * (255 - alpha) / 255) << shift;
  }
  return out;
}

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
  compositor->shm_ = SharedImageSegment::create(
      x, static_cast<std::size_t>(monitor.width) * static_cast<std::size_t>(monitor.height) * 4);
  compositor->rootPixmapAtom_ = x.atom("_XROOTPMAP_ID");
  if (present(x, &xcb_xfixes_id)) {
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 4, 0), nullptr));
    compositor->cursorAvailable_ = fixes && fixes->major_version >= 1;
  }
  return compositor;
}

void FrameCompositor::compose(const WindowTree& tree, const ExclusionDecision& decision, const SeedGuard& seeds,
                              bool showCursor, std::vector<std::uint8_t>& canvas) {
  canvas.resize(static_cast<std::size_t>(monitor_.width) * monitor_.height * 4);
  drawBackground(canvas);
  for (xcb_window_t id : tree.root().children) {
    const WindowNode* top = tree.find(id);
    if (top == nullptr || !top->mapped || top->inputOnly || decision.excludedTopLevels.count(id) != 0) continue;
    drawTopLevel(tree, *top, decision, seeds, canvas);
  }
  if (showCursor) drawCursor(canvas);
}

void FrameCompositor::drawTopLevel(const WindowTree& tree, const WindowNode& top, const ExclusionDecision& decision,
                                   const SeedGuard& seeds, std::vector<std::uint8_t>& canvas) {
  if (top.depth != 24 && top.depth != 32) return;  // other pixel layouts are left out, not guessed
  const Rect outer = tree.onRoot(top);
  const Rect screen{monitor_.x, monitor_.y, monitor_.width, monitor_.height};
  Region shown = (top.shape ? *top.shape : Region(Rect{0, 0, outer.width, outer.height}))
                     .translated(outer.x, outer.y)
                     .intersected(screen);
  if (shown.empty()) return;
  // Nested protected windows leave a hole (there is nothing behind a child
  // window to show), as do parts the server may have seeded from the screen.
  Region hidden = seeds.tainted(top.id).translated(outer.x, outer.y);
  for (const WindowNode* n : tree.subtree(top)) {
    if (n != &top && n->mapped && decision.protectedWindows.count(n->id) != 0) hidden.add(tree.onRoot(*n));
  }
  hidden = hidden.intersected(shown);
  shown.subtract(hidden);

  auto* pixels = reinterpret_cast<std::uint32_t*>(canvas.data());
  for (const Rect& r : hidden.rects()) {
    for (int row = r.y; row < r.bottom(); ++row) {
      std::uint32_t* to = pixels + static_cast<std::size_t>(row - monitor_.y) * monitor_.width + (r.x - monitor_.x);
      std::fill(to, to + r.width, kNeutralFill);
    }
  }
  if (shown.empty()) return;
  Rect box = shown.rects().front();
  for (const Rect& r : shown.rects()) {
    const int right = std::max(box.right(), r.right()), bottom = std::max(box.bottom(), r.bottom());
    box = Rect{std::min(box.x, r.x), std::min(box.y, r.y), 0, 0};
    box.width = right - box.x;
    box.height = bottom - box.y;
  }
  xcb_pixmap_t pixmap = xcb_generate_id(x_.get());
  xcb_composite_name_window_pixmap(x_.get(), top.id, pixmap);
  std::uint8_t depth = 0;
  const std::uint8_t* source = read(pixmap, box.translated(-outer.x, -outer.y), depth);
  xcb_free_pixmap(x_.get(), pixmap);
  if (source == nullptr || depth != top.depth) return;
  const bool blend = depth == 32;
  for (const Rect& r : shown.rects()) {
    for (int row = r.y; row < r.bottom(); ++row) {
      const auto* from = reinterpret_cast<const std::uint32_t*>(source) +
                         static_cast<std::size_t>(row - box.y) * box.width + (r.x - box.x);
      std::uint32_t* to = pixels + static_cast<std::size_t>(row - monitor_.y) * monitor_.width + (r.x - monitor_.x);
      for (int col = 0; col < r.width; ++col) to[col] = blend ? over(from[col], to[col]) : from[col] | 0xFF000000u;
    }
  }
}

void FrameCompositor::drawBackground(std::vector<std::uint8_t>& canvas) {
  auto* pixels = reinterpret_cast<std::uint32_t*>(canvas.data());
  std::fill(pixels, pixels + canvas.size() / 4, kEmptyDesktop);
  if (rootPixmapAtom_ == XCB_ATOM_NONE) return;
  auto cookie = xcb_get_property(x_.get(), 0, x_.root(), rootPixmapAtom_, XCB_ATOM_PIXMAP, 0, 1);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(x_.get(), cookie, nullptr));
  if (!reply || xcb_get_property_value_length(reply.get()) != 4) return;
  xcb_pixmap_t wallpaper = *static_cast<xcb_pixmap_t*>(xcb_get_property_value(reply.get()));
  std::uint8_t depth = 0;
  const Rect screen{monitor_.x, monitor_.y, monitor_.width, monitor_.height};
  const std::uint8_t* source = read(wallpaper, screen, depth);
  if (source == nullptr || (depth != 24 && depth != 32)) return;
  const auto* from = reinterpret_cast<const std::uint32_t*>(source);
  for (std::size_t i = 0; i < canvas.size() / 4; ++i) pixels[i] = from[i] | 0xFF000000u;
}

const std::uint8_t* FrameCompositor::read(xcb_drawable_t drawable, const Rect& area, std::uint8_t& depth) {
  const auto size = static_cast<std::size_t>(area.width) * area.height * 4;
  if (shm_ && size <= shm_->size()) {
    auto cookie = xcb_shm_get_image(x_.get(), drawable, static_cast<std::int16_t>(area.x),
                                    static_cast<std::int16_t>(area.y), static_cast<std::uint16_t>(area.width),
                                    static_cast<std::uint16_t>(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                    shm_->id(), 0);
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(x_.get(), cookie, nullptr));
    if (!reply || reply->size < size) return nullptr;
    depth = reply->depth;
    return shm_->data();
  }
  auto cookie = xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(area.x),
                              static_cast<std::int16_t>(area.y), static_cast<std::uint16_t>(area.width),
                              static_cast<std::uint16_t>(area.height), ~0u);
  plain_.reset(xcb_get_image_reply(x_.get(), cookie, nullptr));
  if (!plain_ || static_cast<std::size_t>(xcb_get_image_data_length(plain_.get())) < size) return nullptr;
  depth = plain_->depth;
  return xcb_get_image_data(plain_.get());
}

void FrameCompositor::drawCursor(std::vector<std::uint8_t>& canvas) {
  if (!cursorAvailable_) return;
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(x_.get(), xcb_xfixes_get_cursor_image(x_.get()), nullptr));
  if (!cursor) return;
  const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
  const int originX = cursor->x - cursor->xhot - monitor_.x;
  const int originY = cursor->y - cursor->yhot - monitor_.y;
  auto* pixels = reinterpret_cast<std::uint32_t*>(canvas.data());
  for (int row = 0; row < cursor->height; ++row) {
    int y = originY + row;
    if (y < 0 || y >= monitor_.height) continue;
    for (int col = 0; col < cursor->width; ++col) {
      int x = originX + col;
      if (x < 0 || x >= monitor_.width) continue;
      std::uint32_t src = image[row * cursor->width + col];  // premultiplied ARGB
      std::uint32_t alpha = src >> 24;
      if (alpha == 0) continue;
      std::uint32_t& dst = pixels[static_cast<std::size_t>(y) * monitor_.width + x];
      dst = over(src, dst);
    }
  }
}

}  // namespace tavrino::share::x11
