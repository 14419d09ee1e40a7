#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <xcb/shm.h>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/exclusion_rule.h"
#include "platform/x11/pixel_formats.h"
#include "platform/x11/seeded_content.h"
#include "platform/x11/surface.h"
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

// One shown top-level as it reaches the picture, in root coordinates.
struct Layer {
  xcb_window_t id = XCB_WINDOW_NONE;
  Rect outer;
  std::uint8_t depth = 0;
  const PixelLayout* layout = nullptr;  // none: a window whose pixels are not colours
  // Drawn from the window's own image, through its shape, on the monitor;
  // it covers what lies below unless the window is translucent (32-bit).
  Region shown;
  Region hidden;  // filled neutral, covering what lies below: protected windows nested in it, seeded parts

  bool operator==(const Layer&) const = default;
};
using Layers = std::vector<Layer>;  // bottom to top

// Where two pictures painted from these layer lists may differ (root
// coordinates): every layer that appeared, went, changed or changed its
// place in the stacking order, old and new area alike.
Region changedBetween(const Layers& before, const Layers& after);

// Paints one monitor's picture from the windows' own off-screen pixmaps, so
// that what lies behind an excluded window is shown instead of the window.
// Never reads the screen's framebuffer, which would contain excluded pixels.
class FrameCompositor {
 public:
  // Redirects the root's children into off-screen pixmaps (automatic mode:
  // the screen keeps looking the same). Fails without Composite, and on a
  // screen whose colours it cannot read.
  static std::unique_ptr<FrameCompositor> create(const XcbConnection& x, const MonitorInfo& monitor,
                                                 ErrorValue& error);

  // The shown top-levels, bottom to top, each through its bounding shape,
  // with the protected windows nested in them and their tainted parts hidden.
  Layers layers(const WindowTree& tree, const ExclusionDecision& decision, const SeedGuard& seeds) const;

  // Paints the part `area` (root coordinates, within the surface's box) of
  // the surface from the layers, reading of each only what shows there: a
  // window covered by opaque ones costs no round trip. The rest of the
  // surface is left as it is.
  void compose(const Layers& layers, const Region& area, const Surface& surface);

  // Image requests sent so far, each a round trip to the server.
  std::size_t imagesRead() const { return imagesRead_; }

  const MonitorInfo& monitor() const { return monitor_; }
  // For a monitor that moved, keeping its size.
  void follow(const MonitorInfo& monitor) { monitor_ = monitor; }
  Rect screen() const { return {monitor_.x, monitor_.y, monitor_.width, monitor_.height}; }

  struct Private {};
  FrameCompositor(Private, const XcbConnection& x, const MonitorInfo& monitor)
      : x_(x), monitor_(monitor), formats_(x) {}

 private:
  // One horizontal strip of a read: the pixels of `box` (root coordinates;
  // in the surface layout, rows of box.width * 4 bytes), valid until the next
  // read, and `part`, the requested area within the strip.
  struct Strip {
    const std::uint8_t* pixels;
    Rect box;
    Region part;
    std::uint8_t depth;
  };
  using StripTaker = std::function<bool(const Strip&)>;
  // Puts a strip's requested part on the surface, drawn over what is there when blending.
  void copy(const Strip& s, bool blend, const Surface& surface) const;

  // What one compose() could not read, so that painting part of it again
  // leaves out the same.
  struct Unread {
    bool wallpaper = false;
    std::vector<bool> layers;
  };

  void paint(const Layers& layers, std::size_t count, const Region& area, Unread& unread, const Surface& surface);
  bool drawLayer(const Layer& layer, const Region& shown, const Surface& surface);
  bool drawBackground(const Region& area, bool readWallpaper, const Surface& surface);
  // Reads `area` (root coordinates) of a drawable whose origin lies at
  // (left, top) on the root, in strips of at most stripBytes_, top first;
  // false at the first strip that cannot be read, is not in `layout` (none:
  // the layout of the depth the server reports) or that `take` refuses.
  bool read(xcb_drawable_t drawable, int left, int top, const Region& area, const PixelLayout* layout,
            const StripTaker& take);

  const XcbConnection& x_;
  MonitorInfo monitor_;
  std::size_t stripBytes_ = 0;  // whole rows of the monitor's width
  std::unique_ptr<SharedImageSegment> shm_;  // stripBytes_ large; without it plain reads, as large
  PixelFormats formats_;
  std::vector<std::uint8_t> converted_;  // a strip read in another layout, in the surface's
  xcb_atom_t rootPixmapAtom_ = XCB_ATOM_NONE;
  std::size_t imagesRead_ = 0;
};

}  // namespace tavrino::share::x11
