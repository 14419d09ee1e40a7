#pragma once

#include <string>

namespace tavrino::bench {

// Starts the helper once and shares the first display count times in a row
// (start, the first frame, stop, "stopped"), printing the helper's resident
// and peak memory now and then: the memory a long-lived helper keeps over
// many shares. 0 when every cycle completed.
int runStartStopCycles(const std::string& helper, int count, unsigned long excludeWindow);

}  // namespace tavrino::bench
