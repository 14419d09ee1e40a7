// The measuring half of bench/capture/side_by_side.sh: records the helper's
// or ffmpeg's stream with arrival times, measures a recorded stream, and
// prints the table of all runs; and shares again and again to watch memory.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flv_reader.h"
#include "helper_session.h"
#include "result_table.h"
#include "start_stop_cycles.h"
#include "stream_measure.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: capture_probe helper --out RECORD [--pid-file FILE] [--exclude WINDOW] HELPER\n"
               "       capture_probe flv --out RECORD                      < FLV stream\n"
               "       capture_probe measure RECORD --from US --to US [--paint-log FILE --screen WxH] [--snapshot PGM]\n"
               "       capture_probe table RESULTS\n"
               "       capture_probe cycles --count N [--exclude WINDOW] HELPER\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavrino::bench;
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  auto option = [&](const std::string& name) -> std::string {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) return args[i + 1];
    }
    return "";
  };
  if (mode == "helper") {
    HelperOptions options{args.back(), option("--out"), option("--pid-file"), std::nullopt};
    if (!option("--exclude").empty()) options.excludeWindow = std::strtoul(option("--exclude").c_str(), nullptr, 0);
    if (options.out.empty()) return usage();
    return driveHelper(options);
  }
  if (mode == "flv") {
    if (option("--out").empty()) return usage();
    return recordFlv(option("--out"));
  }
  if (mode == "measure") {
    MeasureOptions options{args.front(), option("--paint-log"), 0, 0, std::strtoll(option("--from").c_str(), nullptr, 10),
                           std::strtoll(option("--to").c_str(), nullptr, 10), option("--snapshot")};
    if (!options.paintLog.empty() &&
        std::sscanf(option("--screen").c_str(), "%dx%d", &options.screenWidth, &options.screenHeight) != 2) {
      return usage();
    }
    return measureStream(options);
  }
  if (mode == "table") return printResultTable(args.front());
  if (mode == "cycles") {
    const int count = std::atoi(option("--count").c_str());
    if (count < 1) return usage();
    return runStartStopCycles(args.back(), count, std::strtoul(option("--exclude").c_str(), nullptr, 0));
  }
  return usage();
}
