#include "result_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace tavrino::bench {

namespace {

// One measured run, as side_by_side.sh writes it: tab-separated, in this
// order; the last two columns the frames of the capture's first second and
// the run's paint-to-frame latencies in ms separated by commas, or "-" where
// the scene has no time code.
struct Run {
  std::string scene, program;
  double seconds = 0, programCpu = 0, serverCpu = 0, frames = 0, bytes = 0, peakKib = 0, growthKib = 0,
         firstSecond = 0;
  bool timed = false;
  std::vector<double> latencies;
};

bool parse(const std::string& line, Run& run) {
  std::istringstream in(line);
  std::string pair, latencies;
  if (!std::getline(in, run.scene, '\t') || !std::getline(in, run.program, '\t') || !std::getline(in, pair, '\t')) {
    return false;
  }
  in >> run.seconds >> run.programCpu >> run.serverCpu >> run.frames >> run.bytes >> run.peakKib >> run.growthKib >>
      run.firstSecond >> latencies;
  if (in.fail()) return false;
  run.timed = latencies != "-";
  std::istringstream values(run.timed ? latencies : "");
  for (std::string value; std::getline(values, value, ',');) run.latencies.push_back(std::strtod(value.c_str(), nullptr));
  return run.seconds > 0;
}

// The value at the given fraction of the sorted values (nearest rank).
double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

struct Metric {
  const char* name;
  std::function<double(const Run&)> value;
  bool compared = true;  // shown with a ratio
};

double framesPerSecond(const Run& r) { return r.frames / r.seconds; }

const std::vector<Metric>& metrics() {
  static const std::vector<Metric> all = {
      {"CPU of the program, % of a core", [](const Run& r) { return 100 * r.programCpu / r.seconds; }},
      {"X server's extra CPU, % of a core", [](const Run& r) { return 100 * r.serverCpu / r.seconds; }},
      {"CPU program + X server, % of a core", [](const Run& r) { return 100 * (r.programCpu + r.serverCpu) / r.seconds; }},
      {"CPU per frame (program + X), ms",
       [](const Run& r) { return r.frames > 0 ? 1000 * (r.programCpu + r.serverCpu) / r.frames : NAN; }},
      {"frames per second", framesPerSecond},
      {"frames in the capture's first second", [](const Run& r) { return r.firstSecond; }},
      {"kbit per second", [](const Run& r) { return r.bytes * 8 / 1000 / r.seconds; }},
      {"peak memory (VmHWM), MiB", [](const Run& r) { return r.peakKib / 1024; }},
      {"memory growth in the run (VmRSS), MiB", [](const Run& r) { return r.growthKib / 1024; }, false},
      {"frames with a readable time code, %",
       [](const Run& r) { return r.timed && r.frames > 0 ? 100 * r.latencies.size() / r.frames : NAN; }},
      {"latency paint to frame, median ms", [](const Run& r) { return percentile(r.latencies, 0.5); }},
  };
  return all;
}

constexpr double kBehindFps = 11.5;

struct Summary {
  double median = NAN, low = NAN, high = NAN;
  std::size_t count = 0;
};

Summary summarize(const std::vector<Run>& runs, const Metric& metric) {
  std::vector<double> values;
  for (const auto& run : runs) {
    const double v = metric.value(run);
    if (std::isfinite(v)) values.push_back(v);
  }
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.low = values.front();
  s.high = values.back();
  return s;
}

Summary pooled(const std::vector<Run>& runs, double fraction) {
  std::vector<double> all;
  for (const auto& run : runs) all.insert(all.end(), run.latencies.begin(), run.latencies.end());
  Summary s;
  if (all.empty()) return s;
  s.median = percentile(all, fraction);
  s.count = 1;
  return s;
}

std::string cell(const Summary& s) {
  if (s.count == 0) return "-";
  char text[64];
  if (s.count == 1) {
    std::snprintf(text, sizeof text, "%.1f", s.median);
  } else {
    std::snprintf(text, sizeof text, "%.1f [%.1f-%.1f]", s.median, s.low, s.high);
  }
  return text;
}

void printRow(const char* name, const Summary& ours, const Summary& theirs, bool compared) {
  if (ours.count == 0 && theirs.count == 0) return;
  char ratio[32] = "-";
  // A ratio to a figure near nothing (the X server's extra for ffmpeg at
  // times) says nothing.
  if (compared && ours.count > 0 && theirs.count > 0 && std::abs(theirs.median) >= 0.5) {
    std::snprintf(ratio, sizeof ratio, "%.2f", ours.median / theirs.median);
  }
  std::printf("  %-38s %-24s %-24s %s\n", name, cell(ours).c_str(), cell(theirs).c_str(), ratio);
}

std::string pairOf(const Summary& ours, const Summary& theirs, const char* format) {
  char text[64];
  auto one = [&](const Summary& s, char* out, std::size_t size) {
    if (s.count == 0) {
      std::snprintf(out, size, "-");
    } else {
      std::snprintf(out, size, format, s.median);
    }
  };
  char a[24], b[24];
  one(ours, a, sizeof a);
  one(theirs, b, sizeof b);
  std::snprintf(text, sizeof text, "%s / %s", a, b);
  return text;
}

// One line a scene, helper / ffmpeg in each cell: the figures the targets are
// stated in, as a Markdown table to paste into a note.
void printSummary(const std::vector<std::string>& sceneOrder,
                  std::map<std::string, std::map<std::string, std::vector<Run>>>& byScene) {
  const auto& m = metrics();
  auto find = [&](const char* prefix) -> const Metric& {
    return *std::find_if(m.begin(), m.end(), [&](const Metric& x) { return std::string(x.name).starts_with(prefix); });
  };
  const Metric& cpu = find("CPU program + X");
  const Metric& perFrame = find("CPU per frame");
  const Metric& fps = find("frames per second");
  const Metric& first = find("frames in the capture");
  const Metric& kbit = find("kbit");
  const Metric& peak = find("peak memory");
  const Metric& latency = find("latency paint");
  std::printf("\n| scene | CPU prog + X, %% of a core | ratio | CPU per frame, ms | fps | fps, first second | kbit/s |"
              " peak MiB | latency median, ms | p99, ms |\n|---|---|---|---|---|---|---|---|---|---|\n");
  for (const auto& scene : sceneOrder) {
    const auto& h = byScene[scene]["helper"];
    const auto& f = byScene[scene]["ffmpeg"];
    const Summary hc = summarize(h, cpu), fc = summarize(f, cpu);
    char ratio[16] = "-";
    if (hc.count > 0 && fc.count > 0 && fc.median > 0) {
      std::snprintf(ratio, sizeof ratio, "%.2f", hc.median / fc.median);
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", scene.c_str(),
                pairOf(hc, fc, "%.1f").c_str(), ratio,
                pairOf(summarize(h, perFrame), summarize(f, perFrame), "%.1f").c_str(),
                pairOf(summarize(h, fps), summarize(f, fps), "%.1f").c_str(),
                pairOf(summarize(h, first), summarize(f, first), "%.0f").c_str(),
                pairOf(summarize(h, kbit), summarize(f, kbit), "%.0f").c_str(),
                pairOf(summarize(h, peak), summarize(f, peak), "%.1f").c_str(),
                pairOf(summarize(h, latency), summarize(f, latency), "%.1f").c_str(),
                pairOf(pooled(h, 0.99), pooled(f, 0.99), "%.1f").c_str());
  }
  std::printf("(helper / ffmpeg; medians over the runs; ratio = helper / ffmpeg CPU)\n");
}

}  // namespace

int printResultTable(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<std::string> sceneOrder;
  std::map<std::string, std::map<std::string, std::vector<Run>>> byScene;  // scene -> program -> runs
  std::string line;
  while (std::getline(in, line)) {
    Run run;
    if (line.empty() || line[0] == '#' || !parse(line, run)) continue;
    if (!byScene.count(run.scene)) sceneOrder.push_back(run.scene);
    byScene[run.scene][run.program].push_back(run);
  }
  std::printf("medians over the runs [lowest-highest]; ratio = helper median / ffmpeg median\n");
  for (const auto& scene : sceneOrder) {
    auto& programs = byScene[scene];
    const auto& helper = programs["helper"];
    const auto& ffmpeg = programs["ffmpeg"];
    std::printf("\n%-40s %-24s %-24s %s\n", (scene + " (" + std::to_string(std::min(helper.size(), ffmpeg.size())) +
                                             " pairs)").c_str(),
                "helper", "ffmpeg x11grab", "ratio");
    for (const auto& metric : metrics()) {
      printRow(metric.name, summarize(helper, metric), summarize(ffmpeg, metric), metric.compared);
    }
    // A 99th percentile wants more frames than one run has: all runs' frames.
    printRow("latency p99 over all runs' frames, ms", pooled(helper, 0.99), pooled(ffmpeg, 0.99), true);
    // A program that could not keep up spends less CPU per second for fewer
    // frames. A helper with nothing to send on a static desktop is not behind.
    const Metric rate{"", framesPerSecond};
    const bool timed = !helper.empty() && helper.front().timed;
    for (const auto* runs : {&helper, &ffmpeg}) {
      const Summary fps = summarize(*runs, rate);
      if (fps.count > 0 && fps.median < kBehindFps && (runs == &ffmpeg || timed)) {
        std::printf("  note: %s delivered %.1f frames per second, not 12: compare CPU per frame\n",
                    runs == &ffmpeg ? "ffmpeg" : "the helper", fps.median);
      }
    }
  }
  printSummary(sceneOrder, byScene);
  return 0;
}

}  // namespace tavrino::bench
