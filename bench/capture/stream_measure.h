#pragma once

#include <cstdint>
#include <string>

namespace tavrino::bench {

struct MeasureOptions {
  std::string record;    // stream record file
  std::string paintLog;  // the changer's "seq time_us" lines; empty: no time code to read
  int screenWidth = 0;   // the captured screen, to find the time code in a scaled picture
  int screenHeight = 0;
  std::int64_t fromMicros = 0;  // the measured window, wall clock
  std::int64_t toMicros = 0;
  std::string snapshot;  // if set, the luma of the window's last picture goes there as PGM
};

// Prints one line of key=value pairs for the frames that arrived inside the
// window: their count and bytes, how many frames of the whole record arrived
// within a second of its first one and, with a paint log, for each frame that
// shows a readable time code the time in ms from that paint to the frame's
// arrival ("latencies=12.5,9.8,..."; "-" without a paint log).
int measureStream(const MeasureOptions& options);

}  // namespace tavrino::bench
