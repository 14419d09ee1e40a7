#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <xcb/shm.h>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/exclusion_rule.h"
#include "platform/x11/seeded_content.h"
#include "platform/x11/window_tree.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// A System V shared-memory segment attached to the X server; the kernel
// frees it once both sides have detached.
class SharedImageSegment {
 public:
  static std::unique_ptr<SharedImageSegment> create(const XcbConnection& x, std::size_t size);

  struct Private {};
  SharedImageSegment(Private, xcb_connection_t* c, xcb_shm_seg_t segment, std::uint8_t* data,
                     std::size_t size)
      : connection_(c), segment_(segment), data_(data), size_(size) {}
  ~SharedImageSegment();
  SharedImageSegment(const SharedImageSegment&) = delete;
  SharedImageSegment& operator=(const SharedImageSegment&) = delete;

  xcb_shm_seg_t id() const { return segment_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  xcb_connection_t* connection_;
  xcb_shm_seg_t segment_;
  std::uint8_t* data_;
  std::size_t size_;
};

// Paints one monitor's picture from the windows' own off-screen pixmaps, so
// that what lies behind an excluded window is shown instead of the window.
// Never reads the screen's framebuffer, which would contain excluded pixels.
class FrameCompositor {
 public:
  // Redirects the root's children into off-screen pixmaps (automatic mode:
  // the screen keeps looking the same). Fails without Composite.
  static std::unique_ptr<FrameCompositor> create(const XcbConnection& x, const MonitorInfo& monitor,
                                                 ErrorValue& error);

  // Fills canvas (monitor width x height, 4 bytes a pixel, B G R A) with the
  // shown top-levels, bottom to top, each through its bounding shape, with
  // the protected windows nested in them and their tainted parts filled
  // neutral, and the cursor when asked.
  void compose(const WindowTree& tree, const ExclusionDecision& decision, const SeedGuard& seeds,
               bool showCursor, std::vector<std::uint8_t>& canvas);

  const MonitorInfo& monitor() const { return monitor_; }

  struct Private {};
  FrameCompositor(Private, const XcbConnection& x, const MonitorInfo& monitor) : x_(x), monitor_(monitor) {}

 private:
  void drawTopLevel(const WindowTree& tree, const WindowNode& top, const ExclusionDecision& decision,
                    const SeedGuard& seeds, std::vector<std::uint8_t>& canvas);
  void drawBackground(std::vector<std::uint8_t>& canvas);
  // Reads a rectangle of a drawable (32 bits a pixel); the pixels stay valid
  // until the next read. Null when it cannot be read.
  const std::uint8_t* read(xcb_drawable_t drawable, const Rect& area, std::uint8_t& depth);
  void drawCursor(std::vector<std::uint8_t>& canvas);

  const XcbConnection& x_;
  MonitorInfo monitor_;
  std::unique_ptr<SharedImageSegment> shm_;
  Reply<xcb_get_image_reply_t> plain_;
  xcb_atom_t rootPixmapAtom_ = XCB_ATOM_NONE;
  bool cursorAvailable_ = false;
};

}  // namespace tavrino::share::x11
