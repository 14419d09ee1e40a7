#pragma once

#include <string>

namespace tavrino::bench {

// Prints the side-by-side table of a results file written by side_by_side.sh:
// per scene and metric the helper's and ffmpeg's medians with their ranges,
// and the ratio of the medians.
int printResultTable(const std::string& path);

}  // namespace tavrino::bench
