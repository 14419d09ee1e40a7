#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tavrino::share::x11 {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  int right() const { return x + width; }
  int bottom() const { return y + height; }
  Rect translated(int dx, int dy) const { return {x + dx, y + dy, width, height}; }
  Rect intersected(const Rect& o) const {
    int l = std::max(x, o.x), t = std::max(y, o.y);
    int r = std::min(right(), o.right()), b = std::min(bottom(), o.bottom());
    return r > l && b > t ? Rect{l, t, r - l, b - t} : Rect{};
  }
  bool operator==(const Rect&) const = default;
};

// A set of pixels as non-overlapping rectangles. Desktops hold a few dozen
// windows, so plain lists beat a banded representation here.
class Region {
 public:
  Region() = default;
  explicit Region(Rect r) { add(r); }

  bool empty() const { return rects_.empty(); }
  const std::vector<Rect>& rects() const& { return rects_; }
  // A temporary's rectangles are handed over, so that a loop over them
  // outlives the region.
  std::vector<Rect> rects() && { return std::move(rects_); }

  void add(const Rect& r) {
    if (r.empty()) return;
    Region piece(r, 0);
    for (const Rect& mine : rects_) piece.subtract(mine);
    rects_.insert(rects_.end(), piece.rects_.begin(), piece.rects_.end());
  }
  void add(const Region& o) {
    for (const Rect& r : o.rects_) add(r);
  }
  // For areas that may grow larger than they are: past `most` rectangles the
  // region becomes its bounding box, so a stream of tiny rectangles cannot
  // make each addition cost more than the last.
  void addCoarsely(const Rect& r, std::size_t most) {
    add(r);
    if (rects_.size() > most) rects_ = {bounds()};
  }

  void subtract(const Rect& cut) {
    // Most cuts miss: they cost a look at each rectangle, no new list.
    if (std::none_of(rects_.begin(), rects_.end(), [&](const Rect& r) { return !r.intersected(cut).empty(); })) return;
    std::vector<Rect> out;
    for (const Rect& r : rects_) {
      Rect i = r.intersected(cut);
      if (i.empty()) {
        out.push_back(r);
        continue;
      }
      // Up to four bands of r around the cut.
      push(out, {r.x, r.y, r.width, i.y - r.y});
      push(out, {r.x, i.bottom(), r.width, r.bottom() - i.bottom()});
      push(out, {r.x, i.y, i.x - r.x, i.height});
      push(out, {i.right(), i.y, r.right() - i.right(), i.height});
    }
    rects_ = std::move(out);
  }
  void subtract(const Region& o) {
    for (const Rect& r : o.rects_) subtract(r);
  }

  Region intersected(const Rect& clip) const {
    Region out;
    for (const Rect& r : rects_) push(out.rects_, r.intersected(clip));
    return out;
  }
  Region intersected(const Region& o) const {
    Region out;
    for (const Rect& r : o.rects_) {
      for (const Rect& mine : rects_) push(out.rects_, mine.intersected(r));
    }
    return out;
  }
  Region translated(int dx, int dy) const {
    Region out;
    for (const Rect& r : rects_) out.rects_.push_back(r.translated(dx, dy));
    return out;
  }
  // The smallest rectangle holding the region.
  Rect bounds() const {
    if (rects_.empty()) return {};
    int l = rects_[0].x, t = rects_[0].y, r = rects_[0].right(), b = rects_[0].bottom();
    for (const Rect& x : rects_) {
      l = std::min(l, x.x);
      t = std::min(t, x.y);
      r = std::max(r, x.right());
      b = std::max(b, x.bottom());
    }
    return {l, t, r - l, b - t};
  }
  // Same rectangles in the same order (equal sets built differently may compare unequal).
  bool operator==(const Region&) const = default;
  long long area() const {
    long long sum = 0;
    for (const Rect& r : rects_) sum += static_cast<long long>(r.width) * r.height;
    return sum;
  }

 private:
  Region(Rect r, int) : rects_{r} {}
  static void push(std::vector<Rect>& out, const Rect& r) {
    if (!r.empty()) out.push_back(r);
  }
  std::vector<Rect> rects_;
};

}  // namespace tavrino::share::x11
