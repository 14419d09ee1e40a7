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

void FrameCompositor::compose(const ExclusionRule& rule, bool showCursor,
                              std::vector<std::uint8_t>& canvas) {
  canvas.resize(static_cast<std::size_t>(monitor_.width) * monitor_.height * 4);
  drawBackground(canvas);
  for (const TopLevelWindow& w : listTopLevelWindows(x_)) {
    if (!w.viewable || !w.inputOutput || rule.excludes(w)) continue;
    if (w.depth != 24 && w.depth != 32) continue;  // other pixel layouts are left out, not guessed
    int left = std::max(w.x, monitor_.x);
    int top = std::max(w.y, monitor_.y);
    int right = std::min(w.x + w.width, monitor_.x + monitor_.width);
    int bottom = std::min(w.y + w.height, monitor_.y + monitor_.height);
    if (right <= left || bottom <= top) continue;
    xcb_pixmap_t pixmap = xcb_generate_id(x_.get());
    auto named = xcb_composite_name_window_pixmap_checked(x_.get(), w.id, pixmap);
    if (Reply<xcb_generic_error_t> failed(xcb_request_check(x_.get(), named)); failed) continue;
    blit(pixmap, left - w.x, top - w.y, Rect{left, top, right - left, bottom - top}, canvas);
    xcb_free_pixmap(x_.get(), pixmap);
  }
  if (showCursor) drawCursor(canvas);
}

void FrameCompositor::drawBackground(std::vector<std::uint8_t>& canvas) {
  auto* pixels = reinterpret_cast<std::uint32_t*>(canvas.data());
  std::fill(pixels, pixels + canvas.size() / 4, kEmptyDesktop);
  if (rootPixmapAtom_ == XCB_ATOM_NONE) return;
  auto cookie = xcb_get_property(x_.get(), 0, x_.root(), rootPixmapAtom_, XCB_ATOM_PIXMAP, 0, 1);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(x_.get(), cookie, nullptr));
  if (!reply || xcb_get_property_value_length(reply.get()) != 4) return;
  xcb_pixmap_t wallpaper = *static_cast<xcb_pixmap_t*>(xcb_get_property_value(reply.get()));
  blit(wallpaper, monitor_.x, monitor_.y, Rect{monitor_.x, monitor_.y, monitor_.width, monitor_.height},
       canvas);
}

bool FrameCompositor::blit(xcb_drawable_t drawable, int sx, int sy, const Rect& area,
                           std::vector<std::uint8_t>& canvas) {
  const std::uint8_t* source = nullptr;
  Reply<xcb_get_image_reply_t> plain;
  std::uint8_t depth = 0;
  if (shm_) {
    auto cookie = xcb_shm_get_image(x_.get(), drawable, static_cast<std::int16_t>(sx),
                                    static_cast<std::int16_t>(sy), static_cast<std::uint16_t>(area.width),
                                    static_cast<std::uint16_t>(area.height), ~0u,
                                    XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->id(), 0);
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(x_.get(), cookie, nullptr));
    if (!reply || reply->size < static_cast<std::uint32_t>(area.width) * area.height * 4) return false;
    source = shm_->data();
    depth = reply->depth;
  } else {
    auto cookie = xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(sx),
                                static_cast<std::int16_t>(sy), static_cast<std::uint16_t>(area.width),
                                static_cast<std::uint16_t>(area.height), ~0u);
    plain.reset(xcb_get_image_reply(x_.get(), cookie, nullptr));
    if (!plain || xcb_get_image_data_length(plain.get()) < area.width * area.height * 4) return false;
    source = xcb_get_image_data(plain.get());
    depth = plain->depth;
  }
  if (depth != 24 && depth != 32) return false;
  const std::size_t canvasStride = static_cast<std::size_t>(monitor_.width) * 4;
  for (int row = 0; row < area.height; ++row) {
    const auto* from = reinterpret_cast<const std::uint32_t*>(source + static_cast<std::size_t>(row) * area.width * 4);
    auto* to = reinterpret_cast<std::uint32_t*>(canvas.data() + (area.y - monitor_.y + row) * canvasStride) +
               (area.x - monitor_.x);
    for (int col = 0; col < area.width; ++col) to[col] = from[col] | 0xFF000000u;
  }
  return true;
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
      std::uint32_t out = 0xFF000000u;
      for (int shift = 0; shift <= 16; shift += 8) {
        std::uint32_t s = (src >> shift) & 0xFF;
        std::uint32_t d = (dst >> shift) & 0xFF;
        out |= std::min<std::uint32_t>(255, s + d * (255 - alpha) / 255) << shift;
      }
      dst = out;
    }
  }
}

}  // namespace tavrino::share::x11
