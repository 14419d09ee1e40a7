#pragma once

#include <cstdint>
#include <vector>

namespace tavrino::share::bench {

// One frame of a synthetic desktop in tight NV12 (luma, then interleaved
// CbCr): a scrolling text editor, a window moving across it, and a panel.
// Deterministic in the frame number, so every encoder sees the same frames.
std::vector<std::uint8_t> screenFrame(int width, int height, int frame);

}  // namespace tavrino::share::bench
