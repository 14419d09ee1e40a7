#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrino::bench {

struct HelperOptions {
  std::string helper;   // the helper executable
  std::string out;      // stream record file
  std::string pidFile;  // where the helper's process id goes, for /proc
  std::optional<std::uint32_t> excludeWindow;  // kept out of the picture
};

// Runs one capture of the first display until SIGTERM or SIGINT; 0 when the
// helper streamed frames and ended cleanly.
int driveHelper(const HelperOptions& options);

}  // namespace tavrino::bench
